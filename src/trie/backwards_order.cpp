// Sorting the nodes of a tree by their paths read backwards.
#include "trie/backwards_order.hpp"

#include <algorithm>
#include <utility>

#include "text/code_sort.hpp"

namespace quellnor {

namespace {

constexpr std::uint32_t kRoot = 0;

// The nodes sorted by their paths backwards, by prefix doubling: once the
// nodes are sorted into groups by their first h labels up, sorting each
// group by the group of the node h labels up sorts it by the first 2h. Only
// groups of more than one node are sorted again, and each round reads each
// node's ancestor once: phrases that share long endings cost a few rounds,
// where comparisons that climbed their shared length cost many misses each.
class BackwardsSort {
public:
    BackwardsSort(const Trie& trie, std::span<const std::uint32_t> parent, std::vector<std::uint32_t> reached)
        : up_(parent.size(), kRoot) {
        // First by as many labels up as fit in a word. Breadth first, the
        // nodes come in the order of their numbers, and the sort keeps it
        // among equal keys.
        const CodeRanks codes(std::span<const char32_t>(trie.child_labels.data(), trie.child_labels.size()));
        const int per_key = codes.per_key();
        std::vector<std::uint64_t> keys;
        keys.reserve(reached.size());
        for (const std::uint32_t node : reached) {
            std::uint32_t up = node;
            std::uint64_t key = 0;
            for (int i = 0; i < per_key; ++i) {
                key <<= codes.bits();
                if (up == kRoot) continue;
                key |= codes(trie.child_labels[up]);
                up = parent[up];
            }
            keys.push_back(key);
            up_[node] = up;
        }
        sort_by_counting(keys, reached, per_key * codes.bits());
        // Made only now, after the sort's own working arrays are gone.
        group_.assign(parent.size(), 0);
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
        for_each_run(first, last, same, [&](std::size_t begin, std::size_t end) {
            for (std::size_t at = begin; at < end; ++at) group_[order_[at]] = static_cast<std::uint32_t>(begin + 1);
            if (end - begin > 1) unsorted_.push_back({begin, end});
        });
    }

    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> group_;  // per node; the root's, 0, sorts first
    std::vector<std::uint32_t> up_;     // per node, the node as many labels up as groups tell
    std::vector<Run> unsorted_;
};

}  // namespace

std::vector<std::uint32_t> order_backwards(const Trie& trie, std::span<const std::uint32_t> parent,
                                           std::vector<std::uint32_t> nodes) {
    return BackwardsSort(trie, parent, std::move(nodes)).sorted();
}

}  // namespace quellnor
