// A node's payload: the videos behind the node with their counts.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quellnor {

inline constexpr std::uint32_t kCountMax = 0xFFFF'FFFFu;

inline std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
    std::uint32_t sum;
    return __builtin_add_overflow(a, b, &sum) ? kCountMax : sum;
}

struct Payload {
    std::uint32_t total_count = 0;
    std::vector<std::uint32_t> video_ids;
    std::vector<std::uint32_t> video_counts;

    bool operator==(const Payload&) const = default;

    // Folds `others` into this payload in one pass: totals add up (saturating),
    // counts of the same video add up, and the list comes out free of
    // duplicates, ordered by summed count, highest first (ties by ascending
    // id). Sums are ranked at 64 bits and stored saturated to 32 bits.
    // `scratch` is caller-owned working memory, reused across calls.
    struct Entry {
        std::uint32_t video;
        std::uint64_t sum;
    };
    void merge_from(std::span<const Payload* const> others, std::vector<Entry>& scratch);

    // Same as merge_from with a single other payload.
    void merge_from(const Payload& other);
};

}  // namespace quellnor
