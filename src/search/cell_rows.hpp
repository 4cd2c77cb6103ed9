// Distance rows as plain 32-bit cells: any query length, any threshold, with
// or without adjacent transpositions counted as one edit.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "search/budget.hpp"

namespace quellnor::search {

// One row of n + 1 cells per depth. Rows appear as the walk first reaches a
// depth, so memory follows the depth actually reached. With Transpositions
// (optimal string alignment), a cell may also come from two rows up when the
// last two labels are the query's two code points before it, swapped; the
// label of each depth is kept for that.
template <bool Transpositions>
class BasicCellRows {
public:
    BasicCellRows(std::u32string_view query, std::uint32_t max_dist, Budget& budget)
        : query_(query), max_dist_(max_dist), width_(query.size() + 1), budget_(budget) {
        budget_.reserve(cells_, width_);
        cells_.resize(width_);
        for (std::size_t j = 0; j < width_; ++j) cells_[j] = static_cast<std::uint32_t>(j);
        if constexpr (Transpositions) {
            budget_.reserve(labels_, 1);
            labels_.resize(1);
        }
    }

    // Nothing is prepared per parent: each row is computed from the one above.
    struct Parent {};
    Parent parent(std::size_t) const { return {}; }

    bool descend(const Parent&, std::size_t depth, char32_t label) {
        if (label == U'\0') return false;  // a node without a label is never entered
        const std::size_t cur_at = (depth + 1) * width_;
        if (cells_.size() < cur_at + width_) [[unlikely]] {
            budget_.reserve(cells_, cur_at + width_);
            cells_.resize(cur_at + width_);
        }
        cur_ = cells_.data() + cur_at;
        const std::uint32_t* prev = cur_ - width_;
        std::uint32_t left = static_cast<std::uint32_t>(depth + 1);
        std::uint32_t best = left;
        cur_[0] = left;
        for (std::size_t j = 1; j < width_; ++j) {
            std::uint32_t cell = prev[j - 1] + (query_[j - 1] == label ? 0u : 1u);
            cell = std::min(cell, prev[j] + 1);
            cell = std::min(cell, left + 1);
            if constexpr (Transpositions) cell = std::min(cell, swapped(depth, j, label));
            cur_[j] = cell;
            left = cell;
            best = std::min(best, cell);
        }
        if constexpr (Transpositions) keep_label(depth + 1, label);
        return best <= max_dist_;
    }

    bool reaches_end() const { return cur_[width_ - 1] <= max_dist_; }
    std::uint32_t distance() const { return cur_[width_ - 1]; }

private:
    // What cell j of the row below `depth` costs through a transposition:
    // the cell two rows up and two code points back, plus one, when the
    // parent's label and `label` are the query's code points j and j - 1;
    // otherwise more than any cell.
    std::uint32_t swapped(std::size_t depth, std::size_t j, char32_t label) const {
        if (depth == 0 || j < 2 || query_[j - 2] != label || query_[j - 1] != labels_[depth])
            return UINT32_MAX;
        const std::uint32_t* grandparent = cur_ - 2 * width_;
        return grandparent[j - 2] + 1;
    }

    void keep_label(std::size_t depth, char32_t label) {
        if (labels_.size() <= depth) [[unlikely]] {
            budget_.reserve(labels_, depth + 1);
            labels_.resize(depth + 1);
        }
        labels_[depth] = label;
    }

    std::u32string_view query_;
    std::uint32_t max_dist_;
    std::size_t width_;
    Budget& budget_;
    std::vector<std::uint32_t> cells_;
    std::vector<char32_t> labels_;  // per depth: the label into it (with Transpositions)
    std::uint32_t* cur_ = nullptr;
};

using CellRows = BasicCellRows<false>;
using OsaCellRows = BasicCellRows<true>;

}  // namespace quellnor::search
