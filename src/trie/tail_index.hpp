// The nodes of an index in the order of their paths read backwards, and each
// node's parent: what finds, in one binary search, every node whose path
// ends with a given text, and climbs from each to the root. The walks that
// need every node within reach of a query use it to find the nodes whose
// path ends with the query's tail exactly (see search/tail_cut_walk.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "trie/trie.hpp"

namespace quellnor {

// A run of TailIndex::by_tail, [first, last).
struct TailRun {
    std::size_t first;
    std::size_t last;
    std::size_t size() const { return last - first; }
};

struct TailIndex {
    // Per node, its parent, always a smaller number: a climb ends at the
    // root, 0, which is its own parent, as is every node the root does not
    // reach.
    Array<std::uint32_t> parent;
    // Every node the root reaches but the root itself, by its path backwards.
    Array<std::uint32_t> by_tail;
    // Per node, its place in pre-order (children in slot order), the order
    // every walk reports in; 0 for nodes the root does not reach. Kept here
    // rather than taken from the reversed terms, so that the walks to every
    // node need nothing else.
    Array<std::uint32_t> rank;

    // Whether these arrays can be read without a check for `trie`: every
    // node has a parent before it, and every node listed is one of the
    // trie's. Derived ones can; kept ones from a damaged file may not.
    bool fits(const Trie& trie) const;

    bool operator==(const TailIndex& other) const {
        return parent == other.parent && by_tail == other.by_tail && rank == other.rank;
    }

    // The nodes whose paths end with `tail`, which is not empty.
    TailRun ending_with(const Trie& trie, std::u32string_view tail) const;
    // The same, found outwards from `inner`: the nodes that end with a
    // longer text which itself ends with `tail`, all of which end with it.
    TailRun widened(const Trie& trie, std::u32string_view tail, TailRun inner) const;

    // The depth of the deepest node above (or at) both `a` and `b`, given
    // their depths.
    std::uint32_t shared_depth(std::uint32_t a, std::uint32_t a_depth, std::uint32_t b,
                               std::uint32_t b_depth) const;
};

// The tail index of a tree numbered breadth first whose root reaches every
// node; null for any other trie.
std::unique_ptr<TailIndex> index_tails(const Trie& trie);

}  // namespace quellnor
