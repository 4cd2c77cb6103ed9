#include "build/row_table.hpp"

#include <stdexcept>
#include <string>

#include "fault.hpp"
#include "text/utf8.hpp"

namespace quellnor {

namespace {

constexpr std::uint64_t kEmptySlot = UINT64_MAX;

std::size_t pair_slot(std::uint64_t key, std::size_t mask) {
    key ^= key >> 29;
    key *= 0xbf58'476d'1ce4'e5b9ull;
    key ^= key >> 32;
    return key & mask;
}

const char* kind_name(VideoIdKind kind) {
    switch (kind) {
        case VideoIdKind::uuid: return "UUIDs";
        case VideoIdKind::text: return "str ids";
        case VideoIdKind::integer: return "int ids";
        case VideoIdKind::none: break;
    }
    return "nothing";
}

}  // namespace

void PairTable::prefetch(std::uint32_t term, std::uint32_t video) const {
    if (slots_.empty()) return;
    const std::size_t s = pair_slot(std::uint64_t{term} << 32 | video, slots_.size() - 1);
    __builtin_prefetch(slots_.data() + s);
    __builtin_prefetch(slot_pairs_.data() + s);
}

void PairTable::add(std::uint32_t term, std::uint32_t video, std::uint64_t count) {
    if (2 * (size() + 1) > slots_.size()) grow();
    const std::uint64_t key = std::uint64_t{term} << 32 | video;
    const std::size_t mask = slots_.size() - 1;
    std::size_t s = pair_slot(key, mask);
    for (; slots_[s] != kEmptySlot; s = (s + 1) & mask) {
        if (slots_[s] == key) {
            const std::uint32_t pair = slot_pairs_[s];
            counts_[pair] = saturating_add64(counts_[pair], count);
            return;
        }
    }
    if (size() >= 0xFFFF'FFFFu) throw std::length_error("more (term, video) pairs than a 32-bit number holds");
    slots_[s] = key;
    slot_pairs_[s] = static_cast<std::uint32_t>(size());
    terms_.push_back(term);
    videos_.push_back(video);
    counts_.push_back(count);
}

void PairTable::add_all(std::span<const PairRow> rows) {
    constexpr std::size_t kAhead = 16;  // a miss to memory ends before its row comes
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i + kAhead < rows.size()) prefetch(rows[i + kAhead].term, rows[i + kAhead].video);
        add(rows[i].term, rows[i].video, rows[i].count);
    }
}

void PairTable::grow() {
    const std::size_t capacity = slots_.empty() ? 1024 : 2 * slots_.size();
    slots_.assign(capacity, kEmptySlot);
    slot_pairs_.assign(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (std::size_t pair = 0; pair < size(); ++pair) {
        const std::uint64_t key = std::uint64_t{terms_[pair]} << 32 | videos_[pair];
        std::size_t s = pair_slot(key, mask);
        while (slots_[s] != kEmptySlot) s = (s + 1) & mask;
        slots_[s] = key;
        slot_pairs_[s] = static_cast<std::uint32_t>(pair);
    }
}

std::uint32_t RowTable::add_spelling(std::string_view original, std::string_view term) {
    const std::uint32_t term_id = terms_.intern(term);
    const std::uint32_t spelling = spellings_.add_new(original);
    spelling_terms_.push_back(term_id);
    spelling_counts_.push_back(0);
    spelling_differs_.push_back(original != term);
    return spelling;
}

std::uint32_t RowTable::add_lowered_spelling(std::string_view original) {
    lowered_.assign(original);
    for (char& c : lowered_) c = lowered(c);
    return add_spelling(original, lowered_);
}

void RowTable::prefetch_spelling(std::string_view original) const {
    spellings_.prefetch(original);
    // A spelling that the binding will lower itself is lowered here too, when
    // short: most terms are. Any other is looked for as it is, which finds
    // the slot of a spelling already folded.
    char term[64];
    if (!lowers_ascii_ || original.size() > sizeof term || !utf8::is_ascii(original)) {
        terms_.prefetch(original);
        return;
    }
    for (std::size_t i = 0; i < original.size(); ++i) term[i] = lowered(original[i]);
    terms_.prefetch({term, original.size()});
}

std::uint32_t RowTable::intern_video(VideoIdKind kind, std::string_view key) {
    if (video_kind_ != kind) {
        if (video_kind_ != VideoIdKind::none)
            throw InputError(std::string("this index's videos are ") + kind_name(video_kind_) +
                             ", not " + kind_name(kind) + ": all videos of an index are UUIDs, or all str ids, or all int ids");
        video_kind_ = kind;
    }
    return videos_.intern(key);
}

void RowTable::roll_back(const Mark& mark) {
    spellings_.truncate(mark.spellings);
    spelling_terms_.resize(mark.spellings);
    spelling_counts_.resize(mark.spellings);
    spelling_differs_.resize(mark.spellings);
    terms_.truncate(mark.terms);
    videos_.truncate(mark.videos);
    video_kind_ = mark.kind;
}

}  // namespace quellnor
