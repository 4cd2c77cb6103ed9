// Distance rows as bit sets that count an adjacent transposition as one edit
// (optimal string alignment), for short queries and small thresholds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fault.hpp"
#include "search/bit_rows.hpp"
#include "search/match_masks.hpp"

namespace quellnor::search {

// The words of BitRows, plus what a transposition needs. The distance to
// query prefix j at depth i may come from depth i - 2 and prefix j - 2 when
// the last two labels are the query's code points j and j - 1 swapped: in
// word k, bit j gets (G[k-1] << 2) & M[p] & (M[c] << 1), with G the row two
// labels up, p the parent's label and c the child's. The part that does not
// depend on c is worked out once, as the parent's row is made, and kept in
// the row as `swaps`. A transposition never outruns pruning: its source
// G[k-1] at j - 2 already puts row i within k at j - 1, so a branch dies
// under these rows exactly where plain rows would say it can.
template <std::uint32_t Levels>
class OsaBitRows {
public:
    static constexpr std::size_t kMaxQuery = kBitRowsMaxQuery;
    static_assert(Levels >= 1 && Levels <= kBitRowsMaxDist + 1);

    struct Row {
        std::array<std::uint64_t, Levels> words;
        // Word k: (this row's parent's word k - 1 << 2) & M[this row's label].
        std::array<std::uint64_t, Levels> swaps;
    };

    explicit OsaBitRows(std::u32string_view query)
        : masks_(query),
          last_bit_(std::uint64_t{1} << query.size()),
          full_(last_bit_ | (last_bit_ - 1)),
          rows_used_(query.size() + Levels + 1) {
        for (std::size_t k = 0; k < Levels; ++k) {
            rows_[0].words[k] = k >= query.size() ? full_ : (std::uint64_t{2} << k) - 1;
            rows_[0].swaps[k] = 0;  // no label above the root to swap with
        }
    }

    const Row& root_row() const { return rows_[0]; }

    // BitRows' parts for a node's children, and what their transpositions
    // take from the node's row and its parent's.
    struct Parent {
        std::uint64_t shifted[Levels];
        std::uint64_t from_below[Levels];
        std::uint64_t swaps[Levels];
        std::uint64_t shifted_twice[Levels];
    };

    [[gnu::always_inline]] Parent parent(std::size_t depth) const { return parent_of(rows_[depth]); }

    [[gnu::always_inline]] static Parent parent_of(const Row& row) {
        Parent p;
        p.shifted[0] = row.words[0] << 1;
        p.from_below[0] = 0;
        p.swaps[0] = 0;
        p.shifted_twice[0] = 0;
        for (std::size_t k = 1; k < Levels; ++k) {
            p.shifted[k] = row.words[k] << 1;
            p.from_below[k] = (row.words[k - 1] << 1) | row.words[k - 1];
            p.swaps[k] = row.swaps[k];
            p.shifted_twice[k] = row.words[k - 1] << 2;
        }
        return p;
    }

    // As BitRows::child_row, with the transpositions; the child's own swaps
    // are worked out only when it survives.
    [[gnu::always_inline]] bool child_row(const Parent& p, char32_t label, Row& row) const {
        std::uint64_t match = 0;
        if (!masks_.find(label, match)) return false;  // a node without a label is never entered
        const std::uint64_t swapped = match << 1;
        row.words[0] = p.shifted[0] & match;
        for (std::size_t k = 1; k < Levels; ++k) {
            row.words[k] = (p.shifted[k] & match) | p.from_below[k] | (row.words[k - 1] << 1) |
                           (p.swaps[k] & swapped);
        }
        if ((row.words[Levels - 1] & full_) == 0) return false;
        row.swaps[0] = 0;
        for (std::size_t k = 1; k < Levels; ++k) row.swaps[k] = p.shifted_twice[k] & match;
        return true;
    }

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

    bool reaches_end(const Row& row) const { return (row.words[Levels - 1] & last_bit_) != 0; }
    std::uint32_t distance(const Row& row) const {
        std::uint32_t k = 0;
        while ((row.words[k] & last_bit_) == 0) ++k;
        return k;
    }

private:
    MatchMasks masks_;
    std::uint64_t last_bit_;
    std::uint64_t full_;
    std::size_t rows_used_;
    Row rows_[kMaxQuery + Levels + 1];
    Row* cur_ = nullptr;
};

}  // namespace quellnor::search
