// The walk by levels: the same hits in the same order as the depth-first
// walk, for tries numbered breadth first and walks that run to the end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "progress.hpp"
#include "search/budget.hpp"
#include "search/lead.hpp"
#include "search/lent_vector.hpp"
#include "search/reporter.hpp"
#include "search/row_count.hpp"
#include "search/rows.hpp"
#include "text/code_point_buffer.hpp"
#include "trie/trie.hpp"

namespace quellnor::search {

// Survivors of one walk by levels: the node, the index of its parent's
// survivor, the node's run of slots, and its row.
template <LevelRows Rows>
struct Survivor {
    Survivor() {}  // room is made ahead of the scan, without clearing it
    std::uint32_t node;
    std::uint32_t parent;
    std::uint32_t run_begin;
    std::uint32_t run_end;
    typename Rows::Row row;
};

// The survivors of a walk by levels in the order they are found, so each
// level follows the one above it. Room for a node's whole run is made before
// the run is scanned, so that the scan itself writes without checks.
//
// The memory stays with the process from one walk to the next. A fresh
// block per walk, once it is large, comes from the kernel page by page, and
// those faults cost more than the walk itself; a block beyond kKeptBytes is
// given back when its walk ends. Walks never nest, and run one at a time
// under the interpreter lock, so one block does.
//
// A depth-first walk holds one row per depth; this one holds every survivor.
// Past kMostSurvivors it makes no more room, and the walk gives up for the
// depth-first one, so that no query needs more memory than it used to.
template <LevelRows Rows>
class SurvivorLog {
public:
    explicit SurvivorLog(Budget& budget) : budget_(budget), entries_(lent_.get()) {
        room_for(kFirstRoom);
    }
    ~SurvivorLog() {
        budget_.refund(charged_);
        if (entries_.capacity() > kKeptBytes / sizeof(Survivor<Rows>))
            std::vector<Survivor<Rows>>().swap(entries_);
    }
    SurvivorLog(const SurvivorLog&) = delete;
    SurvivorLog& operator=(const SurvivorLog&) = delete;

    std::size_t size() const { return count_; }
    const Survivor<Rows>& operator[](std::size_t i) const { return entries_[i]; }
    Survivor<Rows>& operator[](std::size_t i) { return entries_[i]; }

    // Where the next `more` survivors go; the caller fills some of them and
    // then hands back the end of what it filled. Null past kMostSurvivors.
    Survivor<Rows>* room_for(std::size_t more) {
        if (more > entries_.size() - count_) [[unlikely]] {
            if (more > kMostSurvivors - count_) return nullptr;
            const std::size_t old_capacity = entries_.capacity();
            budget_.reserve(entries_, count_ + more);
            charged_ += Budget::growth(entries_, old_capacity);
            entries_.resize(entries_.capacity());
        }
        return entries_.data() + count_;
    }
    void filled_up_to(const Survivor<Rows>* end) { count_ = index_of(end); }

    std::uint32_t index_of(const Survivor<Rows>* at) const {
        return static_cast<std::uint32_t>(at - entries_.data());
    }

private:
    // Enough for most queries at small thresholds, so that they never grow.
    static constexpr std::size_t kFirstRoom = 1024;
    static constexpr std::size_t kKeptBytes = std::size_t{1} << 20;
    // Some 50 times what a query at distance 2 needs on a large index.
    static constexpr std::size_t kMostSurvivors = std::size_t{1} << 18;

    Budget& budget_;
    LentVector<Survivor<Rows>> lent_;
    std::vector<Survivor<Rows>>& entries_;
    std::size_t count_ = 0;
    std::size_t charged_ = 0;  // to the budget, by growing entries_
};

// A survivor whose path reaches the end of the query, with its depth.
struct LevelHit {
    std::uint32_t survivor;
    std::uint32_t depth;
};

// Hits as a walk by levels finds them: one run per level, each in pre-order.
struct LevelHits {
    std::vector<LevelHit> hits;
    std::vector<std::size_t> run_ends;

    void end_level() {
        if (hits.size() > (run_ends.empty() ? 0 : run_ends.back())) run_ends.push_back(hits.size());
    }
};

// Merges the runs into pre-order, pairwise so that each hit takes part in a
// few merges only. Two hits are compared through their ancestors at the
// shallower one's depth: within one level, survivors come in pre-order (the
// trie is a tree numbered breadth first, and each level is scanned in node
// order), and an ancestor precedes what lies below it.
template <LevelRows Rows>
void merge_into_preorder(LevelHits& found, const SurvivorLog<Rows>& survivors) {
    const auto precedes = [&](const LevelHit& a, const LevelHit& b) {
        std::uint32_t x = a.survivor;
        std::uint32_t y = b.survivor;
        for (std::uint32_t d = a.depth; d > b.depth; --d) x = survivors[x].parent;
        for (std::uint32_t d = b.depth; d > a.depth; --d) y = survivors[y].parent;
        if (x != y) return x < y;
        return a.depth < b.depth;
    };
    std::vector<std::size_t>& ends = found.run_ends;
    const auto at = [&](std::size_t offset) {
        return found.hits.begin() + static_cast<std::ptrdiff_t>(offset);
    };
    while (ends.size() > 1) {
        std::size_t merged = 0;
        std::size_t begin = 0;
        for (std::size_t r = 0; r < ends.size(); r += 2) {
            if (r + 1 < ends.size())
                std::inplace_merge(at(begin), at(ends[r]), at(ends[r + 1]), precedes);
            const std::size_t end = ends[std::min(r + 1, ends.size() - 1)];
            ends[merged++] = end;
            begin = end;
        }
        ends.resize(merged);
    }
}

// Reports the hits in pre-order, each with its path.
template <LevelRows Rows, Reporter Report>
void report_in_preorder(LevelHits& found, const SurvivorLog<Rows>& survivors, const Rows& rows,
                        const Trie& trie, Report& report) {
    merge_into_preorder(found, survivors);
    CodePointBuffer labels;
    Progress progress;
    for (const LevelHit& hit : found.hits) {
        progress.advance(hit.depth + 1);
        const auto path = [&]() -> std::u32string_view {
            char32_t* const spelt = labels.room(hit.depth);
            for (std::uint32_t at = hit.survivor, d = hit.depth; d > 0; at = survivors[at].parent)
                spelt[--d] = trie.child_labels[survivors[at].node];
            return {spelt, hit.depth};
        };
        const Survivor<Rows>& reached = survivors[hit.survivor];
        if (report(reached.node, rows.distance(reached.row), path)) return;
    }
}

// The same walk breadth first, for tries numbered breadth first and walks
// that run to the end. A depth-first walk must wait for each node's child
// run to arrive from memory before it can go on, one dependent load after
// another; here a whole level of survivors is scanned in node order, and
// their runs, independent of one another, are fetched together. Hits come
// out level by level and are put into pre-order before they are reported. In
// a tree every node is reached at most once, so the survivors are bounded by
// the trie's size (and by the budget); its checked shape keeps every read
// below in bounds.
// False, having reported nothing, when the survivors grow too many. A
// `lead` narrows the levels above its end to one survivor each.
// Kept out of line, and on a cache line of its own: inlined beside the
// depth-first walk where the rows are chosen, or starting 48 bytes into a
// line, its scan ran 5 to 8 % slower at distance 1.
template <LevelRows Rows, Reporter Report>
[[gnu::noinline, gnu::aligned(64)]] bool walk_by_levels(const Trie& trie, const Rows& rows,
                                                        Budget& budget, Report& report,
                                                        Lead lead = {}) {
    const std::span<const char32_t> labels(trie.child_labels);
    const std::span<const std::uint32_t> shifts(trie.node_shifts);
    const std::size_t slots = trie.child_transitions.size();
    SurvivorLog<Rows> survivors(budget);
    LevelHits found;
    Progress progress;
    // A survivor's run is read as soon as it is found, and what the scan of
    // the run reads is fetched then, a whole level before it is scanned: the
    // children's labels, and for those that survive their own runs and term
    // ends. Slot s holds node s + 1, so all three start at the same index.
    const std::uint8_t* const term_ends = trie.is_terminal.data();
    const auto find_run = [&](Survivor<Rows>& survivor, std::size_t node) {
        survivor.node = static_cast<std::uint32_t>(node);
        survivor.run_begin = shifts[node];
        survivor.run_end = node + 1 < shifts.size() ? shifts[node + 1]
                                                    : static_cast<std::uint32_t>(slots);
        const std::size_t first_child = survivor.run_begin + 1;
        __builtin_prefetch(labels.data() + first_child);
        __builtin_prefetch(shifts.data() + first_child);
        __builtin_prefetch(term_ends + first_child);
    };

    Survivor<Rows>* root = survivors.room_for(1);
    find_run(*root, 0);
    root->parent = 0;
    root->row = rows.root_row();
    survivors.filled_up_to(root + 1);

    std::uint32_t depth = 0;  // of the level being scanned
    for (std::size_t level = 0; level < survivors.size(); ++depth) {
        const std::size_t level_end = survivors.size();
        if (depth < lead.size()) {  // a level of one survivor, on the lead
            survivors[level].run_begin = lead[depth];
            survivors[level].run_end = lead[depth] + 1;
        }
        for (std::size_t i = level; i < level_end; ++i) {
            const ChildRange run{survivors[i].run_begin, survivors[i].run_end};
            progress.advance(run.end - run.begin + 1);
            count_rows(run.end - run.begin);
            Survivor<Rows>* out = survivors.room_for(run.end - run.begin);
            if (out == nullptr) return false;
            const auto parent = Rows::parent_of(survivors[i].row);
            for (std::size_t slot = run.begin; slot < run.end; ++slot) {
                if (!rows.child_row(parent, labels[slot + 1], out->row)) [[likely]]
                    continue;
                find_run(*out, slot + 1);
                out->parent = static_cast<std::uint32_t>(i);
                if (rows.reaches_end(out->row) && report.wants(slot + 1)) [[unlikely]] {
                    budget.reserve(found.hits, found.hits.size() + 1);
                    found.hits.push_back({survivors.index_of(out), depth + 1});
                }
                ++out;
            }
            survivors.filled_up_to(out);
        }
        found.end_level();
        level = level_end;
    }
    report_in_preorder(found, survivors, rows, trie, report);
    return true;
}

}  // namespace quellnor::search
