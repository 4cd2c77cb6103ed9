#include "build/row_table.hpp"

#include <algorithm>
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

void TermSums::add(const NewTerms& terms, std::span<const RowNumbers> rows) {
    if (terms.first() != spellings())
        throw Fault("the terms of spellings from " + std::to_string(terms.first()) + " come after " +
                    std::to_string(spellings()) + " spellings");
    number(terms);
    add_rows(rows);
}

// A miss to memory ends before its text or row comes.
constexpr std::size_t kAhead = 16;

void TermSums::number(const NewTerms& terms) {
    hashes_.resize(terms.size());
    for (std::size_t i = 0; i < terms.size(); ++i) hashes_[i] = hash_bytes(terms.text(i));
    const std::size_t terms_before = terms_.size(), spellings_before = spellings();
    try {
        spelling_counts_.resize(spellings_before + terms.size(), 0);
        for (std::size_t i = 0; i < terms.size(); ++i) {
            if (i + kAhead < terms.size()) terms_.prefetch_hash(hashes_[i + kAhead]);
            spelling_terms_.push_back(terms_.intern(terms.text(i), hashes_[i]));
        }
    } catch (...) {
        terms_.truncate(terms_before);
        forget_spellings(spellings_before);
        throw;
    }
}

void TermSums::add_rows(std::span<const RowNumbers> rows) {
    // Two steps ahead: a row's spelling tells its term, which with its
    // video tells where its pair is.
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i + 2 * kAhead < rows.size()) {
            __builtin_prefetch(spelling_terms_.data() + rows[i + 2 * kAhead].spelling);
            __builtin_prefetch(spelling_counts_.data() + rows[i + 2 * kAhead].spelling);
        }
        if (i + kAhead < rows.size())
            pairs_.prefetch(spelling_terms_[rows[i + kAhead].spelling], rows[i + kAhead].video);
        const RowNumbers& row = rows[i];
        pairs_.add(spelling_terms_[row.spelling], row.video, row.count);
        std::uint64_t& count = spelling_counts_[row.spelling];
        count = saturating_add64(count, row.count);
    }
}

std::uint32_t RowTable::add_spelling(std::string_view original, std::string_view term) {
    // A failure midway leaves what the caller's roll_back() puts right.
    new_terms_.add(term);
    const std::uint32_t spelling = spellings_.add_new(original);
    spelling_differs_.push_back(original != term);
    return spelling;
}

std::uint32_t RowTable::add_lowered_spelling(std::string_view original) {
    lowered_.assign(original);
    for (char& c : lowered_) c = lowered(c);
    return add_spelling(original, lowered_);
}

void RowTable::sum(std::span<const RowNumbers> rows) {
    sums_.add(new_terms_, rows);
    restart_new_terms();
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
    const std::size_t kept = std::min(mark.spellings, sums_.spellings());
    spellings_.truncate(kept);
    spelling_differs_.resize(kept);
    restart_new_terms();
    videos_.truncate(mark.videos);
    video_kind_ = mark.kind;
}

}  // namespace quellnor
