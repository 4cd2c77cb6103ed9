// The split walk: the terms within one or two edits of a query, found by two
// narrow walks instead of one wide one.
//
// Cut the query after its first `head` code points. Any alignment of a term
// with the query spends some edits up to the cut and the rest after it. At
// one edit, either none falls before the cut, or none after it; at two, at
// most one before, or none after. So one walk of the index whose rows allow
// no more than that before the cut (CappedBitRows), and one walk of the
// reversed terms with the reversed query whose rows allow nothing before its
// own cut, between them find every term within the threshold, and one of
// them at its true distance. Neither is bushy at the top, where the plain
// walk computes a row for nearly every short prefix: each must spell the
// start of its query (nearly) exactly before it may branch out.
//
// A term may be found by both walks: it keeps the smaller distance. The hits
// are then put in the index's pre-order, as the plain walk reports them.
//
// Given a limit, only the first few hits in pre-order are wanted. The walk of
// the index goes depth first, in pre-order, and stops at its limit-th hit,
// as the plain walk does: what lies past that hit cannot be among the first
// few. The reversed walk cannot be ordered so, but keeps only what comes
// before it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "search/budget.hpp"
#include "trie/trie.hpp"

namespace quellnor::search {

struct SplitHit {
    std::uint32_t node;
    std::uint32_t distance;
    std::uint32_t rank;        // the node's place in pre-order
    std::uint32_t path_begin;  // its term in SplitMatches::paths, when spelt
    std::uint32_t path_size;
};

struct SplitMatches {
    std::vector<SplitHit> hits;  // one per term, in pre-order
    std::vector<char32_t> paths;

    std::u32string_view path(const SplitHit& hit) const {
        return {paths.data() + hit.path_begin, hit.path_size};
    }
};

// Whether the split walk serves a query of `length` code points at
// `max_dist`, `limited` when the caller wants only the first hits: small
// thresholds, and queries long enough for the cut to pay and short enough
// for bit rows.
bool split_walk_serves(std::size_t length, std::uint32_t max_dist, bool limited);

// The terms of `trie` within `max_dist` edits of `query` (Levenshtein), each
// at its distance, in pre-order, and with `spell` their spellings too; with
// `wanted`, at least the first `wanted` of them (and every one when there are
// fewer), and perhaps more. False, having found nothing, where the split walk
// does not serve: a threshold or query it does not take, or a trie without
// reversed terms.
bool split_walk(const Trie& trie, std::u32string_view query, std::uint32_t max_dist,
                std::optional<std::size_t> wanted, bool spell, Budget& budget, SplitMatches& out);

}  // namespace quellnor::search
