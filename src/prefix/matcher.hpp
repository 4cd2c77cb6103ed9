// Bounded edit-distance walks over the trie: the term matcher and the node
// matcher share the same walks and differ only in what they report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trie.hpp"

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

// The query as code points. Invalid UTF-8 (never produced by the binding)
// decodes to U+FFFD per bad byte, so the core stays safe on any input.
std::u32string decode_utf8(std::string_view text);

// Indexed terms within `max_dist` edits of `term`, in depth-first pre-order.
// With a limit, the walk stops right after the report that reaches it (so a
// limit of 0 still yields the first hit).
std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::uint64_t> limit);

// Nodes whose path lies within `max_dist` edits of `query`, in pre-order;
// with `terminal_only`, only nodes that end a term.
std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::u32string_view query,
                                         std::uint32_t max_dist, bool terminal_only);

}  // namespace quellnor
