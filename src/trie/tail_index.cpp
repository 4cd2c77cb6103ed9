// Deriving the tail index: each node's parent from a walk of the tree, and the
// nodes sorted by their paths backwards.
#include "trie/tail_index.hpp"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "payload/pages.hpp"
#include "trie/backwards_order.hpp"
#include "trie/preorder.hpp"

namespace quellnor {

std::unique_ptr<TailIndex> index_tails(const Trie& trie) {
    if (!trie.breadth_first_tree || trie.has_no_nodes()) return nullptr;
    auto out = std::make_unique<TailIndex>();
    BreadthFirst tree = walk_breadth_first(trie);
    // Nodes the root does not reach (arrays made by hand may hold them) are
    // in no walk; a tail index lists every node but the root, as its file
    // section must, so such a trie keeps the plain walks instead.
    if (tree.order.size() != trie.node_shifts.size()) return nullptr;
    out->rank = rank_in_preorder(trie, tree);
    out->parent = Array<std::uint32_t>(std::move(tree.parent));
    tree.order.erase(tree.order.begin());  // the root, whose path is empty
    const std::span<const std::uint32_t> parent(out->parent.data(), out->parent.size());
    std::vector<std::uint32_t> sorted = order_backwards(trie, parent, std::move(tree.order));
    out->by_tail = Array<std::uint32_t>(std::move(sorted));
    // The sort's working arrays were some four times what is kept: handed
    // back, they do not stay resident in every process that derives its own.
    return_free_pages();
    return out;
}

namespace {

constexpr std::uint32_t kRoot = 0;

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
