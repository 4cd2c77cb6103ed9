// Propagation: every node's payload aggregated over its subtree, each merged
// list cut to video_top_n entries.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "payload/merger.hpp"
#include "progress.hpp"
#include "trie/aggregate_node.hpp"
#include "trie/propagate_levels.hpp"
#include "trie/trie.hpp"

namespace quellnor {

namespace {

// Where propagation keeps each finished node's aggregate until the table is
// rebuilt in node order.
struct Finished {
    std::uint32_t total_count;
    bool ranked;  // see AggregatedNode
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
    Progress progress;
    for (std::size_t n = node_count; n-- > 0;) {
        progress.advance();
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

// One propagation. Nodes are finished from the last to the first, each into
// `pool_`; a child numbered after its parent is read finished, one numbered
// before it (a broken numbering) as it stood before propagation.
class Propagation {
public:
    Propagation(const Trie& trie, std::uint64_t video_top_n)
        : trie_(trie), video_top_n_(video_top_n),
          // Every record is written before it is read, so the array is left
          // uninitialised rather than cleared, which would be one more pass
          // over fresh memory.
          storage_(new Finished[trie.payloads.size()]),
          // Room for the most the lists can hold, so that the pool does not
          // regrow (a copy of everything so far, into fresh memory). Only
          // what is written is touched.
          pool_(with_room(pool_reservation(trie, [this](std::size_t size) { return cut(size); }))),
          // Ids are meant to index video_index; a table that size adds counts
          // up without sorting. The cap bounds the table whatever the index
          // holds.
          merger_(std::min(trie.video_index.size(), kMaxIdTable)) {}

    void finish(std::size_t n);
    PayloadTable table() const;

private:
    static constexpr std::size_t kMaxIdTable = std::size_t{1} << 22;

    static std::vector<std::uint32_t> with_room(std::size_t values) {
        std::vector<std::uint32_t> pool;
        pool.reserve(values);
        return pool;
    }
    std::size_t cut(std::size_t size) const {
        return static_cast<std::size_t>(std::min<std::uint64_t>(size, video_top_n_));
    }
    PayloadView as_supplied(std::size_t node) const {
        return checked_at(trie_.payloads, node).value_or(PayloadView{});
    }
    const Trie& trie_;
    std::uint64_t video_top_n_;
    std::unique_ptr<Finished[]> storage_;
    std::vector<std::uint32_t> pool_;
    std::vector<PayloadView> children_;
    PayloadMerger merger_;
};

void Propagation::finish(std::size_t n) {
    children_.clear();
    const Finished* ranked_child = nullptr;  // a finished child, when it is the only one
    const std::span<const Finished> finished(storage_.get(), trie_.payloads.size());
    for_each_child(trie_, n, [&](std::uint32_t child) {
        const Finished* done = child > n ? &checked_at(finished, child) : nullptr;
        ranked_child = children_.empty() ? done : nullptr;
        children_.push_back(done ? finished_view(*done, pool_) : as_supplied(child));
    });
    Finished f{};
    f.begin = pool_.size();
    // The only child's lists lie in the pool itself: copied by position.
    const auto append_only_child = [&](std::size_t& middle) {
        const Finished only = *ranked_child;
        append_from_pool(pool_, only.begin, only.middle);
        middle = pool_.size();
        append_from_pool(pool_, only.middle, only.end);
    };
    const AggregatedNode aggregated =
        aggregate_node(as_supplied(n), children_, ranked_child != nullptr && ranked_child->ranked, video_top_n_,
                       merger_, pool_, f.middle, append_only_child);
    f.total_count = aggregated.total_count;
    f.ranked = aggregated.ranked;
    f.end = pool_.size();
    storage_[n] = f;
}

// Straight into arrays sized once: one pass over the pool, no growth.
PayloadTable Propagation::table() const {
    const std::size_t node_count = trie_.payloads.size();
    PayloadTable table;
    {
        // The filler leaves the table at its final size as it goes.
        PayloadTable::Filler fill(table, node_count, pool_.size());
        Progress progress;
        for (std::size_t n = 0; n < node_count; ++n) {
            const PayloadView view = finished_view(storage_[n], pool_);
            progress.advance(1 + view.video_ids.size());
            fill.open(view.total_count);
            std::copy(view.video_ids.begin(), view.video_ids.end(), fill.ids(view.video_ids.size()));
            std::copy(view.video_counts.begin(), view.video_counts.end(),
                      fill.counts(view.video_counts.size()));
            fill.close();
        }
    }
    return table;
}

}  // namespace

void Trie::propagate(std::uint64_t video_top_n) {
    // A builder's tree goes depth by depth, which holds far less at once.
    const auto starts = payloads.size() == node_shifts.size() ? depth_starts(*this) : std::nullopt;
    if (starts) {
        payloads = propagate_by_depth(*this, *starts, video_top_n);
        return;
    }
    Propagation propagation(*this, video_top_n);
    Progress progress;
    for (std::size_t n = payloads.size(); n-- > 0;) {
        progress.advance();
        propagation.finish(n);
    }
    payloads = propagation.table();
}

}  // namespace quellnor
