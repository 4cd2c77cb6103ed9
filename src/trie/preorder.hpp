// The shape of a tree numbered breadth first, walked once, and each node's
// place in pre-order, the order every walk reports in.
#pragma once

#include <cstdint>
#include <vector>

#include "trie/trie.hpp"

namespace quellnor {

// The nodes the root reaches, in breadth-first order, and each node's
// parent: 0, the root, for the root itself and for nodes the root does not
// reach. Parents come before their children.
struct BreadthFirst {
    std::vector<std::uint32_t> order;
    std::vector<std::uint32_t> parent;
};

// For a tree numbered breadth first, whose slots and shifts are in bounds.
BreadthFirst walk_breadth_first(const Trie& trie);

// Per node, its place in pre-order with children in slot order; 0 for nodes
// the root does not reach. What the cut walks sort their hits by, to report
// them as the plain walk does.
Array<std::uint32_t> rank_in_preorder(const Trie& trie, const BreadthFirst& tree);

}  // namespace quellnor
