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
#include <vector>

#include "trie/trie.hpp"

namespace quellnor {

// A run of TailIndex::by_tail, [first, last).
struct TailRun {
    std::size_t first;
    std::size_t last;
    std::size_t size() const { return last - first; }
};

struct TailIndex {
    // Per node, its parent; the root, and nodes the root does not reach,
    // have kNoParent.
    static constexpr std::uint32_t kNoParent = 0xFFFF'FFFFu;
    std::vector<std::uint32_t> parent;
    // Every node the root reaches but the root itself, by its path backwards.
    std::vector<std::uint32_t> by_tail;

    // The nodes whose paths end with `tail`, which is not empty; or, where
    // there are more than `most`, a run of more than `most` of them. Looks
    // only `within` a run, which must hold them all: the run of a shorter
    // end of `tail`, or the whole order by default.
    TailRun ending_with(const Trie& trie, std::u32string_view tail, std::size_t most,
                        TailRun within = {0, SIZE_MAX}) const;

    // The depth of the deepest node above (or at) both `a` and `b`, given
    // their depths.
    std::uint32_t shared_depth(std::uint32_t a, std::uint32_t a_depth, std::uint32_t b,
                               std::uint32_t b_depth) const;
};

// The tail index of a tree numbered breadth first; null for any other trie.
std::unique_ptr<TailIndex> index_tails(const Trie& trie);

}  // namespace quellnor
