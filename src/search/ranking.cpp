// Video ranking: weighs the nodes a query reaches and shares their payloads
// out per video. Every double operation below is written in the one order
// that makes scores identical to the last bit on every build and every run
// (the project compiles with -ffp-contract=off so no step is fused).
#include "search/ranking.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <source_location>
#include <span>
#include <string>
#include <utility>

#include "progress.hpp"
#include "search/matcher.hpp"
#include "search/score_table.hpp"
#include "search/weighing.hpp"
#include "text/utf8.hpp"

namespace quellnor {

namespace {

using search::Entry;
using search::ScoreTable;

constexpr double kExactWeight = 1.0;
constexpr double kFuzzyScale = 0.05;
constexpr double kPrefixFactor = 0.85;
constexpr double kMinimumShare = 0.01;
constexpr double kHopelessShare = 0.0099;

// The score table starts with room for every video the additions could
// bring, so it never rehashes below the cap: typed prefixes meet about 25
// videos per matched node, more than a guess of 16 per node allows, and one
// rehash costs more than all their additions. The cap keeps a query that
// reaches millions of nodes from reserving gigabytes up front for a table
// that will hold far fewer entries.
constexpr std::size_t kMaxReservedVideos = std::size_t{1} << 16;

// Highest share first; equal shares by ascending video id, so that the order
// and the survivors of a cut never depend on the order of the score table. A
// lambda rather than a function, so that the sort inlines it whatever it is
// called from.
constexpr auto ranks_before = [](const Entry& a, const Entry& b) {
    if (a.value != b.value) return a.value > b.value;
    return a.video < b.video;
};

// Two lowercase hex digits per byte value.
constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    std::array<std::array<char, 2>, 256> pairs{};
    for (std::size_t b = 0; b < 256; ++b) pairs[b] = {digits[b >> 4], digits[b & 0x0F]};
    return pairs;
}();

// The additions read a node's lists only after every check, by which time
// they can be in cache; one hint per 64-byte line. Inlined by force: to the
// compiler a function of prefetches alone does nothing, and a call to it
// was dropped.
[[gnu::always_inline]] inline void prefetch_lists(const PayloadView& payload) {
    const std::size_t size = payload.video_ids.size();
    for (std::size_t i = 0; i < size; i += 16) {
        __builtin_prefetch(payload.video_ids.data() + i);
        __builtin_prefetch(payload.video_counts.data() + i);
    }
    __builtin_prefetch(payload.video_ids.data() + (size - 1));
    __builtin_prefetch(payload.video_counts.data() + (size - 1));
}

}  // namespace

KeyText format_video_key(const VideoKey& key) {
    KeyText text;
    std::size_t at = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text[at++] = '-';
        std::memcpy(text.data() + at, kHexPairs[key[i]].data(), 2);
        at += 2;
    }
    return text;
}

namespace {

// Without an explicit choice, term ends win whenever there is any, even a
// fuzzy one that later contributes nothing; prefix nodes are the fallback.
std::vector<NodeMatch> matched_nodes(const Trie& trie, std::u32string_view query,
                                     std::uint32_t max_dist,
                                     std::optional<bool> include_prefix_nodes) {
    if (include_prefix_nodes.has_value())
        return fuzzy_match_nodes(trie, query, max_dist, !*include_prefix_nodes);
    std::vector<NodeMatch> nodes = fuzzy_match_nodes(trie, query, max_dist, true);
    if (nodes.empty()) nodes = fuzzy_match_nodes(trie, query, max_dist, false);
    return nodes;
}

}  // namespace

// Every check runs here, node by node in list order, before any score is
// added: the additions cannot fault, so the first failing check is the one
// that would have failed had they been interleaved.
Weighed weigh(const Trie& trie, const std::vector<NodeMatch>& nodes, std::size_t query_length) {
    const double length = static_cast<double>(query_length);
    Weighed out;
    out.contributions.reserve(nodes.size());
    Progress progress;
    for (const NodeMatch& match : nodes) {
        progress.advance();
        double weight = kExactWeight;
        if (match.distance != 0) {
            weight = query_length == 0
                         ? 0.0
                         : (1.0 - static_cast<double>(match.distance) / length) * kFuzzyScale;
            // Too far from the query to say anything about it.
            if (!(weight > 0.0)) continue;
        }
        if (checked_at(trie.is_terminal, match.node_id) == 0) weight = weight * kPrefixFactor;

        const std::optional<PayloadView> payload = checked_at(trie.payloads, match.node_id);
        if (!payload.has_value()) continue;
        const std::size_t size = payload->video_ids.size();
        // Counts shorter than ids: the fault the first id without a count
        // would raise when read, reported before any addition.
        if (payload->video_counts.size() < size)
            raise_index_fault(payload->video_counts.size(), payload->video_counts.size(),
                              std::source_location::current());

        out.weighted_total = static_cast<double>(payload->total_count) * weight + out.weighted_total;
        if (size == 0) continue;
        out.contributions.push_back(
            {weight, payload->video_ids.data(), payload->video_counts.data(), size});
        prefetch_lists(*payload);
        out.additions += size;
    }
    return out;
}

search::ScoreTable add_up(const Weighed& weighed) {
    ScoreTable scores(std::min(weighed.additions, kMaxReservedVideos), weighed.additions);
    Progress progress;
    for (const Contribution& node : weighed.contributions) {
        progress.advance(node.size);
        scores.make_room(node.size);
        for (std::size_t i = 0; i < node.size; ++i)
            scores.add(node.ids[i], static_cast<double>(node.counts[i]) * node.weight);
    }
    return scores;
}

namespace {

// Shares replace scores in place, survivors packed at the front. Most videos
// fall far short, and a score under 0.99 of the minimum's worth of the total
// cannot round up to the minimum share, so only the rest pay for a division;
// the division alone decides every survivor.
std::span<Entry> shares(std::span<Entry> entries, double weighted_total) {
    const double hopeless = weighted_total * kHopelessShare;
    std::size_t kept = 0;
    for (const Entry& entry : entries) {
        if (entry.value < hopeless) continue;
        const double share = entry.value / weighted_total;
        if (share >= kMinimumShare) entries[kept++] = {share, entry.video};  // NaN fails too
    }
    return entries.first(kept);
}

// The shares ranked, cut to `limit` when given, each with its key.
std::vector<RankedVideo> ranked(const Trie& trie, std::span<Entry> kept,
                                std::optional<std::uint64_t> limit) {
    const auto first = kept.begin();
    auto last = kept.end();
    if (limit.has_value() && *limit < kept.size()) {
        const auto cut = first + static_cast<std::ptrdiff_t>(*limit);
        std::nth_element(first, cut, last, ranks_before);
        last = cut;
    }
    std::sort(first, last, ranks_before);

    std::vector<RankedVideo> out;
    out.reserve(static_cast<std::size_t>(last - first));
    for (auto at = first; at != last; ++at) {
        // An id beyond the index is dropped, not faulted: after the cut, so a
        // caller may get fewer than `limit` entries.
        if (at->video >= trie.video_index.size()) continue;
        out.push_back({format_video_key(trie.video_index[at->video]), at->value, at->video});
    }
    return out;
}

}  // namespace

std::vector<RankedVideo> fuzzy_match_video(const Trie& trie, std::string_view term,
                                           std::uint32_t max_dist,
                                           std::optional<std::uint64_t> limit,
                                           std::optional<bool> include_prefix_nodes) {
    CodePointBuffer buffer;
    const std::u32string_view query = utf8::decode(term, buffer);
    const Weighed weighed =
        weigh(trie, matched_nodes(trie, query, max_dist, include_prefix_nodes), query.size());
    if (!(weighed.weighted_total > 0.0)) return {};

    ScoreTable scores = add_up(weighed);
    return ranked(trie, shares(scores.entries(), weighed.weighted_total), limit);
}

}  // namespace quellnor
