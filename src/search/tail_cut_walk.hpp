// The tail-cut walk: every node within one or two edits of a query, not only
// the term ends, found by a narrow walk of the index and a climb from the
// nodes whose path ends with the query's tail.
//
// Cut the query into a head and a tail. An alignment of a path with the query
// within the threshold t spends e edits up to the cut and the rest after it:
// either e < t, or e = t and the path ends with the tail exactly. The first
// are found by a walk of the index whose rows allow at most t - 1 edits
// before the cut (CappedBitRows), which is not bushy at the top, as the plain
// walk is: it must spell the head nearly exactly before it may branch out.
// The second are the nodes whose paths end with the tail, one run of the
// tail index; from each, the path above the tail is climbed with the head
// read backwards, and kept within t. Both give the cost of a real
// alignment, and between them they hold the best one: a node keeps the
// smaller of its two distances, which is its distance.
//
// The split walk (split_walk.hpp) cuts the same way for term ends only,
// which a trie of the reversed terms finds; a node inside a term ends none,
// so these walks find the second kind in the tail index instead.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "search/budget.hpp"
#include "trie/trie.hpp"

namespace quellnor::search {

struct ReachedNode {
    std::uint32_t node;
    std::uint32_t distance;
    std::uint32_t depth;  // labels on its path
    std::uint32_t rank;   // its place in pre-order
    // The depth of the deepest node above both it and the node before it in
    // the list (0 for the first): where their paths part. Noted only by
    // note_partings.
    std::uint32_t parting;
};

// Every node of `trie` within `threshold` of `query` (with `transpositions`,
// an adjacent swap is one edit) but the root, in pre-order, as the plain
// walk reports them. False, having found nothing, where the walk does not
// serve: a threshold or a query it does not take, a trie without a tail
// index, or a tail so common that the plain walk costs less.
bool tail_cut_walk(const Trie& trie, std::u32string_view query, std::uint32_t threshold,
                   bool transpositions, Budget& budget, std::vector<ReachedNode>& out);

// Notes where each hit of tail_cut_walk parts from the one before, for the
// callers that need to know which hits lie above which (suggestions do;
// fuzzy_match_video's every-node walk does not, and pays nothing for it).
void note_partings(const Trie& trie, std::vector<ReachedNode>& hits);

}  // namespace quellnor::search
