// What a builder holds between batches of rows: every spelling seen, the
// terms they fold to, the videos, and the sum of counts per (term, video)
// and per spelling. The binding folds each new spelling once and hands over
// rows as numbers; grouping and summing happen here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "build/text_table.hpp"
#include "suggest/video_ids.hpp"

namespace quellnor {

inline std::uint64_t saturating_add64(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// A row as the pair table takes it.
struct PairRow {
    std::uint32_t term;
    std::uint32_t video;
    std::uint64_t count;
};

// Every (term, video) pair once, numbered in the order first added.
class PairTable {
public:
    std::size_t size() const { return terms_.size(); }
    void add(std::uint32_t term, std::uint32_t video, std::uint64_t count);
    // Each row in turn, as add() would.
    void add_all(std::span<const PairRow> rows);
    // Brings into cache where add(term, video, ...) will look first.
    void prefetch(std::uint32_t term, std::uint32_t video) const;
    std::uint32_t term(std::size_t pair) const { return terms_[pair]; }
    std::uint32_t video(std::size_t pair) const { return videos_[pair]; }
    std::uint64_t count(std::size_t pair) const { return counts_[pair]; }

private:
    void grow();
    std::vector<std::uint64_t> slots_;  // term << 32 | video, UINT64_MAX where empty
    std::vector<std::uint32_t> slot_pairs_;
    std::vector<std::uint32_t> terms_, videos_;
    std::vector<std::uint64_t> counts_;
};

class RowTable {
public:
    // With `lowers_ascii`, folding is known to turn a pure-ASCII text into
    // its lower case (A-Z to a-z) and to change nothing else in it, so the
    // binding folds such spellings itself (add_lowered_spelling).
    explicit RowTable(bool folded, bool lowers_ascii = false) : folded_(folded), lowers_ascii_(lowers_ascii) {}
    bool folded() const { return folded_; }
    bool lowers_ascii() const { return lowers_ascii_; }
    // The same rules, none of the rows.
    RowTable emptied() const { return RowTable(folded_, lowers_ascii_); }

    std::optional<std::uint32_t> find_spelling(std::string_view original) const {
        return spellings_.find(original);
    }
    // Told a spelling a few rows before it comes: starts loading where it,
    // and its term when it is new, will be looked up.
    void prefetch_spelling(std::string_view original) const;
    // A spelling not seen before (find_spelling found none) and the term it
    // folds to, both non-empty UTF-8 without U+0000, as the binding checked them.
    std::uint32_t add_spelling(std::string_view original, std::string_view term);
    // A new pure-ASCII spelling of a table that lowers_ascii(): its term is
    // its lower case.
    std::uint32_t add_lowered_spelling(std::string_view original);
    // What add_lowered_spelling makes the term of a spelling: A-Z to a-z.
    static char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

    // The number of a video, keyed by its UUID's 16 bytes, the UTF-8 of a
    // str id or the 8 bytes of an int id. All videos of a table are of one
    // kind, set by the first; throws InputError for another.
    std::uint32_t intern_video(VideoIdKind kind, std::string_view key);
    VideoIdKind video_kind() const { return video_kind_; }

    // Where a batch began: rolling back to it forgets the spellings, terms
    // and videos the batch added. Rows are added only once a batch is known
    // to be good, so they need no undoing.
    struct Mark {
        std::size_t spellings, terms, videos;
        VideoIdKind kind;
    };
    Mark mark() const { return {spellings_.size(), terms_.size(), videos_.size(), video_kind_}; }
    void roll_back(const Mark& mark);

    void add_row(std::uint32_t spelling, std::uint32_t video, std::uint64_t count) {
        const PairRow pair = count_spelling(spelling, video, count);
        pairs_.add(pair.term, pair.video, pair.count);
    }
    // add_row in two parts, for a caller that adds the pairs a batch at a
    // time (pair_table().add_all(), or a PairFeeder on a second core): the
    // spelling's count, here, and the row for the pair table, returned.
    PairRow count_spelling(std::uint32_t spelling, std::uint32_t video, std::uint64_t count) {
        spelling_counts_[spelling] = saturating_add64(spelling_counts_[spelling], count);
        return {spelling_terms_[spelling], video, count};
    }
    void prefetch_spelling_count(std::uint32_t spelling) const {
        __builtin_prefetch(spelling_terms_.data() + spelling);
        __builtin_prefetch(spelling_counts_.data() + spelling);
    }
    PairTable& pair_table() { return pairs_; }

    const TextTable& terms() const { return terms_; }
    const TextTable& videos() const { return videos_; }
    const TextTable& spellings() const { return spellings_; }
    const PairTable& pairs() const { return pairs_; }
    std::uint32_t term_of_spelling(std::uint32_t spelling) const { return spelling_terms_[spelling]; }
    std::uint64_t spelling_count(std::uint32_t spelling) const { return spelling_counts_[spelling]; }
    // Whether a spelling is not its term as it stands: noted when added,
    // while both texts are at hand, rather than read again from all over
    // the tables when the index is assembled.
    bool spelling_differs(std::uint32_t spelling) const { return spelling_differs_[spelling] != 0; }

private:
    bool folded_;
    bool lowers_ascii_;
    std::string lowered_;  // add_lowered_spelling's room, kept for the next
    VideoIdKind video_kind_ = VideoIdKind::none;
    TextTable spellings_, terms_, videos_;
    std::vector<std::uint32_t> spelling_terms_;
    std::vector<std::uint64_t> spelling_counts_;
    std::vector<std::uint8_t> spelling_differs_;
    PairTable pairs_;
};

}  // namespace quellnor
