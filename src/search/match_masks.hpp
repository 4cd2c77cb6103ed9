// Where each character stands in a short query, as bit masks: what every
// kind of bit-parallel distance row computes from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quellnor::search {

inline constexpr std::size_t kBitRowsMaxQuery = 63;

// Bit j + 1 of a character's mask is set when the query's code point j is
// that character; bit 0 stands for the empty prefix and is never set.
// Needs n + 1 <= 64 bits.
class MatchMasks {
public:
    explicit MatchMasks(std::u32string_view query) {
        for (std::size_t j = 0; j < query.size(); ++j) {
            const char32_t c = query[j];
            const std::uint64_t bit = std::uint64_t{2} << j;
            if (c < kAscii) ascii_masks_[c] |= bit;
            else other_masks_[other_index(c)] |= bit;
        }
    }

    // The mask of `label`, into `match`; false for U+0000, the label of a
    // node that is never entered.
    [[gnu::always_inline]] bool find(char32_t label, std::uint64_t& match) const {
        // Labels 1 to 127 in one test: U+0000 wraps around to the other side.
        if (label - 1 < kAscii - 1) [[likely]] {
            match = ascii_masks_[label];
            return true;
        }
        if (label == U'\0') return false;
        match = other_mask(label);
        return true;
    }

private:
    static constexpr char32_t kAscii = 128;

    std::uint64_t other_mask(char32_t label) const {
        for (std::size_t i = 0; i < other_count_; ++i)
            if (other_chars_[i] == label) return other_masks_[i];
        return 0;
    }

    std::size_t other_index(char32_t c) {
        for (std::size_t i = 0; i < other_count_; ++i)
            if (other_chars_[i] == c) return i;
        other_chars_[other_count_] = c;
        return other_count_++;
    }

    std::uint64_t ascii_masks_[kAscii] = {};
    char32_t other_chars_[kBitRowsMaxQuery] = {};
    std::uint64_t other_masks_[kBitRowsMaxQuery] = {};
    std::size_t other_count_ = 0;
};

}  // namespace quellnor::search
