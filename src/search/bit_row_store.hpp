// What every kind of bit-parallel distance rows keeps: the query's masks, the
// row of the root, and one row per depth for the depth-first walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fault.hpp"
#include "search/match_masks.hpp"

namespace quellnor::search {

inline constexpr std::uint32_t kBitRowsMaxDist = 7;

// Word k of a row has bit j set when the distance to the query's first j
// code points is at most k; a branch dies when word Levels - 1 is empty.
// `Rows` (which derives from this) makes each row from its parent's, with
// `child_row` and `parent_of`, and says where a row's words are with
// `words_of`. Needs n + 1 <= 64 bits.
template <class Rows, class Row, std::uint32_t Levels>
class BitRowStore {
public:
    static constexpr std::size_t kMaxQuery = kBitRowsMaxQuery;
    static_assert(Levels >= 1 && Levels <= kBitRowsMaxDist + 1);

    // The row of the empty path, at the root.
    const Row& root_row() const { return rows_[0]; }

    [[gnu::always_inline]] auto parent(std::size_t depth) const { return Rows::parent_of(rows_[depth]); }

    // The depth-first walk keeps one row per depth, stored only when it
    // survives.
    template <class Parent>
    [[gnu::always_inline]] bool descend(const Parent& p, std::size_t depth, char32_t label) {
        Row row;
        if (!static_cast<const Rows&>(*this).child_row(p, label, row)) return false;
        if (depth + 1 >= rows_used_) [[unlikely]]
            throw Fault("distance rows deeper than the threshold allows");
        cur_ = &rows_[depth + 1];
        *cur_ = row;
        return true;
    }

    bool reaches_end() const { return reaches_end(*cur_); }
    std::uint32_t distance() const { return distance(*cur_); }

    bool reaches_end(const Row& row) const { return (Rows::words_of(row)[Levels - 1] & last_bit_) != 0; }
    // The smallest level whose word holds the last bit.
    std::uint32_t distance(const Row& row) const {
        std::uint32_t k = 0;
        while ((Rows::words_of(row)[k] & last_bit_) == 0) ++k;
        return k;
    }

protected:
    explicit BitRowStore(std::u32string_view query)
        : masks_(query),
          last_bit_(std::uint64_t{1} << query.size()),
          full_(last_bit_ | (last_bit_ - 1)),
          // Depth is bounded: a row at depth r has no cell below r - n.
          rows_used_(query.size() + Levels + 1) {}

    // Word k of the root's row: the prefixes of at most k code points.
    std::uint64_t root_word(std::size_t k, std::size_t query_size) const {
        return k >= query_size ? full_ : (std::uint64_t{2} << k) - 1;
    }
    Row& root() { return rows_[0]; }

    MatchMasks masks_;
    std::uint64_t last_bit_;
    std::uint64_t full_;

private:
    // One row per depth the walk can reach, in place rather than on the
    // heap: at most a few KiB, and a short query would otherwise spend a
    // noticeable part of its time allocating them. Each row is written
    // before it is read.
    std::size_t rows_used_;
    Row rows_[kMaxQuery + Levels + 1];
    Row* cur_ = nullptr;
};

}  // namespace quellnor::search
