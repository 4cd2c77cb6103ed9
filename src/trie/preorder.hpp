// Each node's place in pre-order, the order every walk reports in.
#pragma once

#include <cstdint>

#include "trie/trie.hpp"

namespace quellnor {

// Per node of a tree numbered breadth first, its place in pre-order with
// children in slot order; 0 for nodes the root does not reach. What the cut
// walks sort their hits by, to report them as the plain walk does.
Array<std::uint32_t> rank_in_preorder(const Trie& trie);

}  // namespace quellnor
