// Video ranking: weighs the nodes a query reaches and shares their payloads
// out per video. Every double operation below is written in the one order
// that makes scores identical to the last bit on every build and every run
// (the project compiles with -ffp-contract=off so no step is fused).
#include "search/ranking.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <source_location>
#include <span>
#include <string>
#include <utility>

#include "search/matcher.hpp"
#include "text/utf8.hpp"

namespace quellnor {

namespace {

constexpr double kExactWeight = 1.0;
constexpr double kFuzzyScale = 0.05;
constexpr double kPrefixFactor = 0.85;
constexpr double kMinimumShare = 0.01;
constexpr double kHopelessShare = 0.0099;

// The score table starts with room for every video the additions could
// bring, so it never rehashes below the cap: typed prefixes meet about 25
// videos per matched node, more than a guess of 16 per node allows, and one
// rehash costs more than all their additions. The cap keeps a query that
// reaches millions of nodes from reserving gigabytes up front for a table
// that will hold far fewer entries.
constexpr std::size_t kMaxReservedVideos = std::size_t{1} << 16;

// A node that passed every check, reduced to what the additions need, so the
// additions run over memory the checks have already brought in.
struct Contribution {
    double weight;
    const std::uint32_t* ids;
    const std::uint32_t* counts;
    std::size_t size;
};

// One video's running score; after the filter, its share.
struct Entry {
    double value;
    std::uint32_t video;
};

// Highest share first; equal shares by ascending video id, so that the order
// and the survivors of a cut never depend on the order of the score table.
bool ranks_before(const Entry& a, const Entry& b) {
    if (a.value != b.value) return a.value > b.value;
    return a.video < b.video;
}

// Scores in one flat array in order of first sight, found through an
// open-addressing index of 8-byte slots with linear probing. Both are
// allocated once per call and only reallocated when they fill; no result
// depends on where a video lands, so the hash is a fixed multiplier.
class ScoreTable {
public:
    // Room for `expected` videos before the first rehash, and never for more
    // than `at_most`.
    ScoreTable(std::size_t expected, std::size_t at_most) : at_most_(at_most) {
        allocate(std::bit_ceil(expected / 3 * 4 + 4));
    }

    // Makes sure `count` more videos fit, so that add() checks nothing.
    void make_room(std::size_t count) {
        if (count > capacity_ - size_) [[unlikely]]
            grow(size_ + count);
        // Entries are cleared just ahead of use: a call usually sees far
        // fewer videos than the additions that bound them.
        if (size_ + count > cleared_) {
            std::fill_n(entries_.get() + 1 + cleared_, size_ + count - cleared_, Entry{0.0, 0});
            cleared_ = size_ + count;
        }
    }

    // score(video) = score(video) + addend, a missing score being +0.0.
    // Additions that create an entry and additions that find one come mixed
    // at random, so nothing below branches on which it is.
    [[gnu::always_inline]] void add(std::uint32_t video, double addend) {
        std::size_t at = home(video);
        Slot slot = slots_[at];
        // A probe ends at a free slot or at the video's own, exactly when this
        // product is zero: one branch that nearly always goes the same way.
        while (std::uint64_t{slot.entry} * (slot.video ^ video) != 0) {
            at = (at + 1) & mask_;
            slot = slots_[at];
        }
        // A free slot (entry 0) takes the next entry, whose score is +0.0.
        const std::size_t fresh = slot.entry == 0 ? 1 : 0;
        const std::size_t entry = slot.entry + fresh * (size_ + 1);
        size_ += fresh;
        slots_[at] = {video, static_cast<std::uint32_t>(entry)};
        Entry& target = entries_[entry];
        target.video = video;
        target.value = target.value + addend;
    }

    std::span<Entry> entries() { return {entries_.get() + 1, size_}; }

private:
    // `entry` numbers the video's place in entries_ from 1; 0 marks a free slot.
    struct Slot {
        std::uint32_t video;
        std::uint32_t entry;
    };

    std::size_t home(std::uint32_t video) const {
        return static_cast<std::size_t>((std::uint64_t{video} * 0x9E37'79B9'7F4A'7C15u) >> shift_);
    }

    // At most three slots in four are taken, which keeps probes short.
    void allocate(std::size_t slot_count) {
        const std::size_t capacity = std::min(slot_count / 4 * 3, at_most_);
        // Entry numbers are stored in 32 bits.
        if (capacity >= std::size_t{0xFFFF'FFFFu}) throw std::bad_alloc();
        slots_ = std::make_unique<Slot[]>(slot_count);
        mask_ = slot_count - 1;
        shift_ = 64 - std::countr_zero(slot_count);
        std::unique_ptr<Entry[]> entries = std::make_unique_for_overwrite<Entry[]>(capacity + 1);
        if (entries_) std::copy_n(entries_.get() + 1, size_, entries.get() + 1);
        entries_ = std::move(entries);
        capacity_ = capacity;
        cleared_ = size_;
    }

    [[gnu::noinline]] void grow(std::size_t needed) {
        std::size_t slot_count = (mask_ + 1) * 2;
        while (slot_count / 4 * 3 < needed) slot_count *= 2;
        allocate(slot_count);
        for (std::size_t entry = 1; entry <= size_; ++entry) {
            const std::uint32_t video = entries_[entry].video;
            std::size_t at = home(video);
            while (slots_[at].entry != 0) at = (at + 1) & mask_;
            slots_[at] = {video, static_cast<std::uint32_t>(entry)};
        }
    }

    std::size_t at_most_;
    std::unique_ptr<Slot[]> slots_;
    std::unique_ptr<Entry[]> entries_;  // entries_[0] is never used
    std::size_t mask_ = 0;
    int shift_ = 0;
    std::size_t size_ = 0;      // entries in use
    std::size_t capacity_ = 0;  // entries that fit before a rehash
    std::size_t cleared_ = 0;   // entries already set to +0.0
};

// Two lowercase hex digits per byte value.
constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    std::array<std::array<char, 2>, 256> pairs{};
    for (std::size_t b = 0; b < 256; ++b) pairs[b] = {digits[b >> 4], digits[b & 0x0F]};
    return pairs;
}();

}  // namespace

KeyText format_video_key(const VideoKey& key) {
    KeyText text;
    std::size_t at = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text[at++] = '-';
        std::memcpy(text.data() + at, kHexPairs[key[i]].data(), 2);
        at += 2;
    }
    return text;
}

std::vector<RankedVideo> fuzzy_match_video(const Trie& trie, std::string_view term,
                                           std::uint32_t max_dist,
                                           std::optional<std::uint64_t> limit,
                                           std::optional<bool> include_prefix_nodes) {
    CodePointBuffer buffer;
    const std::u32string_view query = utf8::decode(term, buffer);

    // Without an explicit choice, term ends win whenever there is any, even a
    // fuzzy one that later contributes nothing; prefix nodes are the fallback.
    std::vector<NodeMatch> nodes;
    if (include_prefix_nodes.has_value()) {
        nodes = fuzzy_match_nodes(trie, query, max_dist, !*include_prefix_nodes);
    } else {
        nodes = fuzzy_match_nodes(trie, query, max_dist, true);
        if (nodes.empty()) nodes = fuzzy_match_nodes(trie, query, max_dist, false);
    }

    // Every check runs here, node by node in list order, before any score is
    // added: the additions below cannot fault, so the first failing check is
    // the one that would have failed had they been interleaved.
    const double length = static_cast<double>(query.size());
    std::vector<Contribution> contributions;
    contributions.reserve(nodes.size());
    double weighted_total = 0.0;
    std::size_t additions = 0;
    for (const NodeMatch& match : nodes) {
        double weight = kExactWeight;
        if (match.distance != 0) {
            weight = query.empty()
                         ? 0.0
                         : (1.0 - static_cast<double>(match.distance) / length) * kFuzzyScale;
            // Too far from the query to say anything about it.
            if (!(weight > 0.0)) continue;
        }
        if (checked_at(trie.is_terminal, match.node_id) == 0) weight = weight * kPrefixFactor;

        const std::optional<PayloadView> payload = checked_at(trie.payloads, match.node_id);
        if (!payload.has_value()) continue;
        const std::size_t size = payload->video_ids.size();
        // Counts shorter than ids: the fault the first id without a count
        // would raise when read, reported before any addition.
        if (payload->video_counts.size() < size)
            raise_index_fault(payload->video_counts.size(), payload->video_counts.size(),
                              std::source_location::current());

        weighted_total = static_cast<double>(payload->total_count) * weight + weighted_total;
        if (size == 0) continue;
        contributions.push_back(
            {weight, payload->video_ids.data(), payload->video_counts.data(), size});
        // The additions read these lists only after every check, by which
        // time they can be in cache; one hint per 64-byte line.
        for (std::size_t i = 0; i < size; i += 16) {
            __builtin_prefetch(payload->video_ids.data() + i);
            __builtin_prefetch(payload->video_counts.data() + i);
        }
        __builtin_prefetch(payload->video_ids.data() + (size - 1));
        __builtin_prefetch(payload->video_counts.data() + (size - 1));
        additions += size;
    }

    if (!(weighted_total > 0.0)) return {};

    ScoreTable scores(std::min(additions, kMaxReservedVideos), additions);
    for (const Contribution& node : contributions) {
        scores.make_room(node.size);
        for (std::size_t i = 0; i < node.size; ++i)
            scores.add(node.ids[i], static_cast<double>(node.counts[i]) * node.weight);
    }

    // Shares replace scores in place, survivors packed at the front. Most
    // videos fall far short, and a score under 0.99 of the minimum's worth of
    // the total cannot round up to the minimum share, so only the rest pay
    // for a division; the division alone decides every survivor.
    const std::span<Entry> entries = scores.entries();
    const double hopeless = weighted_total * kHopelessShare;
    std::size_t kept = 0;
    for (const Entry& entry : entries) {
        if (entry.value < hopeless) continue;
        const double share = entry.value / weighted_total;
        if (share >= kMinimumShare) entries[kept++] = {share, entry.video};  // NaN fails too
    }

    const auto first = entries.begin();
    auto last = first + static_cast<std::ptrdiff_t>(kept);
    if (limit.has_value() && *limit < kept) {
        const auto cut = first + static_cast<std::ptrdiff_t>(*limit);
        std::nth_element(first, cut, last, ranks_before);
        last = cut;
    }
    std::sort(first, last, ranks_before);

    std::vector<RankedVideo> out;
    out.reserve(static_cast<std::size_t>(last - first));
    for (auto at = first; at != last; ++at) {
        // An id beyond the index is dropped, not faulted: after the cut, so a
        // caller may get fewer than `limit` entries.
        if (at->video >= trie.video_index.size()) continue;
        out.push_back({format_video_key(trie.video_index[at->video]), at->value, at->video});
    }
    return out;
}

}  // namespace quellnor
