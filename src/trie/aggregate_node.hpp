// The rule both propagations apply to one node: its own payload and its
// children's finished lists make its lists, cut to video_top_n entries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "payload/merger.hpp"
#include "payload/payload.hpp"

namespace quellnor {

struct AggregatedNode {
    std::uint32_t total_count;
    // Free of duplicates and in the merged order (count down, then id up),
    // with no count saturated: merged alone, the lists come back unchanged.
    bool ranked;
};

// Appends the node's ids and then its counts to `pool`, setting `middle`
// to where the counts begin. `only_child_ranked` says that the node has one
// child and that the child's lists are ranked; `append_only_child(middle)`
// then appends that child's lists as they are (the caller knows whether
// they lie in `pool` itself, which appending may move). `children` may view
// `pool`: they are read before anything is appended, or not at all.
template <class AppendOnlyChild>
AggregatedNode aggregate_node(const PayloadView& own, std::span<const PayloadView> children,
                              bool only_child_ranked, std::uint64_t video_top_n, PayloadMerger& merger,
                              std::vector<std::uint32_t>& pool, std::size_t& middle,
                              AppendOnlyChild append_only_child) {
    const auto cut = [&](std::size_t size) {
        return static_cast<std::size_t>(std::min<std::uint64_t>(size, video_top_n));
    };
    // Down a chain of single children (the letters of one word) a node mostly
    // adds no videos of its own: it takes its child's lists as they are,
    // which merging would give back unchanged.
    if (children.size() == 1 && only_child_ranked && own.video_ids.empty()) {
        const std::uint32_t total = saturating_add(own.total_count, children.front().total_count);
        append_only_child(middle);
        return {total, true};
    }
    if (children.empty()) {
        // A childless node keeps its lists as supplied, only shortened.
        const auto ids = own.video_ids.first(cut(own.video_ids.size()));
        const auto counts = own.video_counts.first(std::min(ids.size(), own.video_counts.size()));
        pool.insert(pool.end(), ids.begin(), ids.end());
        middle = pool.size();
        pool.insert(pool.end(), counts.begin(), counts.end());
        return {own.total_count, false};
    }
    // All children at once rather than one after another, so that a wide
    // node costs a sort of its entries, not its fan-out squared. The merger
    // holds its entries apart: `children` are done with before the pool grows.
    const std::uint32_t total = merger.merge(own, children);
    const auto entries = merger.entries().first(cut(merger.entries().size()));
    // The largest sum comes first: when it fits, no count is saturated.
    const bool unsaturated = entries.empty() || entries.front().sum <= kCountMax;
    for (const auto& e : entries) pool.push_back(e.video);
    middle = pool.size();
    for (const auto& e : entries) pool.push_back(e.sum > kCountMax ? kCountMax : static_cast<std::uint32_t>(e.sum));
    return {total, unsaturated};
}

}  // namespace quellnor
