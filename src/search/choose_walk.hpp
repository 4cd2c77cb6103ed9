// Which rows and which walk serve a query.
#pragma once

#include <cstdint>
#include <string_view>

#include "search/bit_rows.hpp"
#include "search/budget.hpp"
#include "search/by_levels.hpp"
#include "search/cell_rows.hpp"
#include "search/depth_first.hpp"
#include "search/osa_bit_rows.hpp"
#include "search/reporter.hpp"
#include "search/rows.hpp"
#include "trie/trie.hpp"

namespace quellnor::search {

// A slip in a signature would quietly send every walk depth first.
static_assert(LevelRows<BitRows<1>> && LevelRows<BitRows<kBitRowsMaxDist + 1>>);
static_assert(LevelRows<OsaBitRows<1>> && LevelRows<OsaBitRows<kBitRowsMaxDist + 1>>);
static_assert(DistanceRows<CellRows> && DistanceRows<OsaCellRows>);

// What counts as one edit: Levenshtein's insertion, deletion and
// substitution, or those and an adjacent transposition (optimal string
// alignment). Each has its bit rows and its cell rows.
enum class Metric { levenshtein, optimal_alignment };

template <Metric M>
struct RowsOf {
    template <std::uint32_t Levels>
    using Bits = BitRows<Levels>;
    using Cells = CellRows;
};

template <>
struct RowsOf<Metric::optimal_alignment> {
    template <std::uint32_t Levels>
    using Bits = OsaBitRows<Levels>;
    using Cells = OsaCellRows;
};

// By levels where the trie, the rows and the reporter allow it (the walk by
// levels gives up, having reported nothing, when its survivors grow too
// many); depth first otherwise. Either follows `lead` first.
template <DistanceRows Rows, Reporter Report>
void walk_with(const Trie& trie, Rows& rows, Budget& budget, Report& report, Lead lead = {}) {
    if constexpr (LevelRows<Rows>) {
        if (trie.breadth_first_tree && !report.may_stop_early() &&
            walk_by_levels(trie, rows, budget, report, lead))
            return;
    }
    walk_depth_first(trie, rows, budget, report, std::nullopt, lead);
}

// Calls `walk(rows)` with bit rows wherever the query and the threshold fit
// them, each threshold with rows of its own width; cells otherwise.
template <Metric M, class Walk>
auto with_rows(std::u32string_view query, std::uint32_t max_dist, Budget& budget, Walk&& walk) {
    if (query.size() > kBitRowsMaxQuery || max_dist > kBitRowsMaxDist) {
        typename RowsOf<M>::Cells rows(query, max_dist, budget);
        return walk(rows);
    }
    const auto bit_rows = [&]<std::uint32_t Levels>() {
        typename RowsOf<M>::template Bits<Levels> rows(query);
        return walk(rows);
    };
    switch (max_dist) {
        case 0: return bit_rows.template operator()<1>();
        case 1: return bit_rows.template operator()<2>();
        case 2: return bit_rows.template operator()<3>();
        case 3: return bit_rows.template operator()<4>();
        case 4: return bit_rows.template operator()<5>();
        case 5: return bit_rows.template operator()<6>();
        case 6: return bit_rows.template operator()<7>();
        default: return bit_rows.template operator()<8>();
    }
}

template <Metric M = Metric::levenshtein, Reporter Report>
void choose_walk(const Trie& trie, std::u32string_view query, std::uint32_t max_dist,
                 Budget& budget, Report& report) {
    if (trie.has_no_nodes()) return;
    with_rows<M>(query, max_dist, budget, [&](auto& rows) { walk_with(trie, rows, budget, report); });
}

// The walk depth first, which gives up, returning false, before it would try
// more than `allowance` slots.
template <Reporter Report>
bool walk_depth_first_within(const Trie& trie, std::u32string_view query, std::uint32_t max_dist,
                             Budget& budget, Report& report, std::size_t allowance) {
    if (trie.has_no_nodes()) return true;
    return with_rows<Metric::levenshtein>(query, max_dist, budget, [&](auto& rows) {
        return walk_depth_first(trie, rows, budget, report, allowance);
    });
}

}  // namespace quellnor::search
