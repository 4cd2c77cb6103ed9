// The split walk's two walks, and the merge of their hits.
#include "search/split_walk.hpp"

#include <algorithm>
#include <cstdint>

#include "search/capped_bit_rows.hpp"
#include "search/choose_walk.hpp"
#include "search/match_masks.hpp"
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

constexpr std::size_t kNoNode = SIZE_MAX;

// The way a text spells from the root, as far as it goes: the slot taken at
// each code point and the node it leads to. Where the trie's siblings are
// sorted it is the only way, and a walk that must spell the text may follow
// it; elsewhere several children may share a label and the first is taken,
// which only serves to weigh cuts.
class SpeltWay {
public:
    SpeltWay(const Trie& trie, std::u32string_view text) : only_way_(trie.sorted_siblings) {
        // Where slots follow nodes, the child is found without reading
        // child_transitions, as the walks find it.
        const auto child_in = [&](std::size_t slot) -> std::size_t {
            return trie.slots_follow_nodes ? slot + 1 : checked_at(trie.child_transitions, slot);
        };
        std::size_t node = 0;
        for (const char32_t label : text.substr(0, kBitRowsMaxQuery)) {
            const ChildRange range = trie.child_range(node);
            std::size_t slot = range.begin;
            char32_t found = 0;
            for (; slot < range.end; ++slot) {
                found = checked_at(trie.child_labels, child_in(slot));
                if (found == label || (only_way_ && found > label)) break;
            }
            // Past the end, or past where the label would sort: spelt nowhere.
            if (slot == range.end || found != label) return;
            node = child_in(slot);
            slots_[spelt_] = static_cast<std::uint32_t>(slot);
            nodes_[spelt_++] = static_cast<std::uint32_t>(node);
        }
    }

    // The node that spells the first `length` code points, or kNoNode.
    std::size_t node_after(std::size_t length) const {
        return length == 0 ? 0 : length <= spelt_ ? nodes_[length - 1] : kNoNode;
    }
    // Whether a walk that must spell the first `length` code points can
    // reach anything: only where this is the only way can a failed spelling
    // say not.
    bool may_reach(std::size_t length) const { return !only_way_ || length <= spelt_; }
    // The lead that spells the first `length` code points; none where this
    // is not the only way.
    Lead lead(std::size_t length) const {
        return only_way_ && length <= spelt_ ? Lead(slots_, length) : Lead();
    }

private:
    bool only_way_;
    std::size_t spelt_ = 0;
    std::uint32_t slots_[kBitRowsMaxQuery];
    std::uint32_t nodes_[kBitRowsMaxQuery];
};

// What a walk allowed one edit below `node` pays first: a row for each of
// its children and for each of theirs. In a tree numbered breadth first the
// grandchildren's runs follow one another, and are counted at once.
std::size_t spread_below(const Trie& trie, std::size_t node) {
    if (node == kNoNode) return 0;
    const ChildRange range = trie.child_range(node);
    if (range.begin == range.end) return 0;
    if (trie.breadth_first_tree) {
        const std::size_t last = range.end;  // slot s holds node s + 1
        return (range.end - range.begin) + (trie.child_range(last).end - trie.child_range(range.begin + 1).begin);
    }
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
// part of the reversed terms. So the middle and the cut on either side of it
// are weighed by those steps, and the lightest is taken (the middle where
// they tie). Cut after `head` code points, the walk of the index spells the
// first `head` and the reversed walk the last n - head - 1.
std::size_t cut_at_one_edit(const Trie& trie, const Trie& reversed, std::size_t n,
                            const SpeltWay& forward, const SpeltWay& backward) {
    const std::size_t middle = n / 2;
    if (n < 4) return middle;
    std::size_t best = middle, best_spread = SIZE_MAX;
    for (const std::size_t head : {middle, middle - 1, middle + 1}) {
        const std::size_t spread = spread_below(trie, forward.node_after(head)) +
                                   spread_below(reversed, backward.node_after(n - head - 1));
        if (spread < best_spread) best = head, best_spread = spread;
    }
    return best;
}

// Both walks, with rows of `Levels` words: at the threshold Levels - 1, the
// walk of the index may spend Levels - 2 edits before its cut (all but one),
// and the reversed walk none before its own, just past the index's cut. A
// walk that may spend none spells its part exactly: it follows that part's
// way, or is left out where the part is spelt nowhere.
// With `wanted`, the walk of the index reports in pre-order and stops at its
// wanted-th hit: the first `wanted` hits of both walks together all rank at
// or before that one, and the reversed walk keeps only those.
template <std::uint32_t Levels>
void walk_both_ways(const Trie& trie, const ReversedTerms& reversed, std::u32string_view query,
                    std::optional<std::size_t> wanted, bool spell, Budget& budget, SplitMatches& out) {
    const std::size_t n = query.size();
    CodePointBuffer buffer;
    char32_t* const backwards = buffer.room(n);
    std::reverse_copy(query.begin(), query.end(), backwards);
    // At one edit the cut is at most one past the middle, and the reversed
    // walk spells at most n - middle code points.
    const SpeltWay forward_way(trie, Levels == 2 ? query.substr(0, n / 2 + 1) : std::u32string_view());
    const SpeltWay backward_way(reversed.trie, {backwards, n - n / 2});
    const std::size_t head =
        Levels == 2 ? cut_at_one_edit(trie, reversed.trie, n, forward_way, backward_way) : n / 2;

    Collector<false> forward{trie, reversed, spell, budget, out};
    if (wanted.has_value()) forward.stop_after = std::max<std::size_t>(*wanted, 1);
    if (Levels > 2 || forward_way.may_reach(head)) {
        CappedBitRows<Levels> forward_rows(query, head, Levels - 2);
        walk_with(trie, forward_rows, budget, forward, Levels == 2 ? forward_way.lead(head) : Lead());
    }

    const std::size_t tail = n - head - 1;
    if (!backward_way.may_reach(tail)) return;
    CappedBitRows<Levels> backward_rows({backwards, n}, tail, 0);
    Collector<true> backward{reversed.trie, reversed, spell, budget, out};
    if (out.hits.size() >= forward.stop_after) backward.last_rank = out.hits.back().rank;
    walk_with(reversed.trie, backward_rows, budget, backward, backward_way.lead(tail));
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
