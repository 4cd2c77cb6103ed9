// The fuzz target's check of the cut walks against the plain walk.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "trie/trie.hpp"

namespace fuzz {

// The same arrays with no derived layout: every walk of it is the plain
// depth-first one, and it has no reversed terms.
quellnor::Trie plain_copy(const quellnor::Trie& trie);

// fuzzy_match and the node matcher on `trie` (cut where they can be)
// against the same calls on its plain copy, and the nodes within reach of
// suggestions against the plain walk's: the same hits, distances and order,
// with and without the limit, or the same failure.
void check_split_walk(const quellnor::Trie& trie, const quellnor::Trie& plain, std::string_view term,
                      std::uint32_t max_dist, std::optional<std::uint64_t> limit);

}  // namespace fuzz
