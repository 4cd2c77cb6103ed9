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

// A payload as stored: views into the table that owns it.
struct PayloadView {
    std::uint32_t total_count = 0;
    std::span<const std::uint32_t> video_ids;
    std::span<const std::uint32_t> video_counts;
};

struct Payload {
    std::uint32_t total_count = 0;
    std::vector<std::uint32_t> video_ids;
    std::vector<std::uint32_t> video_counts;

    bool operator==(const Payload&) const = default;
    PayloadView view() const { return {total_count, video_ids, video_counts}; }
};

}  // namespace quellnor
