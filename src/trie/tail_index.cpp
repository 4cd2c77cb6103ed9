// Deriving the tail index: each node's parent from a walk of the tree, and the
// nodes sorted by their paths backwards.
#include "trie/tail_index.hpp"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "payload/pages.hpp"
#include "trie/preorder.hpp"

namespace quellnor {

namespace {

constexpr std::uint32_t kRoot = 0;

// The labels the reached nodes hold, as numbers from 1 in the same order (0
// is the end of a path, which sorts first): as many as fit make one word of
// the first sort key, and a word sorts in a few passes of counting.
class LabelCodes {
public:
    LabelCodes(const Trie& trie, const std::vector<std::uint32_t>& reached) : low_(kDirect, 0) {
        for (const std::uint32_t node : reached) {
            const char32_t label = trie.child_labels[node];
            if (label < kDirect) low_[label] = 1;
            else high_.push_back(label);
        }
        std::sort(high_.begin(), high_.end());
        high_.erase(std::unique(high_.begin(), high_.end()), high_.end());
        std::uint32_t next = 1;
        for (std::uint32_t& code : low_)
            if (code != 0) code = next++;
        high_first_ = next;
        bits_ = std::max(1, static_cast<int>(std::bit_width(std::uint64_t{next - 1} + high_.size())));
    }

    std::uint32_t operator()(char32_t label) const {
        if (label < kDirect) return low_[label];
        return high_first_ + static_cast<std::uint32_t>(
                                 std::lower_bound(high_.begin(), high_.end(), label) - high_.begin());
    }
    int bits() const { return bits_; }

private:
    static constexpr char32_t kDirect = 0x10000;  // the Basic Multilingual Plane
    std::vector<std::uint32_t> low_;
    std::vector<char32_t> high_;  // any beyond, sorted
    std::uint32_t high_first_ = 0;
    int bits_ = 1;
};

// Sorts `keys` and `nodes` alike by the low `bits` of the keys, a few bits
// a pass, keeping the order of equal keys.
void sort_by_counting(std::vector<std::uint64_t>& keys, std::vector<std::uint32_t>& nodes, int bits) {
    constexpr int kDigit = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
    std::vector<std::uint64_t> keys_to(keys.size());
    std::vector<std::uint32_t> nodes_to(nodes.size());
    std::vector<std::size_t> starts(kBuckets);
    for (int shift = 0; shift < bits; shift += kDigit) {
        std::fill(starts.begin(), starts.end(), 0);
        for (const std::uint64_t key : keys) ++starts[(key >> shift) & (kBuckets - 1)];
        // A digit that all keys share moves nothing.
        if (std::find(starts.begin(), starts.end(), keys.size()) != starts.end()) continue;
        std::size_t sum = 0;
        for (std::size_t& start : starts) sum += std::exchange(start, sum);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const std::size_t to = starts[(keys[i] >> shift) & (kBuckets - 1)]++;
            keys_to[to] = keys[i];
            nodes_to[to] = nodes[i];
        }
        keys.swap(keys_to);
        nodes.swap(nodes_to);
    }
}

// The nodes sorted by their paths backwards, by prefix doubling: once the
// nodes are sorted into groups by their first h labels up, sorting each
// group by the group of the node h labels up sorts it by the first 2h. Only
// groups of more than one node are sorted again, and each round reads each
// node's ancestor once: phrases that share long endings cost a few rounds,
// where comparisons that climbed their shared length cost many misses each.
class BackwardsSort {
public:
    BackwardsSort(const Trie& trie, const TailIndex& tails, std::vector<std::uint32_t> reached)
        : group_(tails.parent.size(), 0), up_(tails.parent.size(), kRoot) {
        // First by as many labels up as fit in a word. Breadth first, the
        // nodes come in the order of their numbers, and the sort keeps it
        // among equal keys.
        const LabelCodes codes(trie, reached);
        const int per_key = 64 / codes.bits();
        std::vector<std::uint64_t> keys;
        keys.reserve(reached.size());
        for (const std::uint32_t node : reached) {
            std::uint32_t up = node;
            std::uint64_t key = 0;
            for (int i = 0; i < per_key; ++i) {
                key <<= codes.bits();
                if (up == kRoot) continue;
                key |= codes(trie.child_labels[up]);
                up = tails.parent[up];
            }
            keys.push_back(key);
            up_[node] = up;
        }
        sort_by_counting(keys, reached, per_key * codes.bits());
        order_ = std::move(reached);
        group_runs(0, keys.size(), [&](std::size_t a, std::size_t b) { return keys[a] == keys[b]; });
    }

    // Refines the groups until each holds one node or nodes of one path.
    std::vector<std::uint32_t> sorted() && {
        std::vector<std::uint64_t> keys;
        while (!unsorted_.empty()) {
            // Every key is read before any group changes: all of a round's
            // keys are groups of the round before.
            keys.clear();
            // Two reads at random places a node: fetched ahead.
            constexpr std::size_t kAhead = 16;
            for (const Run& run : unsorted_)
                for (std::size_t at = run.first; at < run.last; ++at) {
                    if (at + kAhead < order_.size()) __builtin_prefetch(&up_[order_[at + kAhead]]);
                    if (at + kAhead / 2 < order_.size()) __builtin_prefetch(&group_[up_[order_[at + kAhead / 2]]]);
                    keys.push_back(std::uint64_t{group_[up_[order_[at]]]} << 32 | order_[at]);
                }
            std::vector<Run> runs;
            runs.swap(unsorted_);
            std::size_t key_at = 0;
            for (const Run& run : runs) {
                const auto first = keys.begin() + static_cast<std::ptrdiff_t>(key_at);
                const auto last = first + static_cast<std::ptrdiff_t>(run.size());
                key_at += run.size();
                std::sort(first, last);
                // Where every node's ancestor is the root, their paths are
                // the same (siblings sharing a label): the group is final.
                if ((*(last - 1) >> 32) == 0) continue;
                for (std::size_t i = 0; i < run.size(); ++i)
                    order_[run.first + i] = static_cast<std::uint32_t>(first[static_cast<std::ptrdiff_t>(i)]);
                group_runs(run.first, run.last, [&](std::size_t a, std::size_t b) {
                    return (first[static_cast<std::ptrdiff_t>(a - run.first)] >> 32) ==
                           (first[static_cast<std::ptrdiff_t>(b - run.first)] >> 32);
                });
            }
            // Twice as far up. An ancestor has the smaller number, so going
            // down the numbers reads each ancestor's step before it doubles.
            for (std::size_t node = up_.size(); node-- > 1;) up_[node] = up_[up_[node]];
        }
        return std::move(order_);
    }

private:
    struct Run {
        std::size_t first, last;
        std::size_t size() const { return last - first; }
    };

    // Numbers the groups of order_[first, last), runs where `same` holds for
    // neighbours, by where each starts (after the root's 0), and notes those
    // of more than one node as unsorted.
    template <class Same>
    void group_runs(std::size_t first, std::size_t last, Same&& same) {
        for (std::size_t begin = first; begin < last;) {
            std::size_t end = begin + 1;
            while (end < last && same(begin, end)) ++end;
            for (std::size_t at = begin; at < end; ++at) group_[order_[at]] = static_cast<std::uint32_t>(begin + 1);
            if (end - begin > 1) unsorted_.push_back({begin, end});
            begin = end;
        }
    }

    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> group_;  // per node; the root's, 0, sorts first
    std::vector<std::uint32_t> up_;     // per node, the node as many labels up as groups tell
    std::vector<Run> unsorted_;
};

}  // namespace

std::unique_ptr<TailIndex> index_tails(const Trie& trie) {
    if (!trie.breadth_first_tree || trie.has_no_nodes()) return nullptr;
    auto out = std::make_unique<TailIndex>();
    BreadthFirst tree = walk_breadth_first(trie);
    out->rank = rank_in_preorder(trie, tree);
    out->parent = Array<std::uint32_t>(std::move(tree.parent));
    tree.order.erase(tree.order.begin());  // the root, whose path is empty
    std::vector<std::uint32_t> sorted = BackwardsSort(trie, *out, std::move(tree.order)).sorted();
    out->by_tail = Array<std::uint32_t>(std::move(sorted));
    // The sort's working arrays were some four times what is kept: handed
    // back, they do not stay resident in every process that derives its own.
    return_free_pages();
    return out;
}

namespace {

// Negative where the path above `node`, read backwards, sorts before `tail`
// read backwards; zero where it starts with it (the path ends with the
// tail); positive after.
int against(const TailIndex& tails, const Trie& trie, std::u32string_view tail, std::uint32_t node) {
    for (std::size_t i = tail.size(); i-- > 0;) {
        if (node == kRoot) return -1;
        const char32_t label = trie.child_labels[node];
        if (label != tail[i]) return label < tail[i] ? -1 : 1;
        node = tails.parent[node];
    }
    return 0;
}

// Runs are short next to the whole order, and each probe climbs through
// memory: a run's edge is found by steps that double from where the run is
// known to be, then halve, in some log2 of the run's probes.

// The first place at or after `from`, before `end`, where `holds` fails; it
// holds before that place and fails after.
template <class Holds>
std::size_t edge_after(std::size_t from, std::size_t end, Holds&& holds) {
    std::size_t bound = 1;
    while (from + bound <= end && holds(from + bound - 1)) {
        from += bound;
        bound *= 2;
    }
    std::size_t lo = from, hi = std::min(from + bound - 1, end);
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (holds(mid)) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// The first place at or after `begin`, up to `to`, from which `holds` holds
// till `to`; it fails before that place.
template <class Holds>
std::size_t edge_before(std::size_t to, std::size_t begin, Holds&& holds) {
    std::size_t bound = 1;
    while (to >= begin + bound && holds(to - bound)) {
        to -= bound;
        bound *= 2;
    }
    std::size_t lo = to >= begin + bound ? to - bound + 1 : begin, hi = to;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (holds(mid)) hi = mid;
        else lo = mid + 1;
    }
    return lo;
}

}  // namespace

TailRun TailIndex::ending_with(const Trie& trie, std::u32string_view tail) const {
    const auto first = std::partition_point(by_tail.begin(), by_tail.end(), [&](std::uint32_t node) {
        return against(*this, trie, tail, node) < 0;
    });
    const std::size_t begin = static_cast<std::size_t>(first - by_tail.begin());
    const auto ends = [&](std::size_t at) { return against(*this, trie, tail, by_tail[at]) == 0; };
    return {begin, edge_after(begin, by_tail.size(), ends)};
}

TailRun TailIndex::widened(const Trie& trie, std::u32string_view tail, TailRun inner) const {
    const auto ends = [&](std::size_t at) { return against(*this, trie, tail, by_tail[at]) == 0; };
    const std::size_t last = std::min(inner.last, by_tail.size());
    return {edge_before(std::min(inner.first, last), 0, ends), edge_after(last, by_tail.size(), ends)};
}

std::uint32_t TailIndex::shared_depth(std::uint32_t a, std::uint32_t a_depth, std::uint32_t b,
                                     std::uint32_t b_depth) const {
    for (; a_depth > b_depth; --a_depth) a = checked_at(parent, a);
    for (; b_depth > a_depth; --b_depth) b = checked_at(parent, b);
    // Parents come before their children, so both reach the root at last,
    // even where a depth was given wrong.
    for (; a != b && a_depth > 0; --a_depth) a = checked_at(parent, a), b = checked_at(parent, b);
    return a_depth;
}

bool TailIndex::fits(const Trie& trie) const {
    const std::size_t nodes = trie.node_shifts.size();
    if (!trie.breadth_first_tree || parent.size() != nodes || rank.size() != nodes ||
        by_tail.size() >= std::max<std::size_t>(nodes, 1))
        return false;
    if (nodes > 0 && parent[0] != kRoot) return false;
    for (std::size_t node = 1; node < nodes; ++node)
        if (parent[node] >= node) return false;
    return std::all_of(by_tail.begin(), by_tail.end(),
                       [&](std::uint32_t node) { return node != kRoot && node < nodes; });
}

}  // namespace quellnor
