// A node's payload: the videos behind the node with their counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

    // Folds `others` into this payload in one pass: totals add up (saturating),
    // counts of the same video add up, and the list comes out free of
    // duplicates, ordered by summed count, highest first (ties by ascending
    // id). Sums are ranked at 64 bits and stored saturated to 32 bits.
    // `scratch` is caller-owned working memory, reused across calls.
    struct Entry {
        std::uint32_t video;
        std::uint64_t sum;
    };
    void merge_from(std::span<const PayloadView> others, std::vector<Entry>& scratch);

    // Same as merge_from with a single other payload.
    void merge_from(const Payload& other);
};

// Every node's optional payload in three flat arrays rather than two heap
// blocks per node: an index of a few hundred thousand terms loads, walks and
// frees as a handful of allocations. Node n's ids are
// values[bounds[2n] .. bounds[2n+1]) and its counts
// values[bounds[2n+1] .. bounds[2n+2]), in node order, so equal tables
// compare equal field by field.
class PayloadTable {
public:
    std::size_t size() const { return present_.size(); }

    // The payload of `node`, or nothing when it is absent. `node` must be
    // below size(): read it through checked_at.
    std::optional<PayloadView> operator[](std::size_t node) const {
        if (!present_[node]) return std::nullopt;
        const std::uint32_t* base = values_.data();
        const std::size_t ids = bounds_[2 * node], counts = bounds_[2 * node + 1],
                          end = bounds_[2 * node + 2];
        return PayloadView{totals_[node], {base + ids, counts - ids}, {base + counts, end - counts}};
    }

    void reserve(std::size_t nodes, std::size_t values);
    void push_absent();
    void push(const PayloadView& payload);

    // Appends a present payload piece by piece, for readers that produce its
    // values one at a time: open, ids, close_ids, counts, close_counts.
    void open(std::uint32_t total_count);
    void append(std::uint32_t value) { values_.push_back(value); }
    void close_ids() { bounds_.push_back(values_.size()); }
    void close_counts() { bounds_.push_back(values_.size()); }

    bool operator==(const PayloadTable&) const = default;

private:
    std::vector<std::uint8_t> present_;
    std::vector<std::uint32_t> totals_;
    std::vector<std::size_t> bounds_{0};
    std::vector<std::uint32_t> values_;
};

}  // namespace quellnor
