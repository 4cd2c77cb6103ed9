// The nodes a query reaches, weighed, and their payloads added up per video:
// the part of a ranking that fuzzy_match_video and suggest_videos share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "search/matcher.hpp"
#include "search/score_table.hpp"
#include "trie/trie.hpp"

namespace quellnor {

// A node that passed every check, reduced to what the additions need, so the
// additions run over memory the checks have already brought in.
struct Contribution {
    double weight;
    const std::uint32_t* ids;
    const std::uint32_t* counts;
    std::size_t size;
};

// The matched nodes that count, weighed, and the denominator of the shares.
struct Weighed {
    std::vector<Contribution> contributions;
    double weighted_total = 0.0;
    std::size_t additions = 0;
};

// Weighs each node by its distance from a query of `query_length` code
// points and by whether a term ends there (1.0 at distance 0, else
// (1 - d/L) * 0.05, times 0.85 where no term ends); a node too far to weigh
// anything, or without a payload, is left out. Every check runs here, node
// by node in list order, before any score is added.
Weighed weigh(const Trie& trie, const std::vector<NodeMatch>& nodes, std::size_t query_length);

// Each video's weighted count, added in node order and then payload order,
// which is what makes every score the same to the last bit on every run.
search::ScoreTable add_up(const Weighed& weighed);

}  // namespace quellnor
