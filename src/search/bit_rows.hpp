// Distance rows as bit sets, for short queries and small thresholds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fault.hpp"
#include "search/match_masks.hpp"

namespace quellnor::search {

inline constexpr std::uint32_t kBitRowsMaxDist = 7;

// Word k of a row has bit j set when the distance to the query's first j code
// points is at most k. A row is max_dist + 1 words, each computed from the
// row above in a handful of word operations, and a branch dies when word
// max_dist is empty. Needs n + 1 <= 64 bits. The number of words is a
// template argument so that a row is computed in straight-line code.
template <std::uint32_t Levels>
class BitRows {
public:
    static constexpr std::size_t kMaxQuery = kBitRowsMaxQuery;
    static_assert(Levels >= 1 && Levels <= kBitRowsMaxDist + 1);

    using Row = std::array<std::uint64_t, Levels>;

    explicit BitRows(std::u32string_view query)
        : masks_(query),
          last_bit_(std::uint64_t{1} << query.size()),
          full_(last_bit_ | (last_bit_ - 1)),
          // Depth is bounded: a row at depth r has no cell below r - n.
          rows_used_(query.size() + Levels + 1) {
        for (std::size_t k = 0; k < Levels; ++k) {
            rows_[0][k] = k >= query.size() ? full_ : (std::uint64_t{2} << k) - 1;
        }
    }

    // The row of the empty path, at the root.
    const Row& root_row() const { return rows_[0]; }

    // What every child of one node needs from the node's row, worked out once
    // for all its children: the row's words moved on by one column, and the
    // part of each word that comes from the word below it (insertions and
    // substitutions), which does not depend on the child's label.
    struct Parent {
        std::uint64_t shifted[Levels];
        std::uint64_t from_below[Levels];
    };

    [[gnu::always_inline]] Parent parent(std::size_t depth) const { return parent_of(rows_[depth]); }

    [[gnu::always_inline]] static Parent parent_of(const Row& row) {
        Parent p;
        p.shifted[0] = row[0] << 1;
        p.from_below[0] = 0;
        for (std::size_t k = 1; k < Levels; ++k) {
            p.shifted[k] = row[k] << 1;
            p.from_below[k] = (row[k - 1] << 1) | row[k - 1];
        }
        return p;
    }

    // The row one label below the parent's, computed in registers; false
    // when the branch dies there, as most do. Bits above the query's length
    // may hold garbage: shifts only carry it further up, so it is masked off
    // once, at the test.
    [[gnu::always_inline]] bool child_row(const Parent& p, char32_t label, Row& row) const {
        std::uint64_t match = 0;
        if (!masks_.find(label, match)) return false;  // a node without a label is never entered
        row[0] = p.shifted[0] & match;
        for (std::size_t k = 1; k < Levels; ++k)
            row[k] = (p.shifted[k] & match) | p.from_below[k] | (row[k - 1] << 1);
        return (row[Levels - 1] & full_) != 0;
    }

    // The depth-first walk keeps one row per depth, stored only when it
    // survives.
    [[gnu::always_inline]] bool descend(const Parent& p, std::size_t depth, char32_t label) {
        Row row;
        if (!child_row(p, label, row)) return false;
        if (depth + 1 >= rows_used_) [[unlikely]]
            throw Fault("distance rows deeper than the threshold allows");
        cur_ = &rows_[depth + 1];
        *cur_ = row;
        return true;
    }

    bool reaches_end() const { return reaches_end(*cur_); }
    std::uint32_t distance() const { return distance(*cur_); }

    bool reaches_end(const Row& row) const { return (row[Levels - 1] & last_bit_) != 0; }
    // The smallest level whose word holds the last bit.
    std::uint32_t distance(const Row& row) const {
        std::uint32_t k = 0;
        while ((row[k] & last_bit_) == 0) ++k;
        return k;
    }

private:
    MatchMasks masks_;
    std::uint64_t last_bit_;
    std::uint64_t full_;
    // One row per depth the walk can reach, in place rather than on the
    // heap: at most a few KiB, and a short query would otherwise spend a
    // noticeable part of its time allocating them. Each row is written
    // before it is read.
    std::size_t rows_used_;
    Row rows_[kMaxQuery + Levels + 1];
    Row* cur_ = nullptr;
};

}  // namespace quellnor::search
