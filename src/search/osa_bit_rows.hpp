// Distance rows as bit sets that count an adjacent transposition as one edit
// (optimal string alignment), for short queries and small thresholds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "search/bit_row_store.hpp"

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
struct OsaBitRow {
    std::array<std::uint64_t, Levels> words;
    // Word k: (this row's parent's word k - 1 << 2) & M[this row's label].
    std::array<std::uint64_t, Levels> swaps;
};

template <std::uint32_t Levels>
class OsaBitRows : public BitRowStore<OsaBitRows<Levels>, OsaBitRow<Levels>, Levels> {
    using Store = BitRowStore<OsaBitRows<Levels>, OsaBitRow<Levels>, Levels>;

public:
    using Row = OsaBitRow<Levels>;

    explicit OsaBitRows(std::u32string_view query) : Store(query) {
        for (std::size_t k = 0; k < Levels; ++k) {
            this->root().words[k] = this->root_word(k, query.size());
            this->root().swaps[k] = 0;  // no label above the root to swap with
        }
    }

    // BitRows' parts for a node's children, and what their transpositions
    // take from the node's row and its parent's.
    struct Parent {
        std::uint64_t shifted[Levels];
        std::uint64_t from_below[Levels];
        std::uint64_t swaps[Levels];
        std::uint64_t shifted_twice[Levels];
    };

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
        if (!this->masks_.find(label, match)) return false;  // a node without a label is never entered
        const std::uint64_t swapped = match << 1;
        row.words[0] = p.shifted[0] & match;
        for (std::size_t k = 1; k < Levels; ++k) {
            row.words[k] = (p.shifted[k] & match) | p.from_below[k] | (row.words[k - 1] << 1) |
                           (p.swaps[k] & swapped);
        }
        if ((row.words[Levels - 1] & this->full_) == 0) return false;
        row.swaps[0] = 0;
        for (std::size_t k = 1; k < Levels; ++k) row.swaps[k] = p.shifted_twice[k] & match;
        return true;
    }

    static const std::uint64_t* words_of(const Row& row) { return row.words.data(); }
};

}  // namespace quellnor::search
