#include "text/code_sort.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace quellnor {

CodeRanks::CodeRanks(std::span<const char32_t> texts) : low_(kDirect, 0) {
    for (const char32_t c : texts) {
        if (c < kDirect) low_[c] = 1;
        else high_.push_back(c);
    }
    std::sort(high_.begin(), high_.end());
    high_.erase(std::unique(high_.begin(), high_.end()), high_.end());
    std::uint32_t next = 1;
    for (std::uint32_t& rank : low_)
        if (rank != 0) rank = next++;
    high_first_ = next;
    bits_ = std::max(1, static_cast<int>(std::bit_width(std::uint64_t{next - 1} + high_.size())));
}

std::uint32_t CodeRanks::operator()(char32_t c) const {
    if (c < kDirect) return low_[c];
    return high_first_ +
           static_cast<std::uint32_t>(std::lower_bound(high_.begin(), high_.end(), c) - high_.begin());
}

void sort_by_counting(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& items, int bits) {
    constexpr int kDigit = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
    std::vector<std::uint64_t> keys_to(keys.size());
    std::vector<std::uint32_t> items_to(items.size());
    std::vector<std::size_t> starts(kBuckets);
    for (int shift = 0; shift < bits; shift += kDigit) {
        std::fill(starts.begin(), starts.end(), 0);
        for (const std::uint64_t key : keys) ++starts[(key >> shift) & (kBuckets - 1)];
        // A digit that all keys share moves nothing.
        if (std::find(starts.begin(), starts.end(), keys.size()) != starts.end()) continue;
        std::size_t sum = 0;
        for (std::size_t& start : starts) sum += std::exchange(start, sum);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const std::size_t to = starts[(keys[i] >> shift) & (kBuckets - 1)]++;
            keys_to[to] = keys[i];
            items_to[to] = items[i];
        }
        keys.swap(keys_to);
        items.swap(items_to);
    }
}

}  // namespace quellnor
