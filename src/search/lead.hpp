// A lead: the way a walk must go first, when every match spells the same
// start exactly.
#pragma once

#include <cstdint>
#include <span>

namespace quellnor::search {

// The slot to take at each depth from the root: at depth k the walk tries
// only slot lead[k] instead of every child, and below the lead it branches
// out as usual. It reports the same hits as an unled walk only where the
// children it passes over cannot survive: the caller's rows must rule them
// out, and the trie must hold no other child with the lead's label
// (Trie::sorted_siblings).
using Lead = std::span<const std::uint32_t>;

}  // namespace quellnor::search
