// The per-call table of video scores behind the ranking.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>

#include "search/video_hash.hpp"

namespace quellnor::search {

// One video's running score; after the filter, its share.
struct Entry {
    double value;
    std::uint32_t video;
};

// Scores in one flat array in order of first sight, found through an
// open-addressing index of 8-byte slots with linear probing. Both are
// allocated once per call and only reallocated when they fill.
//
// A video's home slot is the top bits of its id times a fixed odd constant,
// which spreads the ids of an index, dense from 0, evenly and costs one
// multiplication. Ids chosen against that constant could share a few slots
// and make every addition probe through all of them, so the probes are
// counted: once they pass a bound linear in the additions the table can
// see, far beyond what ordinary ids need, every entry is placed anew by a
// hash drawn at random once per process (see video_hash.hpp), which no
// index written beforehand can aim at. No result depends on where a video
// lands: equal shares are ranked by id.
class ScoreTable {
public:
    // Room for `expected` videos before the first rehash, and never for more
    // than `at_most`.
    ScoreTable(std::size_t expected, std::size_t at_most)
        : at_most_(at_most), probes_left_(probe_allowance(at_most)) {
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
            if (--probes_left_ == 0) [[unlikely]] {
                place_by_seeded_hash();
                at = home(video);
            } else {
                at = (at + 1) & mask_;
            }
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
        const std::uint64_t hash = seeded_hash_ == nullptr ? std::uint64_t{video} * kSpreading
                                                           : (*seeded_hash_)(video);
        return static_cast<std::size_t>(hash >> shift_);
    }

    // Probe steps, over the whole call, that ordinary ids never come near:
    // at three slots in four taken, an addition probes 8.5 slots on average
    // even in the worst case of all-new videos.
    static std::size_t probe_allowance(std::size_t additions) {
        constexpr std::size_t kPerAddition = 16;
        constexpr std::size_t kSlack = std::size_t{1} << 12;
        return std::min(additions, (SIZE_MAX - kSlack) / kPerAddition) * kPerAddition + kSlack;
    }

    // Puts every entry into the empty slots. If the probes run out on the
    // way, the seeded hash takes over and places them all itself.
    void place_entries() {
        for (std::size_t entry = 1; entry <= size_; ++entry) {
            const std::uint32_t video = entries_[entry].video;
            std::size_t at = home(video);
            while (slots_[at].entry != 0) {
                if (--probes_left_ == 0) [[unlikely]]
                    return place_by_seeded_hash();
                at = (at + 1) & mask_;
            }
            slots_[at] = {video, static_cast<std::uint32_t>(entry)};
        }
    }

    [[gnu::noinline, gnu::cold]] void place_by_seeded_hash() {
        seeded_hash_ = &VideoHash::process_wide();
        probes_left_ = SIZE_MAX;
        std::fill_n(slots_.get(), mask_ + 1, Slot{0, 0});
        place_entries();
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
        place_entries();
    }

    static constexpr std::uint64_t kSpreading = 0x9E37'79B9'7F4A'7C15u;  // 2^64 / golden ratio

    std::size_t at_most_;
    std::size_t probes_left_;  // before the seeded hash takes over
    const VideoHash* seeded_hash_ = nullptr;
    std::unique_ptr<Slot[]> slots_;
    std::unique_ptr<Entry[]> entries_;  // entries_[0] is never used
    std::size_t mask_ = 0;
    int shift_ = 0;
    std::size_t size_ = 0;      // entries in use
    std::size_t capacity_ = 0;  // entries that fit before a rehash
    std::size_t cleared_ = 0;   // entries already set to +0.0
};

}  // namespace quellnor::search
