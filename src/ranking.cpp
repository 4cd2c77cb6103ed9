// Video ranking: weighs the nodes a query reaches and shares their payloads
// out per video. Every double operation below is written in the one order
// that makes scores identical to the last bit on every build and every run
// (the project compiles with -ffp-contract=off so no step is fused).
#include "ranking.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

#include "prefix/matcher.hpp"

namespace quellnor {

namespace {

constexpr double kExactWeight = 1.0;
constexpr double kFuzzyScale = 0.05;
constexpr double kPrefixFactor = 0.85;
constexpr double kMinimumShare = 0.01;

// Room for 16 videos per matched node avoids rehashing in the common case;
// the cap keeps a query that reaches millions of nodes from reserving
// gigabytes up front for a map that will hold far fewer entries.
constexpr std::size_t kVideosPerNode = 16;
constexpr std::size_t kMaxReservedVideos = std::size_t{1} << 16;

struct Kept {
    std::uint32_t video;
    double share;
};

// Highest share first; equal shares by ascending video id, so that the order
// and the survivors of a cut never depend on the score map's iteration order.
bool ranks_before(const Kept& a, const Kept& b) {
    if (a.share != b.share) return a.share > b.share;
    return a.video < b.video;
}

}  // namespace

KeyText format_video_key(const VideoKey& key) {
    static constexpr char kDigits[] = "0123456789abcdef";
    KeyText text{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text[at++] = '-';
        text[at++] = kDigits[key[i] >> 4];
        text[at++] = kDigits[key[i] & 0x0F];
    }
    return text;
}

std::vector<RankedVideo> fuzzy_match_video(const Trie& trie, std::string_view term,
                                           std::uint32_t max_dist,
                                           std::optional<std::uint64_t> limit,
                                           std::optional<bool> include_prefix_nodes) {
    const std::u32string query = decode_utf8(term);

    // Without an explicit choice, term ends win whenever there is any, even a
    // fuzzy one that later contributes nothing; prefix nodes are the fallback.
    std::vector<NodeMatch> nodes;
    if (include_prefix_nodes.has_value()) {
        nodes = fuzzy_match_nodes(trie, query, max_dist, !*include_prefix_nodes);
    } else {
        nodes = fuzzy_match_nodes(trie, query, max_dist, true);
        if (nodes.empty()) nodes = fuzzy_match_nodes(trie, query, max_dist, false);
    }

    const double length = static_cast<double>(query.size());
    std::unordered_map<std::uint32_t, double> scores;
    scores.reserve(std::min(nodes.size(), kMaxReservedVideos / kVideosPerNode) *
                   kVideosPerNode);
    double weighted_total = 0.0;

    for (const NodeMatch& match : nodes) {
        double weight = kExactWeight;
        if (match.distance != 0) {
            weight = query.empty()
                         ? 0.0
                         : (1.0 - static_cast<double>(match.distance) / length) * kFuzzyScale;
            // Too far from the query to say anything about it.
            if (!(weight > 0.0)) continue;
        }
        if (checked_at(trie.is_terminal, match.node_id) == 0) weight = weight * kPrefixFactor;

        const std::optional<PayloadView> payload = checked_at(trie.payloads, match.node_id);
        if (!payload.has_value()) continue;

        weighted_total = static_cast<double>(payload->total_count) * weight + weighted_total;
        for (std::size_t i = 0; i < payload->video_ids.size(); ++i) {
            const std::uint32_t video = payload->video_ids[i];
            const double count = static_cast<double>(checked_at(payload->video_counts, i));
            double& score = scores.try_emplace(video, 0.0).first->second;
            score = score + count * weight;
        }
    }

    if (!(weighted_total > 0.0)) return {};

    std::vector<Kept> kept;
    for (const auto& [video, score] : scores) {
        const double share = score / weighted_total;
        if (share >= kMinimumShare) kept.push_back({video, share});  // NaN fails too
    }
    scores = {};

    if (limit.has_value() && *limit < kept.size()) {
        const auto cut = kept.begin() + static_cast<std::ptrdiff_t>(*limit);
        std::nth_element(kept.begin(), cut, kept.end(), ranks_before);
        kept.erase(cut, kept.end());
    }
    std::sort(kept.begin(), kept.end(), ranks_before);

    std::vector<RankedVideo> out;
    out.reserve(kept.size());
    for (const Kept& entry : kept) {
        // An id beyond the index is dropped, not faulted: after the cut, so a
        // caller may get fewer than `limit` entries.
        if (entry.video >= trie.video_index.size()) continue;
        out.push_back({format_video_key(trie.video_index[entry.video]), entry.share});
    }
    return out;
}

}  // namespace quellnor
