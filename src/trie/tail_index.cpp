// Deriving the tail index: each node's parent from a walk of the tree, and the
// nodes sorted by their paths backwards.
#include "trie/tail_index.hpp"

#include <algorithm>

#include "payload/pages.hpp"

namespace quellnor {

namespace {

constexpr std::uint32_t kRoot = 0;

// Three labels from `node` up, packed into one word in an order that agrees
// with the paths' own (a path that ends sorts first): two of these decide
// nearly every comparison of the sort without climbing through memory.
// Moves `node` three labels up, to the root where the path is shorter, and
// notes whether a label was too large for its 21 bits (a hand-built trie
// may hold any): such keys cannot decide a comparison.
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
    const std::size_t nodes = trie.node_shifts.size();
    out->parent.assign(nodes, TailIndex::kNoParent);
    std::vector<Keyed> order;
    order.reserve(nodes - 1);
    // Only what the root reaches is a tree; slot s holds node s + 1.
    std::vector<std::uint32_t> queue{kRoot};
    for (std::size_t at = 0; at < queue.size(); ++at) {
        const ChildRange run = trie.child_range(queue[at]);
        for (std::size_t slot = run.begin; slot < run.end; ++slot) {
            out->parent[slot + 1] = queue[at];
            queue.push_back(static_cast<std::uint32_t>(slot + 1));
        }
    }
    for (std::size_t at = 1; at < queue.size(); ++at) {
        std::uint32_t up = queue[at];
        bool clamped = false;
        const std::uint64_t near = climb_key(*out, trie, up, clamped);
        const std::uint64_t far = climb_key(*out, trie, up, clamped);
        order.push_back({near, far, up, queue[at], clamped});
    }
    std::vector<std::uint32_t>().swap(queue);
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

TailRun TailIndex::ending_with(const Trie& trie, std::u32string_view tail, std::size_t most,
                               TailRun within) const {
    // Negative where the path above `node`, backwards, sorts before the tail
    // backwards; zero where it starts with it; positive after.
    const auto against = [&](std::uint32_t node) {
        for (std::size_t i = tail.size(); i-- > 0;) {
            if (node == kRoot) return -1;
            const char32_t label = trie.child_labels[node];
            if (label != tail[i]) return label < tail[i] ? -1 : 1;
            node = parent[node];
        }
        return 0;
    };
    const std::size_t end = std::min(within.last, by_tail.size());
    const auto first = std::partition_point(by_tail.begin() + static_cast<std::ptrdiff_t>(std::min(within.first, end)),
                                            by_tail.begin() + static_cast<std::ptrdiff_t>(end),
                                            [&](std::uint32_t node) { return against(node) < 0; });
    // Runs are short next to the whole: the end is found by steps that
    // double from the start, then halve, in some log2 of the run's probes
    // instead of the whole order's, each of which climbs through memory.
    const std::size_t begin = static_cast<std::size_t>(first - by_tail.begin());
    std::size_t inside = begin, step = 1;
    while (inside + step < end && against(by_tail[inside + step]) == 0) {
        inside += step;
        step *= 2;
        if (inside - begin > most) return {begin, inside + 1};
    }
    const auto from = by_tail.begin() + static_cast<std::ptrdiff_t>(inside);
    const auto to = by_tail.begin() + static_cast<std::ptrdiff_t>(std::min(inside + step, end));
    const auto last = std::partition_point(from, to, [&](std::uint32_t node) { return against(node) == 0; });
    return {begin, static_cast<std::size_t>(last - by_tail.begin())};
}

std::uint32_t TailIndex::shared_depth(std::uint32_t a, std::uint32_t a_depth, std::uint32_t b,
                                     std::uint32_t b_depth) const {
    // A depth given wrong climbs past the root, into kNoParent: a fault.
    for (; a_depth > b_depth; --a_depth) a = checked_at(parent, a);
    for (; b_depth > a_depth; --b_depth) b = checked_at(parent, b);
    for (; a != b; --a_depth) a = checked_at(parent, a), b = checked_at(parent, b);
    return a_depth;
}

}  // namespace quellnor
