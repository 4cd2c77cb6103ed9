// The walks behind both matchers. The depth-first walk serves any trie: it
// keeps one edit-distance row per depth and an explicit stack instead of
// recursion, so a trie decoded from corrupt bytes (arbitrarily deep, or even
// cyclic) can only end in a result, an index fault or std::bad_alloc, never in
// a blown native stack. Tries laid out as IndexBuilder lays them out are
// walked by levels instead, when the walk runs to its end: faster, and the
// same hits in the same order.
#include "search/matcher.hpp"

#include <algorithm>
#include <new>
#include <span>

#include "text/utf8.hpp"

namespace quellnor {

namespace {

// Ceiling on what one walk may hold: its rows and stack, and the hits it
// collects. Legitimate queries stay far below it; a cyclic trie with a huge
// max_dist reaches it quickly and fails with MemoryError instead of taking the
// machine with it. It also keeps every cell below 2^28: no depth or query
// length that fits in the budget can make 32-bit cell arithmetic wrap.
constexpr std::size_t kWalkBudget = std::size_t{512} << 20;

class Budget {
public:
    // Makes room for `needed` elements in `v`, growing geometrically so that
    // the walk reallocates only O(log depth) times, never per node.
    template <class T>
    void reserve(std::vector<T>& v, std::size_t needed) {
        if (needed > v.capacity()) [[unlikely]]
            grow(v, needed);
    }

    // Accounts for memory held outside the tracked vectors (result strings).
    void charge(std::size_t bytes) {
        if (bytes > kWalkBudget - used_) throw std::bad_alloc();
        used_ += bytes;
    }

    // Gives back what a walk that was abandoned had charged.
    void refund(std::size_t bytes) { used_ -= std::min(bytes, used_); }

    // What `v` grew by, in bytes, since it had `old_capacity` elements.
    template <class T>
    static std::size_t growth(const std::vector<T>& v, std::size_t old_capacity) {
        return (v.capacity() - old_capacity) * sizeof(T);
    }

private:
    template <class T>
    [[gnu::noinline]] void grow(std::vector<T>& v, std::size_t needed) {
        const std::size_t old_cap = v.capacity();
        // The largest capacity that keeps the whole walk inside the budget.
        const std::size_t affordable = (kWalkBudget - used_) / sizeof(T) + old_cap;
        if (needed > affordable) throw std::bad_alloc();
        const std::size_t cap =
            std::min(std::max({needed, 2 * old_cap, kFirstCapacity}), affordable);
        v.reserve(cap);
        used_ += (cap - old_cap) * sizeof(T);
    }

    // A vector's first block holds a few elements at once: a query with a
    // handful of hits then grows each of its vectors once, not three times.
    static constexpr std::size_t kFirstCapacity = 8;

    std::size_t used_ = 0;
};

// Distance rows as plain 32-bit cells, one row of n + 1 cells per depth. Works
// for any query length and any threshold; rows appear as the walk first
// reaches a depth, so memory follows the depth actually reached.
class CellRows {
public:
    CellRows(std::u32string_view query, std::uint32_t max_dist, Budget& budget)
        : query_(query), max_dist_(max_dist), width_(query.size() + 1), budget_(budget) {
        budget_.reserve(cells_, width_);
        cells_.resize(width_);
        for (std::size_t j = 0; j < width_; ++j) cells_[j] = static_cast<std::uint32_t>(j);
    }

    // Nothing is prepared per parent: each row is computed from the one above.
    struct Parent {};
    Parent parent(std::size_t) const { return {}; }

    // Computes the row one label below `depth`; false when its minimum is
    // beyond the threshold, so the branch can be pruned.
    bool descend(const Parent&, std::size_t depth, char32_t label) {
        if (label == U'\0') return false;  // a node without a label is never entered
        const std::size_t cur_at = (depth + 1) * width_;
        if (cells_.size() < cur_at + width_) [[unlikely]] {
            budget_.reserve(cells_, cur_at + width_);
            cells_.resize(cur_at + width_);
        }
        cur_ = cells_.data() + cur_at;
        const std::uint32_t* prev = cur_ - width_;
        std::uint32_t left = static_cast<std::uint32_t>(depth + 1);
        std::uint32_t best = left;
        cur_[0] = left;
        for (std::size_t j = 1; j < width_; ++j) {
            std::uint32_t cell = prev[j - 1] + (query_[j - 1] == label ? 0u : 1u);
            cell = std::min(cell, prev[j] + 1);
            cell = std::min(cell, left + 1);
            cur_[j] = cell;
            left = cell;
            best = std::min(best, cell);
        }
        return best <= max_dist_;
    }

    // Whether the whole query lies within the threshold of the row's path,
    // and at what distance.
    bool reaches_end() const { return cur_[width_ - 1] <= max_dist_; }
    std::uint32_t distance() const { return cur_[width_ - 1]; }

private:
    std::u32string_view query_;
    std::uint32_t max_dist_;
    std::size_t width_;
    Budget& budget_;
    std::vector<std::uint32_t> cells_;
    std::uint32_t* cur_ = nullptr;
};

// Distance rows as bit sets: word k of a row has bit j set when the distance
// to the query's first j code points is at most k. A row is max_dist + 1
// words, each computed from the row above in a handful of word operations,
// and a branch dies when word max_dist is empty. Needs n + 1 <= 64 bits. The
// number of words is a template argument so that a row is computed in
// straight-line code.
constexpr std::size_t kBitRowsMaxQuery = 63;
constexpr std::uint32_t kBitRowsMaxDist = 7;

template <std::uint32_t Levels>
class BitRows {
public:
    static constexpr std::size_t kMaxQuery = kBitRowsMaxQuery;
    static_assert(Levels >= 1 && Levels <= kBitRowsMaxDist + 1);

    explicit BitRows(std::u32string_view query)
        : last_bit_(std::uint64_t{1} << query.size()),
          full_(last_bit_ | (last_bit_ - 1)),
          // Depth is bounded: a row at depth r has no cell below r - n.
          words_used_((query.size() + Levels + 1) * Levels) {
        for (std::size_t j = 0; j < query.size(); ++j) {
            const char32_t c = query[j];
            const std::uint64_t bit = std::uint64_t{2} << j;
            if (c < kAscii) ascii_masks_[c] |= bit;
            else other_masks_[other_index(c)] |= bit;
        }
        for (std::size_t k = 0; k < Levels; ++k) {
            words_[k] = k >= query.size() ? full_ : (std::uint64_t{2} << k) - 1;
        }
    }

    using Row = std::uint64_t[Levels];

    // The row of the empty path, at the root.
    const std::uint64_t* root_row() const { return words_; }

    // What every child of one node needs from the node's row, worked out once
    // for all its children: the row's words moved on by one column, and the
    // part of each word that comes from the word below it (insertions and
    // substitutions), which does not depend on the child's label.
    struct Parent {
        std::uint64_t shifted[Levels];
        std::uint64_t from_below[Levels];
    };

    [[gnu::always_inline]] Parent parent(std::size_t depth) const {
        return parent_of(words_ + depth * Levels);
    }

    [[gnu::always_inline]] static Parent parent_of(const std::uint64_t* row) {
        Parent p;
        p.shifted[0] = row[0] << 1;
        p.from_below[0] = 0;
        for (std::size_t k = 1; k < Levels; ++k) {
            p.shifted[k] = row[k] << 1;
            p.from_below[k] = (row[k - 1] << 1) | row[k - 1];
        }
        return p;
    }

    // The row one label below the parent's, computed in registers; false
    // when the branch dies there, as most do. Bits above the query's length
    // may hold garbage: shifts only carry it further up, so it is masked off
    // once, at the test.
    [[gnu::always_inline]] bool child_row(const Parent& p, char32_t label, Row& row) const {
        std::uint64_t match = 0;
        // Labels 1 to 127 in one test: U+0000 wraps around to the other side.
        if (label - 1 < kAscii - 1) [[likely]] {
            match = ascii_masks_[label];
        } else {
            if (label == U'\0') return false;  // a node without a label is never entered
            match = other_mask(label);
        }
        row[0] = p.shifted[0] & match;
        for (std::size_t k = 1; k < Levels; ++k)
            row[k] = (p.shifted[k] & match) | p.from_below[k] | (row[k - 1] << 1);
        return (row[Levels - 1] & full_) != 0;
    }

    // The depth-first walk keeps one row per depth, stored only when it
    // survives.
    [[gnu::always_inline]] bool descend(const Parent& p, std::size_t depth, char32_t label) {
        Row row;
        if (!child_row(p, label, row)) return false;
        const std::size_t cur_at = (depth + 1) * Levels;
        if (cur_at + Levels > words_used_) [[unlikely]]
            throw Fault("distance rows deeper than the threshold allows");
        cur_ = words_ + cur_at;
        for (std::size_t k = 0; k < Levels; ++k) cur_[k] = row[k];
        return true;
    }

    bool reaches_end() const { return reaches_end(cur_); }
    std::uint32_t distance() const { return distance(cur_); }

    bool reaches_end(const std::uint64_t* row) const { return (row[Levels - 1] & last_bit_) != 0; }
    // The smallest level whose word holds the last bit.
    std::uint32_t distance(const std::uint64_t* row) const {
        std::uint32_t k = 0;
        while ((row[k] & last_bit_) == 0) ++k;
        return k;
    }

private:
    static constexpr char32_t kAscii = 128;

    std::uint64_t other_mask(char32_t label) const {
        for (std::size_t i = 0; i < other_count_; ++i)
            if (other_chars_[i] == label) return other_masks_[i];
        return 0;
    }

    std::size_t other_index(char32_t c) {
        for (std::size_t i = 0; i < other_count_; ++i)
            if (other_chars_[i] == c) return i;
        other_chars_[other_count_] = c;
        return other_count_++;
    }

    std::uint64_t last_bit_;
    std::uint64_t full_;
    std::uint64_t ascii_masks_[kAscii] = {};
    char32_t other_chars_[kMaxQuery] = {};
    std::uint64_t other_masks_[kMaxQuery] = {};
    std::size_t other_count_ = 0;
    // One row per depth the walk can reach, in place rather than on the
    // heap: at most a few KiB, and a short query would otherwise spend a
    // noticeable part of its time allocating them. Each row is written
    // before it is read.
    std::size_t words_used_;
    std::uint64_t words_[(kMaxQuery + Levels + 1) * Levels];
    std::uint64_t* cur_ = nullptr;
};

struct Frame {
    std::size_t next;  // next slot of child_transitions to visit
    std::size_t end;
    char32_t label;    // of the edge into the node whose children these are
};

// In a tree every slot is entered at most once per walk. A trie from corrupt
// bytes may share subtrees or loop, and the number of paths through it can
// grow exponentially with depth: past this many slot visits the structure is
// certainly not a tree, and the walk ends as a fault instead of running for
// ever.
std::size_t visit_allowance(const Trie& trie) {
    return 8 * std::max(trie.child_transitions.size(), trie.child_labels.size()) + (1u << 20);
}

// The frames of the walk, one per node whose children are being tried. Kept
// as a plain array with its own top so that a push is a store, not a call.
class FrameStack {
public:
    explicit FrameStack(Budget& budget) : budget_(budget) { grow(16); }

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    Frame& top() { return frames_[size_ - 1]; }
    void pop() { --size_; }
    void push(ChildRange range, char32_t label) {
        if (size_ == frames_.size()) [[unlikely]]
            grow(size_ + 1);
        frames_[size_++] = {range.begin, range.end, label};
    }
    // The labels from the root to the top frame's node, then `last`: every
    // frame below the root's holds the label into its node. Spelled out only
    // when a reporter asks, as the walk may report every node it enters.
    auto path_to(char32_t last) {
        return [this, last]() -> std::u32string_view {
            char32_t* const spelt = path_.room(size_);
            for (std::size_t f = 1; f < size_; ++f) spelt[f - 1] = frames_[f].label;
            spelt[size_ - 1] = last;
            return std::u32string_view(spelt, size_);
        };
    }

private:
    [[gnu::noinline]] void grow(std::size_t needed) {
        budget_.reserve(frames_, needed);
        frames_.resize(frames_.capacity());
    }

    Budget& budget_;
    std::vector<Frame> frames_;
    std::size_t size_ = 0;
    CodePointBuffer path_;  // as long as the stack is deep, which the budget bounds
};

// Walks the trie in pre-order, calling `report(node, distance, path)` for
// every entered node whose full distance is within the threshold and that
// `report.wants(node)`; `path()` gives the labels that spell the way to it.
// A reporter returning true stops the walk at once. With SlotsFollowNodes the
// child in slot s is node s + 1 (the trie says so), and child_transitions is
// only bounds-checked, never read.
template <bool SlotsFollowNodes, class Rows, class Reporter>
void walk(const Trie& trie, Rows& rows, Budget& budget, Reporter& report) {
    const ChildRange root = trie.child_range(0);
    if (root.empty()) return;

    // Local views, so that the loop below keeps the arrays' bounds in registers.
    const std::span<const std::uint32_t> transitions(trie.child_transitions);
    const std::span<const char32_t> labels(trie.child_labels);
    // Every slot below this holds a child (node slot + 1) that has a label.
    const std::size_t first_slot_needing_checks =
        std::min(transitions.size(), labels.empty() ? 0 : labels.size() - 1);
    FrameStack stack(budget);
    std::size_t visits_left = visit_allowance(trie);
    const auto enter = [&](ChildRange range, char32_t label) {
        // Slots are counted as their frame is pushed: one check per node
        // instead of one per slot.
        const std::size_t slots = range.end - range.begin;
        if (slots > visits_left) [[unlikely]]
            throw Fault("the trie is not a tree: its walk revisits nodes without end");
        visits_left -= slots;
        stack.push(range, label);
    };
    enter(root, U'\0');

    while (!stack.empty()) {
        Frame& top = stack.top();
        const std::size_t depth = stack.size() - 1;  // labels above the children

        // Siblings are tried in one tight loop until one survives pruning;
        // most do not, and they sit next to each other in the arrays.
        std::size_t child = 0;
        char32_t label = 0;
        bool survived = false;
        std::size_t next = top.next;
        const typename Rows::Parent parent = rows.parent(depth);
        if constexpr (SlotsFollowNodes) {
            // Below `clear` both the slot and its child exist, so the common
            // case runs without bounds checks; the checked loop after it
            // meets any slot beyond, in order.
            const std::size_t clear = std::min(top.end, first_slot_needing_checks);
            while (next < clear) {
                label = labels[next + 1];
                if (rows.descend(parent, depth, label)) [[unlikely]] {
                    child = ++next;
                    survived = true;
                    break;
                }
                ++next;
            }
        }
        while (!survived && next < top.end) {
            child = checked_at(transitions, next);
            if constexpr (SlotsFollowNodes) child = next + 1;
            ++next;
            label = checked_at(labels, child);
            survived = rows.descend(parent, depth, label);
        }
        top.next = next;
        if (!survived) {
            stack.pop();
            continue;
        }

        if (rows.reaches_end() && report.wants(child)) {
            if (report(child, rows.distance(), stack.path_to(label))) return;
        }

        const ChildRange below = trie.child_range(child);
        if (below.empty()) continue;
        if constexpr (SlotsFollowNodes) {
            // The children's labels and ranges are read next, at known places:
            // start fetching them while the frame is set up.
            if (below.begin + 1 < std::min(labels.size(), trie.node_shifts.size())) {
                __builtin_prefetch(&labels[below.begin + 1]);
                __builtin_prefetch(&trie.node_shifts[below.begin + 1]);
            }
        }
        enter(below, label);  // invalidates `top`
    }
}

template <class Rows, class Reporter>
void walk(const Trie& trie, Rows& rows, Budget& budget, Reporter& report) {
    if (trie.slots_follow_nodes)
        walk<true>(trie, rows, budget, report);
    else
        walk<false>(trie, rows, budget, report);
}

// Survivors of one walk by levels: the node, the index of its parent's
// survivor, the node's run of slots, and its row.
template <std::uint32_t Levels>
struct Survivor {
    Survivor() {}  // room is made ahead of the scan, without clearing it
    std::uint32_t node;
    std::uint32_t parent;
    std::uint32_t run_begin;
    std::uint32_t run_end;
    typename BitRows<Levels>::Row row;
};

// The survivors of a walk by levels in the order they are found, so each
// level follows the one above it. Room for a node's whole run is made before
// the run is scanned, so that the scan itself writes without checks.
//
// The memory stays with the thread from one walk to the next. A fresh block
// per walk, once it is large, comes from the kernel page by page, and those
// faults cost more than the walk itself; a block beyond kKeptBytes is given
// back when its walk ends. Walks never nest, so one block per thread does.
//
// A depth-first walk holds one row per depth; this one holds every survivor.
// Past kMostSurvivors it makes no more room, and the walk gives up for the
// depth-first one, so that no query needs more memory than it used to.
template <std::uint32_t Levels>
class SurvivorLog {
public:
    explicit SurvivorLog(Budget& budget) : budget_(budget), entries_(kept_entries()) {
        room_for(kFirstRoom);
    }
    ~SurvivorLog() {
        budget_.refund(charged_);
        if (entries_.capacity() > kKeptBytes / sizeof(Survivor<Levels>))
            std::vector<Survivor<Levels>>().swap(entries_);
    }
    SurvivorLog(const SurvivorLog&) = delete;
    SurvivorLog& operator=(const SurvivorLog&) = delete;

    std::size_t size() const { return count_; }
    const Survivor<Levels>& operator[](std::size_t i) const { return entries_[i]; }

    // Where the next `more` survivors go; the caller fills some of them and
    // then hands back the end of what it filled. Null past kMostSurvivors.
    Survivor<Levels>* room_for(std::size_t more) {
        if (more > entries_.size() - count_) [[unlikely]] {
            if (more > kMostSurvivors - count_) return nullptr;
            const std::size_t old_capacity = entries_.capacity();
            budget_.reserve(entries_, count_ + more);
            charged_ += Budget::growth(entries_, old_capacity);
            entries_.resize(entries_.capacity());
        }
        return entries_.data() + count_;
    }
    void filled_up_to(const Survivor<Levels>* end) { count_ = index_of(end); }

    std::uint32_t index_of(const Survivor<Levels>* at) const {
        return static_cast<std::uint32_t>(at - entries_.data());
    }

private:
    // Enough for most queries at small thresholds, so that they never grow.
    static constexpr std::size_t kFirstRoom = 1024;
    static constexpr std::size_t kKeptBytes = std::size_t{1} << 20;
    // Some 50 times what a query at distance 2 needs on a large index.
    static constexpr std::size_t kMostSurvivors = std::size_t{1} << 18;

    static std::vector<Survivor<Levels>>& kept_entries() {
        thread_local std::vector<Survivor<Levels>> entries;
        return entries;
    }

    Budget& budget_;
    std::vector<Survivor<Levels>>& entries_;
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
template <std::uint32_t Levels>
void merge_into_preorder(LevelHits& found, const SurvivorLog<Levels>& survivors) {
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
template <std::uint32_t Levels, class Reporter>
void report_in_preorder(LevelHits& found, const SurvivorLog<Levels>& survivors,
                        const BitRows<Levels>& rows, const Trie& trie, Reporter& report) {
    merge_into_preorder(found, survivors);
    CodePointBuffer labels;
    for (const LevelHit& hit : found.hits) {
        const auto path = [&]() -> std::u32string_view {
            char32_t* const spelt = labels.room(hit.depth);
            for (std::uint32_t at = hit.survivor, d = hit.depth; d > 0; at = survivors[at].parent)
                spelt[--d] = trie.child_labels[survivors[at].node];
            return {spelt, hit.depth};
        };
        const Survivor<Levels>& reached = survivors[hit.survivor];
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
// False, having reported nothing, when the survivors grow too many.
template <std::uint32_t Levels, class Reporter>
bool walk_by_levels(const Trie& trie, const BitRows<Levels>& rows, Budget& budget,
                    Reporter& report) {
    const std::span<const char32_t> labels(trie.child_labels);
    const std::span<const std::uint32_t> shifts(trie.node_shifts);
    const std::size_t slots = trie.child_transitions.size();
    SurvivorLog<Levels> survivors(budget);
    LevelHits found;
    // A survivor's run is read as soon as it is found, and what the scan of
    // the run reads is fetched then, a whole level before it is scanned: the
    // children's labels, and for those that survive their own runs and term
    // ends. Slot s holds node s + 1, so all three start at the same index.
    const std::uint8_t* const term_ends = trie.is_terminal.data();
    const auto find_run = [&](Survivor<Levels>& survivor, std::size_t node) {
        survivor.node = static_cast<std::uint32_t>(node);
        survivor.run_begin = shifts[node];
        survivor.run_end = node + 1 < shifts.size() ? shifts[node + 1]
                                                    : static_cast<std::uint32_t>(slots);
        const std::size_t first_child = survivor.run_begin + 1;
        __builtin_prefetch(labels.data() + first_child);
        __builtin_prefetch(shifts.data() + first_child);
        __builtin_prefetch(term_ends + first_child);
    };

    Survivor<Levels>* root = survivors.room_for(1);
    find_run(*root, 0);
    root->parent = 0;
    std::copy_n(rows.root_row(), Levels, root->row);
    survivors.filled_up_to(root + 1);

    std::uint32_t depth = 0;  // of the level being scanned
    for (std::size_t level = 0; level < survivors.size(); ++depth) {
        const std::size_t level_end = survivors.size();
        for (std::size_t i = level; i < level_end; ++i) {
            const ChildRange run{survivors[i].run_begin, survivors[i].run_end};
            Survivor<Levels>* out = survivors.room_for(run.end - run.begin);
            if (out == nullptr) return false;
            const auto parent = BitRows<Levels>::parent_of(survivors[i].row);
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

// Picks the row representation for the query and threshold, and the walk:
// by levels where the trie and the reporter allow it.
template <class Reporter>
void walk(const Trie& trie, std::u32string_view query, std::uint32_t max_dist, Budget& budget,
          Reporter& report) {
    if (trie.has_no_nodes()) return;
    const auto bit_rows = [&]<std::uint32_t Levels>() {
        BitRows<Levels> rows(query);
        const bool by_levels = trie.breadth_first_tree && !report.may_stop_early();
        if (!by_levels || !walk_by_levels(trie, rows, budget, report))
            walk(trie, rows, budget, report);
    };
    if (query.size() > kBitRowsMaxQuery || max_dist > kBitRowsMaxDist) {
        CellRows rows(query, max_dist, budget);
        walk(trie, rows, budget, report);
        return;
    }
    switch (max_dist) {
        case 0: return bit_rows.template operator()<1>();
        case 1: return bit_rows.template operator()<2>();
        case 2: return bit_rows.template operator()<3>();
        case 3: return bit_rows.template operator()<4>();
        case 4: return bit_rows.template operator()<5>();
        case 5: return bit_rows.template operator()<6>();
        case 6: return bit_rows.template operator()<7>();
        default: return bit_rows.template operator()<8>();
    }
}

struct TermReporter {
    const Trie& trie;
    std::optional<std::uint64_t> limit;
    Budget& budget;
    std::vector<MatchResult>& out;

    // Walks report only the nodes a reporter wants, and by levels only when
    // it will not stop before the end.
    bool may_stop_early() const { return limit.has_value(); }
    bool wants(std::size_t node) const { return checked_at(trie.is_terminal, node) != 0; }

    template <class Path>
    bool operator()(std::size_t node, std::uint32_t distance, const Path& spell_path) {
        const std::u32string_view path = spell_path();
        std::size_t bytes = 0;
        for (const char32_t c : path) bytes += utf8::encoded_length(utf8::scalar_or_replacement(c));
        budget.charge(bytes);
        budget.reserve(out, out.size() + 1);
        std::string term(bytes, '\0');
        char* at = term.data();
        // Labels come from validated text or validated bytes, but a hand-built
        // Trie may hold anything: results stay valid UTF-8 all the same.
        for (const char32_t c : path) at = utf8::encode(at, utf8::scalar_or_replacement(c));
        out.push_back({std::move(term), node, distance});
        // The limit is looked at only after a report, so 0 still yields one hit.
        return limit.has_value() && out.size() >= *limit;
    }
};

struct NodeReporter {
    const Trie& trie;
    bool terminal_only;
    Budget& budget;
    std::vector<NodeMatch>& out;

    bool may_stop_early() const { return false; }
    bool wants(std::size_t node) const {
        return !terminal_only || checked_at(trie.is_terminal, node) != 0;
    }

    template <class Path>
    bool operator()(std::size_t node, std::uint32_t distance, const Path&) {
        budget.reserve(out, out.size() + 1);
        out.push_back({node, distance});
        return false;
    }
};

}  // namespace

std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term,
                                     std::uint32_t max_dist,
                                     std::optional<std::uint64_t> limit) {
    CodePointBuffer buffer;
    const std::u32string_view query = utf8::decode(term, buffer);
    std::vector<MatchResult> out;
    Budget budget;
    TermReporter report{trie, limit, budget, out};
    walk(trie, query, max_dist, budget, report);
    return out;
}

std::vector<NodeMatch> fuzzy_match_nodes(const Trie& trie, std::u32string_view query,
                                         std::uint32_t max_dist, bool terminal_only) {
    std::vector<NodeMatch> out;
    Budget budget;
    NodeReporter report{trie, terminal_only, budget, out};
    walk(trie, query, max_dist, budget, report);
    return out;
}

}  // namespace quellnor
