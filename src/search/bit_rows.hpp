// Distance rows as bit sets, for short queries and small thresholds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "search/bit_row_store.hpp"

namespace quellnor::search {

// A row is max_dist + 1 words, each computed from the row above in a handful
// of word operations (see BitRowStore for what word k means). The number of
// words is a template argument so that a row is computed in straight-line
// code.
template <std::uint32_t Levels>
class BitRows : public BitRowStore<BitRows<Levels>, std::array<std::uint64_t, Levels>, Levels> {
    using Store = BitRowStore<BitRows<Levels>, std::array<std::uint64_t, Levels>, Levels>;

public:
    using Row = std::array<std::uint64_t, Levels>;

    explicit BitRows(std::u32string_view query) : Store(query) {
        for (std::size_t k = 0; k < Levels; ++k) this->root()[k] = this->root_word(k, query.size());
    }

    // What every child of one node needs from the node's row, worked out once
    // for all its children: the row's words moved on by one column, and the
    // part of each word that comes from the word below it (insertions and
    // substitutions), which does not depend on the child's label.
    struct Parent {
        std::uint64_t shifted[Levels];
        std::uint64_t from_below[Levels];
    };

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
        if (!this->masks_.find(label, match)) return false;  // a node without a label is never entered
        row[0] = p.shifted[0] & match;
        for (std::size_t k = 1; k < Levels; ++k)
            row[k] = (p.shifted[k] & match) | p.from_below[k] | (row[k - 1] << 1);
        return (row[Levels - 1] & this->full_) != 0;
    }

    static const std::uint64_t* words_of(const Row& row) { return row.data(); }
};

}  // namespace quellnor::search
