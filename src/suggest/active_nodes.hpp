// The nodes a query reaches: what suggestions and their videos are made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "search/budget.hpp"
#include "trie/trie.hpp"

namespace quellnor {

inline constexpr std::uint32_t kNoAncestor = 0xFFFF'FFFFu;

// A node whose path lies within a walk's threshold of the query.
struct ActiveNode {
    std::uint32_t node;
    std::uint32_t distance;  // from the query to the node's path
    std::uint32_t depth;     // labels on the path
    // The smallest distance among the active nodes above it; kNoAncestor
    // when there is none.
    std::uint32_t above;
};

// How far a text of `length` code points may be from what it means when
// the caller does not say: nothing for one or two, one edit for three to
// five, two from six on.
constexpr std::uint32_t automatic_max_dist(std::size_t length) {
    return length <= 2 ? 0 : length <= 5 ? 1 : 2;
}

// Every node within `threshold` of `query` in pre-order, the root first when
// the query is that short (the empty path is a prefix of every term). The
// distance counts an adjacent transposition as one edit when
// `transpositions` is set.
std::vector<ActiveNode> active_nodes(const Trie& trie, std::u32string_view query,
                                     std::uint32_t threshold, bool transpositions,
                                     search::Budget& budget);

// The same by the plain walk alone, which computes a row for every node
// within reach of some prefix of the query: what the benchmark and the
// fuzzer hold the shipped walks to.
std::vector<ActiveNode> plain_active_nodes(const Trie& trie, std::u32string_view query,
                                           std::uint32_t threshold, bool transpositions,
                                           search::Budget& budget);

}  // namespace quellnor
