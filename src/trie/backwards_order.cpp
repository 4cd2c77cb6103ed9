// Sorting the nodes of a tree by their paths read backwards.
#include "trie/backwards_order.hpp"

#include <algorithm>
#include <bit>
#include <utility>

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
    BackwardsSort(const Trie& trie, std::span<const std::uint32_t> parent, std::vector<std::uint32_t> reached)
        : group_(parent.size(), 0), up_(parent.size(), kRoot) {
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
                up = parent[up];
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

std::vector<std::uint32_t> order_backwards(const Trie& trie, std::span<const std::uint32_t> parent,
                                           std::vector<std::uint32_t> nodes) {
    return BackwardsSort(trie, parent, std::move(nodes)).sorted();
}

}  // namespace quellnor
