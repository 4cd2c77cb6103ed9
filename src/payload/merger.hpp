// Merging of payloads, as propagation folds each node's children into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "payload/payload.hpp"

namespace quellnor {

// Folds payloads together in one pass: totals add up (saturating), counts of
// the same video add up, and the list comes out free of duplicates, ordered
// by summed count, highest first (ties by ascending id). Sums are ranked at
// 64 bits; whoever stores them saturates them to 32. Its working memory is
// reused from one merge to the next.
class PayloadMerger {
public:
    struct Entry {
        std::uint32_t video;
        std::uint64_t sum;
    };

    // Ids below `videos` are added up through a table indexed by id; any
    // other id makes its merge sort by id instead.
    explicit PayloadMerger(std::size_t videos) : slot_of_video_(videos, 0) {}

    // Merges `own` with `others` and returns the total. The ranked entries
    // stay in entries() until the next merge. A payload whose counts are
    // shorter than its ids faults before anything is merged.
    std::uint32_t merge(const PayloadView& own, std::span<const PayloadView> others);
    std::span<const Entry> entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
    // 1 + the position in `entries_` of each id seen in the current merge,
    // 0 for the others; every slot is back to 0 between merges.
    std::vector<std::uint32_t> slot_of_video_;
};

}  // namespace quellnor
