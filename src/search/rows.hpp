// What the walks need of edit-distance rows. A walk is generic over its rows:
// new rows (another distance, another representation) are a type that
// models the concept, and every walk then serves them.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quellnor::search {

// One row per depth of the path being walked, each computed from the row
// above it and the label of the edge between.
template <class Rows>
concept DistanceRows = requires(Rows& rows, const Rows& held, const typename Rows::Parent& parent,
                                std::size_t depth, char32_t label) {
    // What every child of one node needs from the node's row, worked out
    // once for all of them.
    { held.parent(depth) } -> std::same_as<typename Rows::Parent>;
    // Makes the row one label below `depth` the current one; false when no
    // longer path through it can come within the threshold, so that the
    // branch is pruned. A label of 0 is never entered.
    { rows.descend(parent, depth, label) } -> std::same_as<bool>;
    // Whether the current row's path is within the threshold of the whole
    // query, and at what distance.
    { held.reaches_end() } -> std::same_as<bool>;
    { held.distance() } -> std::same_as<std::uint32_t>;
};

// Rows whose every row is a value of its own, copied freely, so that a walk
// by levels can keep one with each survivor of a whole level.
template <class Rows>
concept LevelRows =
    DistanceRows<Rows> && std::is_trivially_copyable_v<typename Rows::Row> &&
    requires(const Rows& rows, const typename Rows::Row& row, typename Rows::Row& out,
             const typename Rows::Parent& parent, char32_t label) {
        { rows.root_row() } -> std::convertible_to<const typename Rows::Row&>;
        { Rows::parent_of(row) } -> std::same_as<typename Rows::Parent>;
        // The row one label below the parent's, into `out`; false as descend.
        { rows.child_row(parent, label, out) } -> std::same_as<bool>;
        { rows.reaches_end(row) } -> std::same_as<bool>;
        { rows.distance(row) } -> std::same_as<std::uint32_t>;
    };

}  // namespace quellnor::search
