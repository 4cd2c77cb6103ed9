#include "trie/trie.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <memory>
#include <string>
#include <utility>

#include "payload/merger.hpp"

namespace quellnor {

namespace {

// Where propagation keeps each finished node's aggregate until the table is
// rebuilt in node order.
struct Finished {
    std::uint32_t total_count;
    // Free of duplicates and in the merged order (count down, then id up),
    // with no count saturated: merged alone, the lists come back unchanged.
    bool ranked;
    std::size_t begin, middle, end;  // ids, then counts, in the pool
};

PayloadView finished_view(const Finished& f, const std::vector<std::uint32_t>& pool) {
    return {f.total_count,
            {pool.data() + f.begin, f.middle - f.begin},
            {pool.data() + f.middle, f.end - f.middle}};
}

// Appends pool[from, to) to the pool itself. Positions rather than
// pointers, since growing the pool may move it.
void append_from_pool(std::vector<std::uint32_t>& pool, std::size_t from, std::size_t to) {
    const std::size_t at = pool.size();
    pool.resize(at + (to - from));
    std::copy_n(pool.data() + from, to - from, pool.data() + at);
}

// Calls `visit(child)` for each child of `node` in slot order, leaving out
// the node itself: listed as its own child it adds nothing, its aggregate
// being what is computed. A child listed twice is visited twice.
template <class Visit>
void for_each_child(const Trie& trie, std::size_t node, Visit visit) {
    const ChildRange range = trie.child_range(node);
    for (std::size_t k = range.begin; k < range.end; ++k) {
        const std::uint32_t child = checked_at(trie.child_transitions, k);
        if (child != node) visit(child);
    }
}

// Room to reserve for the pool: how many values propagation writes at most,
// since each node's lists hold no more videos than its own and its
// children's together, cut. Found from sizes alone, visiting nodes and slots
// as propagation does, so that a broken structure faults here exactly as it
// would there. In a tree that is at most every supplied value once per
// level; a structure that shares subtrees can make the sum explode, and the
// reservation stops at what 64 levels would need (the pool then grows).
template <class Cut>
std::size_t pool_reservation(const Trie& trie, Cut cut) {
    const std::size_t node_count = trie.payloads.size();
    const auto supplied = [&](std::size_t node) {
        const std::optional<PayloadView> payload = checked_at(trie.payloads, node);
        return payload ? payload->video_ids.size() : 0;
    };
    const auto add = [](std::size_t a, std::size_t b) {
        std::size_t sum;
        return __builtin_add_overflow(a, b, &sum) ? SIZE_MAX : sum;
    };
    std::vector<std::size_t> videos(node_count);
    std::size_t bound = 0;
    for (std::size_t n = node_count; n-- > 0;) {
        std::size_t most = supplied(n);
        for_each_child(trie, n, [&](std::uint32_t child) {
            most = add(most, child > n ? checked_at(videos, child) : supplied(child));
        });
        videos[n] = cut(most);
        bound = add(bound, add(videos[n], videos[n]));
    }
    constexpr std::size_t kLevels = 64;
    return std::min(bound, trie.payloads.values().size() * kLevels);
}

}  // namespace

void Trie::propagate(std::uint64_t video_top_n) {
    const std::size_t node_count = payloads.size();
    const auto cut = [video_top_n](std::size_t size) {
        return static_cast<std::size_t>(std::min<std::uint64_t>(size, video_top_n));
    };

    // Nodes are finished from the last to the first, each into `pool`; a
    // child numbered after its parent is read finished, one numbered before
    // it (a broken numbering) as it stood before propagation. Every record is
    // written before it is read, so the array is left uninitialised rather
    // than cleared, which would be one more pass over fresh memory.
    const std::unique_ptr<Finished[]> storage(new Finished[node_count]);
    const std::span<Finished> finished(storage.get(), node_count);
    std::vector<std::uint32_t> pool;
    // Room for the most the lists can hold, so that the pool does not regrow
    // (a copy of everything so far, into fresh memory). Only what is written
    // is touched.
    pool.reserve(pool_reservation(*this, cut));
    std::vector<PayloadView> children;
    // Ids are meant to index video_index; a table that size adds counts up
    // without sorting. The cap bounds the table whatever the index holds.
    constexpr std::size_t kMaxIdTable = std::size_t{1} << 22;
    PayloadMerger merger(std::min(video_index.size(), kMaxIdTable));

    const auto as_supplied = [&](std::size_t node) {
        return checked_at(payloads, node).value_or(PayloadView{});
    };
    // Records where `put_ids` and then `put_counts` append the node's lists.
    const auto finish = [&](std::size_t node, std::uint32_t total, bool ranked, auto put_ids,
                            auto put_counts) {
        Finished& f = finished[node];
        f.total_count = total;
        f.ranked = ranked;
        f.begin = pool.size();
        put_ids();
        f.middle = pool.size();
        put_counts();
        f.end = pool.size();
    };

    for (std::size_t n = node_count; n-- > 0;) {
        children.clear();
        const Finished* ranked_child = nullptr;  // a finished child, when it is the only one
        for_each_child(*this, n, [&](std::uint32_t child) {
            const Finished* done = child > n ? &checked_at(finished, child) : nullptr;
            ranked_child = children.empty() ? done : nullptr;
            children.push_back(done ? finished_view(*done, pool) : as_supplied(child));
        });
        const PayloadView own = as_supplied(n);

        // Down a chain of single children (the letters of one word) a node
        // mostly adds no videos of its own: it takes its child's lists as
        // they are, which merging would give back unchanged.
        if (ranked_child != nullptr && ranked_child->ranked && own.video_ids.empty()) {
            const Finished only = *ranked_child;
            const std::uint32_t total = saturating_add(own.total_count, only.total_count);
            finish(n, total, true, [&] { append_from_pool(pool, only.begin, only.middle); },
                   [&] { append_from_pool(pool, only.middle, only.end); });
            continue;
        }

        if (children.empty()) {
            // A childless node keeps its lists as supplied, only shortened.
            const auto ids = own.video_ids.first(cut(own.video_ids.size()));
            const auto counts = own.video_counts.first(std::min(ids.size(), own.video_counts.size()));
            finish(n, own.total_count, false, [&] { pool.insert(pool.end(), ids.begin(), ids.end()); },
                   [&] { pool.insert(pool.end(), counts.begin(), counts.end()); });
            continue;
        }
        // Merge all children at once rather than one after another, so a wide
        // node costs a sort of its entries, not its fan-out squared.
        const std::uint32_t total = merger.merge(own, children);
        const auto ranked = merger.entries().first(cut(merger.entries().size()));
        // The largest sum comes first: when it fits, no count is saturated.
        const bool unsaturated = ranked.empty() || ranked.front().sum <= kCountMax;
        // `children` views the pool, which growing it may move: done with them.
        finish(n, total, unsaturated, [&] { for (const auto& e : ranked) pool.push_back(e.video); },
               [&] {
                   for (const auto& e : ranked)
                       pool.push_back(e.sum > kCountMax ? kCountMax : static_cast<std::uint32_t>(e.sum));
               });
    }

    // Straight into arrays sized once: one pass over the pool, no growth.
    PayloadTable table;
    {
        PayloadTable::Filler fill(table, node_count, pool.size());
        for (std::size_t n = 0; n < node_count; ++n) {
            const PayloadView view = finished_view(finished[n], pool);
            fill.open(view.total_count);
            std::copy(view.video_ids.begin(), view.video_ids.end(), fill.ids(view.video_ids.size()));
            std::copy(view.video_counts.begin(), view.video_counts.end(),
                      fill.counts(view.video_counts.size()));
            fill.close();
        }
    }
    payloads = std::move(table);
}

Trie build_trie(std::vector<std::uint32_t> node_shifts, std::vector<char32_t> child_labels,
                PayloadSource& payloads, std::vector<std::uint32_t> child_transitions,
                std::span<const VideoKeyInput> video_index, std::uint64_t video_top_n) {
    const std::size_t node_count = child_labels.size();

    if (node_shifts.size() != node_count)
        throw InputError("node_shifts len " + std::to_string(node_shifts.size()) +
                         " != child_labels len " + std::to_string(node_count));
    if (payloads.size() != node_count)
        throw InputError("payloads len " + std::to_string(payloads.size()) +
                         " != child_labels len " + std::to_string(node_count));
    for (std::size_t i = 0; i < child_transitions.size(); ++i) {
        if (child_transitions[i] >= node_count)
            throw InputError("child_transitions[" + std::to_string(i) + "] = " +
                             std::to_string(child_transitions[i]) + " out of range [0.." +
                             std::to_string(node_count) + ")");
    }

    Trie trie;

    trie.is_terminal.resize(node_count);
    for (std::size_t i = 0; i < node_count; ++i)
        trie.is_terminal[i] = payloads.present(i) ? 1 : 0;

    trie.payloads.reserve(node_count, 0);
    for (std::size_t i = 0; i < node_count; ++i) {
        if (!trie.is_terminal[i]) {
            trie.payloads.push_absent();
            continue;
        }
        const PayloadView payload = payloads.convert(i);
        // Propagation and ranking read counts alongside ids; equal lengths
        // are what makes those reads safe, whoever supplied the payload.
        if (payload.video_ids.size() != payload.video_counts.size())
            throw InputError("video_ids and video_counts length mismatch");
        trie.payloads.push(payload);
    }

    trie.video_index.resize(video_index.size());
    for (std::size_t i = 0; i < video_index.size(); ++i) {
        if (video_index[i].length != trie.video_index[i].size())
            throw InputError("video_index entries must be exactly 16 bytes");
        trie.video_index[i] = video_index[i].bytes;
    }

    trie.node_shifts = std::move(node_shifts);
    trie.child_labels = std::move(child_labels);
    trie.child_transitions = std::move(child_transitions);

    trie.note_layout();
    trie.propagate(video_top_n);
    return trie;
}

namespace {

bool slots_hold_next_nodes(std::span<const std::uint32_t> transitions) {
    for (std::size_t slot = 0; slot < transitions.size(); ++slot)
        if (transitions[slot] != slot + 1) return false;
    return true;
}

// With slots following nodes: whether the shifts never step back and the
// last one is within the slots. Each node's run then follows the previous
// node's and lies inside the arrays; no slot is in two runs, so every node
// has at most one parent. A cycle would need the parent of each of its nodes
// inside it, so the root, which is no slot's child, reaches none: what it
// reaches is a tree, numbered breadth first.
bool runs_follow_one_another(const Trie& trie) {
    const std::size_t nodes = trie.node_shifts.size();
    const std::size_t slots = trie.child_transitions.size();
    if (trie.child_labels.size() != nodes || slots + 1 != nodes) return false;
    if (nodes > std::numeric_limits<std::uint32_t>::max()) return false;  // ids fit 32 bits
    const std::vector<std::uint32_t>& shifts = trie.node_shifts;
    return std::is_sorted(shifts.begin(), shifts.end()) && shifts.back() <= slots;
}

// Whether every node has a term-end flag, so that no walk can fault on one.
// Where some node lacks it, the first such node a walk reaches names the
// fault, and only the depth-first order gives the same one to every walk.
bool every_node_flagged(const Trie& trie) {
    return trie.is_terminal.size() >= trie.node_shifts.size();
}

}  // namespace

void Trie::note_layout() {
    slots_follow_nodes = slots_hold_next_nodes(child_transitions);
    breadth_first_tree =
        slots_follow_nodes && runs_follow_one_another(*this) && every_node_flagged(*this);
}

}  // namespace quellnor
