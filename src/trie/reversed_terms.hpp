// The terms of an index spelt backwards, in a trie of their own: what lets a
// bounded walk start from the end of a query. Derived from the index on
// first use, or viewed in an index file that kept them; flat arrays either way.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "trie/trie.hpp"

namespace quellnor {

struct ReversedTerms {
    // A trie of the reversed terms, numbered breadth first like the indexes
    // IndexBuilder lays out, so that every walk serves it. No payloads.
    Trie trie;
    // Its term ends in ascending order, and beside each the node of the
    // index that ends the same term.
    Array<std::uint32_t> term_ends;
    Array<std::uint32_t> forward_nodes;
    // Per node of the index, its place in pre-order (children in slot
    // order): the order every walk reports in.
    Array<std::uint32_t> preorder_rank;

    // The node of the index whose term the reversed trie's `node` ends.
    std::uint32_t forward_node(std::uint32_t node) const;
};

// The reversed terms of `trie`, or null where they are not worth their
// memory or cannot serve: a trie that is not a tree numbered breadth first,
// two term ends that spell the same term, or terms so long together that
// their reversed trie would dwarf the index.
std::unique_ptr<ReversedTerms> reverse_terms(const Trie& trie);

}  // namespace quellnor
