// Completions heaviest first: a best-first search over the terms below a
// level's starting nodes, guided by each subtree's heaviest term, so that it
// looks at little more than the terms it hands out.
#pragma once

#include <cstdint>
#include <vector>

#include "search/budget.hpp"
#include "suggest/active_nodes.hpp"
#include "suggest/completion_table.hpp"

namespace quellnor {

// The distance of each node a walk reached within its threshold.
class ActiveDistances {
public:
    ActiveDistances(const std::vector<ActiveNode>& active, search::Budget& budget);
    // The node's distance, or kNoAncestor when the walk did not reach it.
    std::uint32_t of(std::uint32_t node) const;

private:
    struct Reached {
        std::uint32_t node;
        std::uint32_t distance;
    };
    std::vector<Reached> by_node_;
};

// The completions at one distance `level`: the terms below the level's
// starting nodes (the topmost nodes at that distance), leaving out every
// subtree that starts at a node nearer the query and every term that itself
// lies at `level` (those are whole-term matches). They come out by weight,
// heaviest first, equal weights in code-point order.
//
// Each queue entry is a term, keyed by its weight, or a subtree, keyed by
// its heaviest term; both then by rank. A term comes out only when nothing
// in the queue can beat it, and a subtree's children are queued one at a
// time, heaviest first, each bringing its next sibling when it comes out.
class CompletionSearch {
public:
    CompletionSearch(const CompletionTable& table, const ActiveDistances& active, std::uint32_t level,
                     search::Budget& budget);

    // Adds the terms below a starting node, of which at most `wanted` will
    // be taken. Where nothing below it lies nearer the query (`clean`), the
    // node's top list serves instead of its subtree if it holds the wanted
    // terms besides the `whole` whole-term matches below the node, which it
    // skips.
    void start_at(std::uint32_t node, std::uint64_t wanted, bool clean, std::uint64_t whole);
    // The next completion's entry into `entry`; false once there is none.
    bool next(std::uint32_t& entry);

private:
    enum class Kind : std::uint32_t { subtree, term, list };

    struct Queued {
        std::uint32_t key;  // the term's weight, or the subtree's heaviest
        std::uint32_t rank;
        Kind kind;
        // A subtree: its entry, and its following siblings' entries up to
        // `end`. A term: its entry. A list: its position in top_terms, and
        // the list's end.
        std::uint32_t at;
        std::uint32_t end;
    };

    void push(const Queued& queued);
    void push_subtree(std::uint32_t entry, std::uint32_t run_end);
    void push_list(std::uint32_t position, std::uint32_t end);
    void open(const Queued& subtree);

    const CompletionTable& table_;
    const ActiveDistances& active_;
    std::uint32_t level_;
    search::Budget& budget_;
    std::vector<Queued> queue_;
};

}  // namespace quellnor
