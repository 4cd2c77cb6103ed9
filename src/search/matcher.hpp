// Bounded edit-distance walks over the trie: the term matcher and the node
// matcher share the same walks and differ only in what they report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/code_point_buffer.hpp"
#include "trie/trie.hpp"

namespace quellnor {

struct MatchResult {
    std::string term;        // UTF-8: the labels from the root to the node
    std::size_t node_id;
    std::uint32_t distance;
};

struct NodeMatch {
    std::size_t node_id;
    std::uint32_t distance;
};

// Indexed terms within `max_dist` edits of `term`, in depth-first pre-order.
// With a limit, the walk stops right after the report that reaches it (so a
// limit of 0 still yields the first hit).
std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::uint64_t> limit);

// The same by the plain walk alone, the one bounded walk over the whole
// index: what fuzzy_match falls back to, and what its other walks are
// measured against.
std::vector<MatchResult> fuzzy_match_plain(const Trie& trie, std::u32string_view query,
                                           std::uint32_t max_dist, std::optional<std::uint64_t> limit);

// Nodes whose path lies within `max_dist` edits of `query`, in pre-order;
// with `terminal_only`, only nodes that end a term.
std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::u32string_view query,
                                         std::uint32_t max_dist, bool terminal_only);

}  // namespace quellnor
