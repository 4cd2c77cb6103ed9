// Suggestions for what was typed so far: the best terms (whole terms near the
// text, and completions of what is near it), and the videos behind them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "search/ranking.hpp"
#include "suggest/completion_table.hpp"
#include "trie/trie.hpp"

namespace quellnor {

struct SuggestOptions {
    std::uint64_t k = 10;
    // Absent: chosen by the text's length (automatic_max_dist).
    std::optional<std::uint32_t> max_dist;
    // Whether an adjacent transposition is one edit (else two).
    bool transpositions = true;
};

struct Suggestion {
    std::uint32_t entry;  // the term's, in CompletionTable::entries
    std::uint32_t distance;
    std::uint32_t weight;
};

// A term qualifies when it, or one of its prefixes (the empty one too), lies
// within max_dist of `query`; its distance is the smallest of those. Best
// first: distance ascending; at equal distance whole-term matches before
// completions; then weight descending; then code-point order. The first k.
std::vector<Suggestion> suggest(const Trie& trie, const CompletionTable& table,
                                std::u32string_view query, const SuggestOptions& options);

// The videos behind the same nodes. A node within max_dist of `query` takes
// part; it counts unless a node above it takes part at the same or a smaller
// distance. A counting node weighs as in fuzzy_match_video (1.0 at distance
// 0, (1 - d/L) * 0.05 otherwise, times 0.85 where no term ends; nothing at
// d >= L). A video's score is its weighted count over the weighted total of
// the counting nodes (0.0 when that total is 0); every video of a counting
// payload is ranked, highest score first, equal scores by ascending key
// bytes. The first k.
std::vector<RankedVideo> suggest_videos(const Trie& trie, std::u32string_view query,
                                        const SuggestOptions& options);

}  // namespace quellnor
