// What the walks need of the code that receives their hits. A walk is generic
// over its reporter: a new kind of answer is a type that models the concept.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quellnor::search {

// How a walk hands a reporter the path to a hit: a call that spells the
// labels from the root, made only when the reporter wants them.
struct SpellPath {
    std::u32string_view operator()() const;
};

// Receives the hits of a walk, in pre-order.
template <class Report>
concept Reporter = requires(Report& report, const Report& held, std::size_t node,
                            std::uint32_t distance, const SpellPath& path) {
    // A reporter that may stop the walk before its end is walked depth first,
    // which finds its hits in order as it goes.
    { held.may_stop_early() } -> std::same_as<bool>;
    // Whether a node whose path reaches the end of the query is a hit.
    { held.wants(node) } -> std::same_as<bool>;
    // Takes a hit; true stops the walk at once.
    { report(node, distance, path) } -> std::same_as<bool>;
};

// A reporter may also say, when a walk with an allowance has spent it, how
// many more slots the walk should try before it gives up (0: none).
template <class Report>
concept GrantsMoreSlots = requires(const Report& held, std::size_t spent) {
    { held.more_slots(spent) } -> std::same_as<std::size_t>;
};

}  // namespace quellnor::search
