// The nodes of a tree in the order of their paths read backwards: what the
// tail index lists.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "trie/trie.hpp"

namespace quellnor {

// `nodes`, every node the root reaches but the root itself and in ascending
// order, sorted by their paths read backwards (a path that ends sorts
// before any longer one); nodes of the same path by number. `parent` holds
// each node's parent, a smaller number, the root's being 0.
std::vector<std::uint32_t> order_backwards(const Trie& trie, std::span<const std::uint32_t> parent,
                                           std::vector<std::uint32_t> nodes);

}  // namespace quellnor
