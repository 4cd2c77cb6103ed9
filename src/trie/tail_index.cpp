// Deriving the tail index: each node's parent from a walk of the tree, and the
// nodes sorted by their paths backwards.
#include "trie/tail_index.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "payload/pages.hpp"
#include "trie/preorder.hpp"

namespace quellnor {

namespace {

constexpr std::uint32_t kRoot = 0;

// Three labels from `node` up, packed into one word in an order that agrees
// with the paths' own (a path that ends sorts first): two of these decide
// nearly every comparison of the sort without climbing through memory.
// Moves `node` three labels up (to the root where the path is shorter), and
// notes a label too large for its 21 bits, which a hand-built trie may
// hold: keys with one cannot decide a comparison.
std::uint64_t climb_key(const TailIndex& tails, const Trie& trie, std::uint32_t& node, bool& clamped) {
    constexpr char32_t kLargest = (char32_t{1} << 21) - 2;
    std::uint64_t key = 0;
    for (int i = 0; i < 3; ++i) {
        const bool ended = node == kRoot;
        const char32_t label = ended ? 0 : trie.child_labels[node];
        clamped = clamped || label > kLargest;
        key = key << 21 | (ended ? 0 : std::min(label, kLargest) + 1);
        if (!ended) node = tails.parent[node];
    }
    return key;
}

// Compares the paths above `a` and `b` read backwards: negative, zero or
// positive. The root's path, empty, sorts first.
int compare_up(const TailIndex& tails, const Trie& trie, std::uint32_t a, std::uint32_t b) {
    while (a != b) {
        if (a == kRoot) return -1;
        if (b == kRoot) return 1;
        const char32_t x = trie.child_labels[a], y = trie.child_labels[b];
        if (x != y) return x < y ? -1 : 1;
        a = tails.parent[a];
        b = tails.parent[b];
    }
    return 0;
}

struct Keyed {
    std::uint64_t near;  // labels 0 to 2 up
    std::uint64_t far;   // 3 to 5
    std::uint32_t rest;  // the node six labels up
    std::uint32_t node;
    bool clamped;  // compared in full
};

}  // namespace

std::unique_ptr<TailIndex> index_tails(const Trie& trie) {
    if (!trie.breadth_first_tree || trie.has_no_nodes()) return nullptr;
    auto out = std::make_unique<TailIndex>();
    BreadthFirst tree = walk_breadth_first(trie);
    out->rank = rank_in_preorder(trie, tree);
    out->parent = Array<std::uint32_t>(std::move(tree.parent));
    std::vector<Keyed> order;
    order.reserve(tree.order.size());
    for (std::size_t at = 1; at < tree.order.size(); ++at) {
        std::uint32_t up = tree.order[at];
        bool clamped = false;
        const std::uint64_t near = climb_key(*out, trie, up, clamped);
        const std::uint64_t far = climb_key(*out, trie, up, clamped);
        order.push_back({near, far, up, tree.order[at], clamped});
    }
    std::vector<std::uint32_t>().swap(tree.order);
    const TailIndex& tails = *out;
    std::sort(order.begin(), order.end(), [&](const Keyed& a, const Keyed& b) {
        if (a.clamped || b.clamped) return compare_up(tails, trie, a.node, b.node) < 0;
        if (a.near != b.near) return a.near < b.near;
        if (a.far != b.far) return a.far < b.far;
        return compare_up(tails, trie, a.rest, b.rest) < 0;
    });
    out->by_tail.reserve(order.size());
    for (const Keyed& keyed : order) out->by_tail.push_back(keyed.node);
    // The sort keys were four times what is kept: handed back, they do not
    // stay resident in every process that derives its own.
    std::vector<Keyed>().swap(order);
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
