#include <algorithm>
#include <cstring>

#include "search/budget.hpp"
#include "search/weighing.hpp"
#include "suggest/active_nodes.hpp"
#include "suggest/suggest.hpp"

namespace quellnor {

namespace {

using search::Entry;

// The nodes that count: each within reach, with no node above it within
// the same distance. Pre-order, which fixes the order of the additions.
std::vector<NodeMatch> counting_nodes(const Trie& trie, std::u32string_view query,
                                      const SuggestOptions& options, search::Budget& budget) {
    // A node at distance L or more weighs nothing, unless the text is empty.
    const std::uint32_t wanted = options.max_dist.value_or(automatic_max_dist(query.size()));
    const auto reach = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(wanted, query.empty() ? 0 : query.size() - 1));
    std::vector<NodeMatch> nodes;
    for (const ActiveNode& at : active_nodes(trie, query, reach, options.transpositions, budget)) {
        if (at.distance >= at.above) continue;
        budget.reserve(nodes, nodes.size() + 1);
        nodes.push_back({at.node, at.distance});
    }
    return nodes;
}

// The k best of the scores, each with its key: highest score first, equal
// scores by ascending key bytes. A video id beyond the index has no key and
// is left out before the cut.
std::vector<RankedVideo> best_videos(const Trie& trie, std::span<Entry> entries,
                                     double weighted_total, std::uint64_t k) {
    const auto& keys = trie.video_index;
    const auto known = std::remove_if(entries.begin(), entries.end(),
                                      [&](const Entry& e) { return e.video >= keys.size(); });
    entries = entries.first(static_cast<std::size_t>(known - entries.begin()));
    for (Entry& e : entries) e.value = weighted_total > 0.0 ? e.value / weighted_total : 0.0;
    const auto ranks_before = [&](const Entry& a, const Entry& b) {
        if (a.value != b.value) return a.value > b.value;
        return keys[a.video] < keys[b.video];
    };
    const auto last = entries.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(k, entries.size()));
    std::partial_sort(entries.begin(), last, entries.end(), ranks_before);

    std::vector<RankedVideo> out;
    out.reserve(static_cast<std::size_t>(last - entries.begin()));
    for (auto at = entries.begin(); at != last; ++at)
        out.push_back({format_video_key(keys[at->video]), at->value, at->video});
    return out;
}

}  // namespace

std::vector<RankedVideo> suggest_videos(const Trie& trie, std::u32string_view query,
                                        const SuggestOptions& options) {
    if (options.k == 0) return {};
    search::Budget budget;
    const Weighed weighed = weigh(trie, counting_nodes(trie, query, options, budget), query.size());
    search::ScoreTable scores = add_up(weighed);
    return best_videos(trie, scores.entries(), weighed.weighted_total, options.k);
}

}  // namespace quellnor
