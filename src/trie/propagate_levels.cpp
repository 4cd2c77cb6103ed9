#include "trie/propagate_levels.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "payload/merger.hpp"
#include "payload/pages.hpp"
#include "progress.hpp"
#include "run_beside.hpp"
#include "trie/aggregate_node.hpp"

namespace quellnor {

std::optional<std::vector<std::uint32_t>> depth_starts(const Trie& trie) {
    // Slots hold the next nodes and the runs of slots follow one another:
    // the children of nodes [a, b) are then the nodes [shift(a) + 1, shift(b) + 1).
    if (!trie.breadth_first_tree) return std::nullopt;
    const std::size_t nodes = trie.node_shifts.size();
    if (nodes == 0) return std::nullopt;
    const auto shift = [&](std::size_t n) -> std::size_t {
        return n < nodes ? trie.node_shifts[n] : trie.child_transitions.size();
    };
    std::vector<std::uint32_t> starts{0};
    std::size_t first = 0, end = 1;
    while (first < end) {
        // A depth whose children do not start right after it has a node
        // whose child is numbered at or before it.
        if (shift(first) + 1 != end) return std::nullopt;
        starts.push_back(static_cast<std::uint32_t>(end));
        first = std::exchange(end, shift(end) + 1);
    }
    if (end != nodes) return std::nullopt;  // nodes the root does not reach
    return starts;
}

namespace {

// A trie's own table as the payloads supplied to its propagation.
class TablePayloads final : public PayloadSource {
public:
    explicit TablePayloads(const PayloadTable& table) : table_(table) {}
    std::size_t size() const override { return table_.size(); }
    bool present(std::size_t node) const override { return checked_at(table_, node).has_value(); }
    PayloadView convert(std::size_t node) override { return checked_at(table_, node).value_or(PayloadView{}); }

private:
    const PayloadTable& table_;
};

class DepthPropagation {
public:
    DepthPropagation(const Trie& trie, std::span<const std::uint32_t> starts, PayloadSource& supplied,
                     std::uint64_t video_top_n)
        : trie_(trie), starts_(starts), supplied_(supplied), video_top_n_(video_top_n), nodes_(trie.node_shifts.size()),
          pools_(starts.size() - 1), ranked_(nodes_),
          merger_(std::min(trie.video_index.size(), kMaxIdTable)) {
        totals_.resize(nodes_);
        bounds_.resize(2 * nodes_ + 1);
    }

    PayloadTable run() {
        Progress progress;
        for (std::size_t depth = pools_.size(); depth-- > 0;) finish_depth(depth, progress);
        supplied_.let_go();
        return table();
    }

private:
    static constexpr std::size_t kMaxIdTable = std::size_t{1} << 22;  // as the general propagation's
    static constexpr std::size_t kFreedBeforeTrim = std::size_t{64} << 20;
    static constexpr std::size_t kFarAhead = 16, kNearAhead = 8;
    using Pool = std::vector<std::uint32_t>;

    PayloadView as_supplied(std::size_t node) const {
        return supplied_.present(node) ? supplied_.convert(node) : PayloadView{};
    }
    std::size_t first_child(std::size_t node) const { return std::size_t{trie_.node_shifts[node]} + 1; }
    std::size_t child_end(std::size_t node) const {
        return (node + 1 < nodes_ ? std::size_t{trie_.node_shifts[node + 1]} : nodes_ - 1) + 1;
    }

    // Until the table is put together, a finished node's bounds count from
    // the start of its depth's pool: its ids end at bounds_[2n + 1] and its
    // counts at bounds_[2n + 2], and its ids begin where the node before it
    // ended, or at 0 for the first node of a depth.
    PayloadView finished(std::size_t node, std::size_t depth_first, const Pool& pool) const {
        const std::uint32_t begin = node == depth_first ? 0 : bounds_[2 * node];
        const std::uint32_t middle = bounds_[2 * node + 1], end = bounds_[2 * node + 2];
        return {totals_[node], {pool.data() + begin, middle - begin}, {pool.data() + middle, end - middle}};
    }

    // At most what the depth's nodes were given and what their children
    // hold, so that the pool never regrows (a copy, into fresh memory); only
    // what is written is touched.
    std::size_t room(std::size_t depth) const {
        std::size_t given = 0;
        for (std::size_t n = starts_[depth]; n < starts_[depth + 1]; ++n) {
            if (n + kFarAhead < starts_[depth + 1]) supplied_.prefetch(n + kFarAhead, true);
            if (!supplied_.present(n)) continue;
            const PayloadView own = supplied_.convert(n);
            given += own.video_ids.size() + own.video_counts.size();
        }
        return given + (depth + 1 < pools_.size() ? pools_[depth + 1].size() : 0);
    }

    void finish_depth(std::size_t depth, Progress& progress) {
        Pool& pool = pools_[depth];
        pool.reserve(room(depth));
        const std::size_t below = depth + 1 < pools_.size() ? starts_[depth + 1] : 0;
        const std::size_t end = starts_[depth + 1];
        for (std::size_t n = starts_[depth]; n < end; ++n) {
            progress.advance();
            if (n + kFarAhead < end) supplied_.prefetch(n + kFarAhead, true);
            if (n + kNearAhead < end) supplied_.prefetch(n + kNearAhead, false);
            children_.clear();
            for (std::size_t c = first_child(n); c < child_end(n); ++c)
                children_.push_back(finished(c, below, pools_[depth + 1]));
            const auto append_only_child = [&](std::size_t& middle) {
                // In the pool of the depth below, which appending here cannot move.
                const PayloadView& only = children_.front();
                pool.insert(pool.end(), only.video_ids.begin(), only.video_ids.end());
                middle = pool.size();
                pool.insert(pool.end(), only.video_counts.begin(), only.video_counts.end());
            };
            std::size_t middle = 0;
            const AggregatedNode aggregated =
                aggregate_node(as_supplied(n), children_, children_.size() == 1 && ranked_[first_child(n)],
                               video_top_n_, merger_, pool, middle, append_only_child);
            bounds_[2 * n + 1] = static_cast<std::uint32_t>(middle);
            // Before any bound past 32 bits is read, as the general
            // propagation's table fails.
            PayloadTable::check_pool_size(values_ + pool.size());
            bounds_[2 * n + 2] = static_cast<std::uint32_t>(pool.size());
            totals_[n] = aggregated.total_count;
            ranked_[n] = aggregated.ranked;
        }
        values_ += pool.size();
    }

    // The pools one after another in node order, each freed once copied,
    // and the bounds moved from their depth's pool to the table's. Copying
    // is mostly the system handing out fresh pages for the table, so the
    // depths are copied in two halves, one on a second core where there is one.
    PayloadTable table() {
        PayloadTable::Column<std::uint32_t> values;
        values.resize(values_);
        std::vector<std::size_t> offsets(pools_.size() + 1, 0);
        for (std::size_t depth = 0; depth < pools_.size(); ++depth)
            offsets[depth + 1] = offsets[depth] + pools_[depth].size();
        const std::size_t half = static_cast<std::size_t>(
            std::lower_bound(offsets.begin(), offsets.end() - 1, values_ / 2) - offsets.begin());
        const auto copy = [&](std::size_t first_depth, std::size_t end_depth) {
            std::size_t freed = 0;
            for (std::size_t depth = first_depth; depth < end_depth; ++depth) {
                const auto offset = static_cast<std::uint32_t>(offsets[depth]);
                for (std::size_t n = starts_[depth]; n < starts_[depth + 1]; ++n) {
                    bounds_[2 * n + 1] += offset;
                    bounds_[2 * n + 2] += offset;
                }
                std::copy(pools_[depth].begin(), pools_[depth].end(), values.data() + offset);
                freed += pools_[depth].capacity() * sizeof(std::uint32_t);
                Pool().swap(pools_[depth]);
                // A pool too small for a mapping of its own leaves a hole in the
                // heap, resident until handed back: the table grows meanwhile.
                // Handing back walks the heap, so it waits for enough holes (a
                // trie may have a depth per character of a very long term).
                if (freed >= kFreedBeforeTrim) {
                    return_free_pages();
                    freed = 0;
                }
            }
        };
        run_beside([&] { copy(0, half); }, [&] { copy(half, pools_.size()); });
        bounds_[0] = 0;
        PayloadTable::Column<std::uint8_t> presence;
        presence.assign(nodes_, 1);  // propagation gives every node a payload
        return PayloadTable::adopting(std::move(presence), std::move(totals_), std::move(bounds_), std::move(values));
    }

    const Trie& trie_;
    std::span<const std::uint32_t> starts_;
    PayloadSource& supplied_;
    std::uint64_t video_top_n_;
    std::size_t nodes_;
    std::vector<Pool> pools_;  // per depth
    std::vector<bool> ranked_;  // per node; see AggregatedNode
    PayloadTable::Column<std::uint32_t> totals_, bounds_;
    std::size_t values_ = 0;
    std::vector<PayloadView> children_;
    PayloadMerger merger_;
};

}  // namespace

PayloadTable propagate_by_depth(const Trie& trie, std::span<const std::uint32_t> starts, std::uint64_t video_top_n) {
    TablePayloads supplied(trie.payloads);
    return propagate_by_depth(trie, starts, supplied, video_top_n);
}

PayloadTable propagate_by_depth(const Trie& trie, std::span<const std::uint32_t> starts, PayloadSource& supplied,
                                std::uint64_t video_top_n) {
    if (supplied.size() != trie.node_shifts.size()) throw Fault("the supplied payloads are not one per node");
    return DepthPropagation(trie, starts, supplied, video_top_n).run();
}

}  // namespace quellnor
