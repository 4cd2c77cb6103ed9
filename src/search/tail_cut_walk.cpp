// The tail-cut walk's two halves, and the merge of what they find.
#include "search/tail_cut_walk.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "search/capped_bit_rows.hpp"
#include "search/choose_walk.hpp"
#include "search/row_count.hpp"
#include "text/code_point_buffer.hpp"
#include "trie/tail_index.hpp"

namespace quellnor::search {

namespace {

// The shortest queries served, at one and two edits: below these there is
// too little of the query on either side of the cut to hold a walk back
// (on a word list of 348,000 words, a query of 5 code points at one edit
// visits half the nodes of the plain walk in the same time).
constexpr std::size_t kShortest[2] = {6, 6};

// The shortest head a cut leaves: the capped walk over a shorter one grows
// bushy.
constexpr std::size_t kShortestHead = 2;

// Nodes ending with the tail that a cut may leave, at one and two edits. A
// cut further left leaves a longer tail, fewer nodes to climb from and a
// head of the query that holds the capped walk back less: the cut taken is
// the one with the longest head that leaves no more than kFewTails; failing
// that, the one with the shortest head, unless it leaves more than
// kMostTails. Past that, climbing from each would cost about what the plain
// walk costs (one climb costs about five of its rows, and it computes some
// 1,500 to 3,000 and 10,000 to 22,000 rows for a query on a large word
// list), and the plain walk serves instead. Chosen so that on a word list of
// 348,000 words few queries took the walk 10 % longer than the plain walk
// (see README).
constexpr std::size_t kFewTails[2] = {32, 256};
constexpr std::size_t kMostTails[2] = {128, 1024};

// Where to cut `query`: its head's length, and the nodes that end with the
// rest. The cut with the shortest head is tried first: where even its tail
// ends too many nodes, every cut's does, and the plain walk is chosen after
// one search. The nodes a longer head leaves are found outwards from those
// of the cut before.
struct Cut {
    std::size_t head;
    TailRun run;
};

std::optional<Cut> choose_cut(const Trie& trie, const TailIndex& tails, std::u32string_view query,
                              std::uint32_t threshold) {
    const std::size_t few = kFewTails[threshold - 1], most = kMostTails[threshold - 1];
    const std::size_t middle = query.size() / 2;
    if (middle < kShortestHead) return std::nullopt;
    Cut cut{kShortestHead, tails.ending_with(trie, query.substr(kShortestHead))};
    if (cut.run.size() > most) return std::nullopt;
    for (std::size_t head = kShortestHead + 1; head <= middle && cut.run.size() <= few; ++head) {
        const TailRun wider = tails.widened(trie, query.substr(head), cut.run);
        if (wider.size() > few) break;
        cut = {head, wider};
    }
    return cut;
}

// What either half finds: a node at a distance, with its depth and rank.
struct Found {
    const TailIndex& tails;
    Budget& budget;
    std::vector<ReachedNode>& out;

    void take(std::size_t node, std::uint32_t distance, std::size_t depth) {
        budget.reserve(out, out.size() + 1);
        out.push_back({static_cast<std::uint32_t>(node), distance, static_cast<std::uint32_t>(depth),
                       checked_at(tails.rank, node), 0});
    }
};

// Takes the capped walk's hits.
struct Collector {
    Found& found;

    bool may_stop_early() const { return false; }
    bool wants(std::size_t) const { return true; }

    template <class Path>
    bool operator()(std::size_t node, std::uint32_t distance, const Path& spell_path) {
        found.take(node, distance, spell_path().size());
        return false;
    }
};

static_assert(Reporter<Collector>);

// Takes a node whose climb reached the root, if its row reaches the end of
// the head.
template <class Rows>
void take_climb(const Rows& rows, const typename Rows::Row& row, std::uint32_t node, std::size_t depth,
                Found& found) {
    if (rows.reaches_end(row)) found.take(node, rows.distance(row), depth);
}

// Climbs from each node of `run`, past the tail's labels, to the root, with
// rows of the head read backwards: a node whose path above the tail is
// within the threshold of the head is within it of the query. The rows die
// where the climb strays, mostly within a label or two.
template <class Rows>
void climb_from_tails(const Trie& trie, const TailIndex& tails, std::u32string_view query, std::size_t head,
                      TailRun run, Found& found) {
    CodePointBuffer buffer;
    char32_t* const backwards = buffer.room(head);
    std::reverse_copy(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(head), backwards);
    const Rows rows({backwards, head});
    const std::size_t tail = query.size() - head;
    // The climbs are independent of one another, and each step of one waits
    // on memory: a batch of them taken in step overlaps those waits.
    constexpr std::size_t kBatch = 16;
    std::uint32_t ups[kBatch], climbed[kBatch];
    typename Rows::Row row[kBatch];
    for (std::size_t at = run.first; at < run.last; at += kBatch) {
        const std::size_t count = std::min(kBatch, run.last - at);
        for (std::size_t j = 0; j < count; ++j) ups[j] = tails.by_tail[at + j];
        for (std::size_t i = 0; i < tail; ++i)
            for (std::size_t j = 0; j < count; ++j) ups[j] = tails.parent[ups[j]];
        // The climbing ones first in `live`; one that dies or reaches the
        // root swaps with the last climbing one.
        std::size_t live[kBatch], climbing = 0;
        for (std::size_t j = 0; j < count; ++j) {
            row[j] = rows.root_row();
            climbed[j] = 0;
            if (ups[j] != 0) live[climbing++] = j;
            else take_climb(rows, row[j], tails.by_tail[at + j], climbed[j] + tail, found);
        }
        while (climbing > 0) {
            for (std::size_t i = 0; i < climbing;) {
                const std::size_t j = live[i];
                count_rows(1);
                if (!rows.child_row(Rows::parent_of(row[j]), trie.child_labels[ups[j]], row[j])) {
                    live[i] = live[--climbing];
                    continue;
                }
                ++climbed[j];
                ups[j] = tails.parent[ups[j]];
                if (ups[j] == 0) {
                    take_climb(rows, row[j], tails.by_tail[at + j], climbed[j] + tail, found);
                    live[i] = live[--climbing];
                    continue;
                }
                ++i;
            }
        }
    }
}

// Both halves, with rows of `Levels` words: the threshold is Levels - 1.
template <std::uint32_t Levels, class Capped, class Rows>
void walk_cut(const Trie& trie, const TailIndex& tails, std::u32string_view query, Cut cut, Found& found) {
    Collector collect{found};
    Capped capped(query, cut.head, Levels - 2);
    walk_with(trie, capped, found.budget, collect);
    climb_from_tails<Rows>(trie, tails, query, cut.head, cut.run, found);
}

// Puts the hits in pre-order, each node once at its smaller distance.
void into_preorder(std::vector<ReachedNode>& hits) {
    std::sort(hits.begin(), hits.end(), [](const ReachedNode& a, const ReachedNode& b) {
        return a.rank != b.rank ? a.rank < b.rank : a.distance < b.distance;
    });
    const auto same_node = [](const ReachedNode& a, const ReachedNode& b) { return a.rank == b.rank; };
    hits.erase(std::unique(hits.begin(), hits.end(), same_node), hits.end());
}

}  // namespace

bool tail_cut_walk(const Trie& trie, std::u32string_view query, std::uint32_t threshold,
                   bool transpositions, Budget& budget, std::vector<ReachedNode>& out) {
    const std::size_t n = query.size();
    if ((threshold != 1 && threshold != 2) || n < kShortest[threshold - 1] || n > kBitRowsMaxQuery)
        return false;
    // A node labelled 0 is never entered; a query that holds 0 would let the
    // climb enter one.
    if (query.find(U'\0') != std::u32string_view::npos) return false;
    const TailIndex* const tails = trie.reversed.tails_of(trie);
    if (tails == nullptr) return false;
    const std::optional<Cut> cut = choose_cut(trie, *tails, query, threshold);
    if (!cut) return false;
    Found found{*tails, budget, out};
    if (threshold == 1 && transpositions)
        walk_cut<2, CappedOsaBitRows<2>, OsaBitRows<2>>(trie, *tails, query, *cut, found);
    else if (threshold == 1)
        walk_cut<2, CappedBitRows<2>, BitRows<2>>(trie, *tails, query, *cut, found);
    else if (transpositions)
        walk_cut<3, CappedOsaBitRows<3>, OsaBitRows<3>>(trie, *tails, query, *cut, found);
    else
        walk_cut<3, CappedBitRows<3>, BitRows<3>>(trie, *tails, query, *cut, found);
    into_preorder(out);
    return true;
}

void note_partings(const Trie& trie, std::vector<ReachedNode>& hits) {
    if (hits.empty()) return;
    const TailIndex* const tails = trie.reversed.tails_of(trie);
    if (tails == nullptr) throw Fault("hits of the tail-cut walk without a tail index");
    for (std::size_t i = 1; i < hits.size(); ++i)
        hits[i].parting = tails->shared_depth(hits[i - 1].node, hits[i - 1].depth, hits[i].node, hits[i].depth);
}

}  // namespace quellnor::search
