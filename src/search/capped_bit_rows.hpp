// Bit rows that spend only part of the threshold on the start of the query:
// the rows of a walk that looks for the matches whose errors fall mostly
// late (see split_walk.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "search/bit_row_store.hpp"
#include "search/bit_rows.hpp"
#include "search/osa_bit_rows.hpp"

namespace quellnor::search {

// The cap both kinds of capped rows apply: per word, the columns it may
// hold. Word k of a capped row keeps, where it is capped, only what word
// k - 1 already holds: a capped cell is within k exactly when it is within
// the cap. Each word is capped before the next one reads it, so that no
// deletion carries a dropped cell on along the row.
template <std::uint32_t Levels>
class HeadCap {
protected:
    // Needs head_budget < Levels - 1.
    HeadCap(std::size_t head, std::uint32_t head_budget) {
        const std::uint64_t past_head = ~((std::uint64_t{2} << head) - 1);
        for (std::size_t k = 0; k < Levels; ++k) allowed_[k] = k > head_budget ? past_head : ~0ULL;
    }

    // Word k, from what reached it and word k - 1 (0 for word 0).
    [[gnu::always_inline]] std::uint64_t capped(std::size_t k, std::uint64_t reached, std::uint64_t below) const {
        return (reached & allowed_[k]) | below;
    }

    // The words of the root's row, from its plain ones.
    template <class Words>
    void cap_root(Words& words) const {
        for (std::size_t k = 0; k < Levels; ++k) words[k] = capped(k, words[k], k > 0 ? words[k - 1] : 0);
    }

private:
    std::uint64_t allowed_[Levels];
};

// Levenshtein rows in which a cell of the first `head` + 1 columns (the
// empty prefix and the query's first `head` code points) counts only while
// its distance is at most `head_budget`: cells above that there are dropped
// as if out of reach. The distance of a path is then the least cost of an
// alignment that spends at most `head_budget` edits before it leaves column
// `head`; it is never below the true distance, and equals it for every
// alignment that keeps to the cap. A branch dies as soon as no alignment
// that keeps to the cap can come within the threshold, which in the bushy
// top of a trie is nearly at once.
template <std::uint32_t Levels>
class CappedBitRows
    : public BitRowStore<CappedBitRows<Levels>, std::array<std::uint64_t, Levels>, Levels>,
      private HeadCap<Levels> {
    using Store = BitRowStore<CappedBitRows<Levels>, std::array<std::uint64_t, Levels>, Levels>;

public:
    using Row = std::array<std::uint64_t, Levels>;
    using Parent = typename BitRows<Levels>::Parent;

    // Needs head < query.size() and head_budget < Levels - 1.
    CappedBitRows(std::u32string_view query, std::size_t head, std::uint32_t head_budget)
        : Store(query), HeadCap<Levels>(head, head_budget) {
        Row& root = this->root();
        for (std::size_t k = 0; k < Levels; ++k) root[k] = this->root_word(k, query.size());
        this->cap_root(root);
    }

    [[gnu::always_inline]] static Parent parent_of(const Row& row) {
        return BitRows<Levels>::parent_of(row);
    }

    // As BitRows::child_row, capped (see HeadCap).
    [[gnu::always_inline]] bool child_row(const Parent& p, char32_t label, Row& row) const {
        std::uint64_t match = 0;
        if (!this->masks_.find(label, match)) return false;
        row[0] = p.shifted[0] & match;  // word 0 is never capped
        for (std::size_t k = 1; k < Levels; ++k)
            row[k] = this->capped(k, (p.shifted[k] & match) | p.from_below[k] | (row[k - 1] << 1), row[k - 1]);
        return (row[Levels - 1] & this->full_) != 0;
    }

    static const std::uint64_t* words_of(const Row& row) { return row.data(); }
};

// The same cap on rows that count an adjacent transposition as one edit. A
// swap of the code points on either side of the cut steps from column
// head - 1 to head + 1 without a cell at column head; it costs one edit, so
// every alignment within the threshold that makes it has spent at most
// head_budget before it, and the cap keeps it. But the row between the two
// may have nothing within reach: its cells before the cut are dropped, and
// past the cut it needs the swap to be done. Such a row is kept while a swap
// may still leave it, which plain rows never need (see OsaBitRows).
template <std::uint32_t Levels>
class CappedOsaBitRows
    : public BitRowStore<CappedOsaBitRows<Levels>, OsaBitRow<Levels>, Levels>,
      private HeadCap<Levels> {
    using Store = BitRowStore<CappedOsaBitRows<Levels>, OsaBitRow<Levels>, Levels>;

public:
    using Row = OsaBitRow<Levels>;
    using Parent = typename OsaBitRows<Levels>::Parent;

    // Needs head < query.size() and head_budget < Levels - 1.
    CappedOsaBitRows(std::u32string_view query, std::size_t head, std::uint32_t head_budget)
        : Store(query), HeadCap<Levels>(head, head_budget) {
        Row& root = this->root();
        for (std::size_t k = 0; k < Levels; ++k) {
            root.words[k] = this->root_word(k, query.size());
            root.swaps[k] = 0;  // no label above the root to swap with
        }
        this->cap_root(root.words);
    }

    [[gnu::always_inline]] static Parent parent_of(const Row& row) {
        return OsaBitRows<Levels>::parent_of(row);
    }

    // As OsaBitRows::child_row, capped as CappedBitRows caps.
    [[gnu::always_inline]] bool child_row(const Parent& p, char32_t label, Row& row) const {
        std::uint64_t match = 0;
        if (!this->masks_.find(label, match)) return false;
        const std::uint64_t swapped = match << 1;
        row.words[0] = p.shifted[0] & match;
        for (std::size_t k = 1; k < Levels; ++k) {
            const std::uint64_t reached = (p.shifted[k] & match) | p.from_below[k] |
                                          (row.words[k - 1] << 1) | (p.swaps[k] & swapped);
            row.words[k] = this->capped(k, reached, row.words[k - 1]);
        }
        row.swaps[0] = 0;
        for (std::size_t k = 1; k < Levels; ++k) row.swaps[k] = p.shifted_twice[k] & match;
        return ((row.words[Levels - 1] | row.swaps[Levels - 1]) & this->full_) != 0;
    }

    static const std::uint64_t* words_of(const Row& row) { return row.words.data(); }
};

}  // namespace quellnor::search
