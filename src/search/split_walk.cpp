// The split walk's two walks, and the merge of their hits.
#include "search/split_walk.hpp"

#include <algorithm>
#include <cstdint>

#include "search/capped_bit_rows.hpp"
#include "search/choose_walk.hpp"
#include "text/code_point_buffer.hpp"
#include "trie/reversed_terms.hpp"

namespace quellnor::search {

namespace {

// The shortest queries the split walk serves, by threshold (1, 2) and by
// whether a limit may end the plain walk early. Below these the plain walk is
// about as narrow: there is too little of the query on either side of the
// cut to hold a walk back, and a query with many hits pays for finding most
// of them twice. A short query within a limit is answered by the plain walk
// depth first after its first few hits, long before the split walk has found
// them all. Chosen so that on a word list of 348,000 words no query of these
// lengths took the split walk more than 5 % longer than the plain walk
// (without a limit; with one, see README).
constexpr std::size_t kShortest[2][2] = {{4, 5}, {6, 8}};

constexpr std::uint32_t kNoRank = 0xFFFF'FFFFu;

// Collects the term ends one walk reaches. Walking the reversed terms, each
// stands for the node of the index that ends the same term, and its path is
// spelt backwards. Walking the index, it may stop after `stop_after` hits;
// walking the reversed terms, it drops hits ranked after `last_rank`.
template <bool Backwards>
struct Collector {
    const Trie& walked;
    const ReversedTerms& reversed;
    bool spell;
    Budget& budget;
    SplitMatches& out;
    std::size_t stop_after = SIZE_MAX;
    std::uint32_t last_rank = kNoRank;

    bool may_stop_early() const { return stop_after != SIZE_MAX; }
    bool wants(std::size_t node) const { return checked_at(walked.is_terminal, node) != 0; }

    template <class Path>
    bool operator()(std::size_t node, std::uint32_t distance, const Path& spell_path) {
        const std::uint32_t term = Backwards
                                       ? reversed.forward_node(static_cast<std::uint32_t>(node))
                                       : static_cast<std::uint32_t>(node);
        SplitHit hit{term, distance, checked_at(reversed.preorder_rank, term), 0, 0};
        if (hit.rank > last_rank) return false;
        if (spell) {
            const std::u32string_view path = spell_path();
            budget.reserve(out.paths, out.paths.size() + path.size());
            hit.path_begin = static_cast<std::uint32_t>(out.paths.size());
            hit.path_size = static_cast<std::uint32_t>(path.size());
            if constexpr (Backwards) out.paths.insert(out.paths.end(), path.rbegin(), path.rend());
            else out.paths.insert(out.paths.end(), path.begin(), path.end());
        }
        budget.reserve(out.hits, out.hits.size() + 1);
        out.hits.push_back(hit);
        return out.hits.size() >= stop_after;
    }
};

static_assert(Reporter<Collector<false>> && Reporter<Collector<true>>);

// Puts the hits in pre-order, each term once at its smaller distance.
void into_preorder(std::vector<SplitHit>& hits) {
    std::sort(hits.begin(), hits.end(), [](const SplitHit& a, const SplitHit& b) {
        return a.rank != b.rank ? a.rank < b.rank : a.distance < b.distance;
    });
    const auto same_term = [](const SplitHit& a, const SplitHit& b) { return a.rank == b.rank; };
    hits.erase(std::unique(hits.begin(), hits.end(), same_term), hits.end());
}

// What a walk allowed one edit below the node that `text` spells from the
// root pays first: a row for each child of that node and for each of their
// children. 0 where no such node is. Where several children share a label
// (a trie from another's arrays), the first is taken: this only weighs cuts.
std::size_t spread_below(const Trie& trie, std::u32string_view text) {
    std::size_t node = 0;
    for (const char32_t label : text) {
        const ChildRange range = trie.child_range(node);
        std::size_t slot = range.begin;
        while (slot < range.end && checked_at(trie.child_labels, checked_at(trie.child_transitions, slot)) != label)
            ++slot;
        if (slot == range.end) return 0;
        node = trie.child_transitions[slot];
    }
    const ChildRange range = trie.child_range(node);
    std::size_t spread = range.end - range.begin;
    for (std::size_t slot = range.begin; slot < range.end; ++slot) {
        const ChildRange below = trie.child_range(checked_at(trie.child_transitions, slot));
        spread += below.end - below.begin;
    }
    return spread;
}

// Where to cut a query at one edit. Any cut finds every term; the cost is in
// the two walks' first steps past what each must spell exactly, which differ
// widely: a possessive's last letters, "'s" backwards, lead into a large
// part of the reversed terms. So the cuts next to the middle are weighed by
// those steps, and the lightest is taken (the middle where they tie).
std::size_t cut_at_one_edit(const Trie& trie, const Trie& reversed, std::u32string_view query,
                            std::u32string_view backwards) {
    const std::size_t middle = query.size() / 2;
    std::size_t best = middle, best_spread = SIZE_MAX;
    for (const std::size_t head : {middle, middle - 1, middle + 1}) {
        if (head == 0 || head + 1 >= query.size()) continue;
        const std::size_t spread = spread_below(trie, query.substr(0, head)) +
                                   spread_below(reversed, backwards.substr(0, query.size() - head - 1));
        if (spread < best_spread) best = head, best_spread = spread;
    }
    return best;
}

// Both walks, with rows of `Levels` words: at the threshold Levels - 1, the
// walk of the index may spend Levels - 2 edits before its cut (all but one),
// and the reversed walk none before its own, just past the index's cut.
// With `wanted`, the walk of the index reports in pre-order and stops at its
// wanted-th hit: the first `wanted` hits of both walks together all rank at
// or before that one, and the reversed walk keeps only those.
template <std::uint32_t Levels>
void walk_both_ways(const Trie& trie, const ReversedTerms& reversed, std::u32string_view query,
                    std::optional<std::size_t> wanted, bool spell, Budget& budget, SplitMatches& out) {
    CodePointBuffer buffer;
    char32_t* const backwards = buffer.room(query.size());
    std::reverse_copy(query.begin(), query.end(), backwards);
    const std::size_t head = Levels == 2 ? cut_at_one_edit(trie, reversed.trie, query, {backwards, query.size()})
                                         : query.size() / 2;
    CappedBitRows<Levels> forward_rows(query, head, Levels - 2);
    Collector<false> forward{trie, reversed, spell, budget, out};
    if (wanted.has_value()) forward.stop_after = std::max<std::size_t>(*wanted, 1);
    walk_with(trie, forward_rows, budget, forward);

    CappedBitRows<Levels> backward_rows({backwards, query.size()}, query.size() - head - 1, 0);
    Collector<true> backward{reversed.trie, reversed, spell, budget, out};
    if (out.hits.size() >= forward.stop_after) backward.last_rank = out.hits.back().rank;
    walk_with(reversed.trie, backward_rows, budget, backward);
}

}  // namespace

bool split_walk_serves(std::size_t length, std::uint32_t max_dist, bool limited) {
    return (max_dist == 1 || max_dist == 2) && length >= kShortest[max_dist - 1][limited ? 1 : 0] &&
           length <= kBitRowsMaxQuery;
}

bool split_walk(const Trie& trie, std::u32string_view query, std::uint32_t max_dist,
                std::optional<std::size_t> wanted, bool spell, Budget& budget, SplitMatches& out) {
    if (!split_walk_serves(query.size(), max_dist, wanted.has_value())) return false;
    const ReversedTerms* const reversed = trie.reversed.of(trie);
    if (reversed == nullptr) return false;
    if (max_dist == 1) walk_both_ways<2>(trie, *reversed, query, wanted, spell, budget, out);
    else walk_both_ways<3>(trie, *reversed, query, wanted, spell, budget, out);
    into_preorder(out.hits);
    return true;
}

}  // namespace quellnor::search
