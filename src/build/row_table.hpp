// What a builder holds between batches of rows: every spelling seen, the
// terms they fold to, the videos, and the sum of counts per (term, video)
// and per spelling. The binding folds each new spelling once and hands over
// rows as numbers; grouping and summing happen here.
//
// The tables fall in two sides, so that one thread can sum a batch of rows
// while another reads the next: the spellings and videos, which reading
// looks rows up in, and the sums side (TermSums): the terms, each
// spelling's term and count, and the pairs. A new spelling's term waits
// with its text (NewTerms) until its batch is summed.
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

// A row as the binding hands it over: its spelling, its video and its count.
struct RowNumbers {
    std::uint32_t spelling;
    std::uint32_t video;
    std::uint64_t count;
};

// Every (term, video) pair once, numbered in the order first added.
class PairTable {
public:
    std::size_t size() const { return terms_.size(); }
    void add(std::uint32_t term, std::uint32_t video, std::uint64_t count);
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

// The terms of spellings added since the last batch was summed, in the
// order the spellings were numbered: spelling `first + i` folds to text(i).
class NewTerms {
public:
    std::uint32_t first() const { return first_; }
    std::size_t size() const { return ends_.size(); }
    std::string_view text(std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {bytes_.data() + begin, ends_[i] - begin};
    }
    void add(std::string_view term) {
        bytes_.append(term);
        ends_.push_back(bytes_.size());
    }
    // Empties this, to hold the terms of spellings from `first` on.
    void restart(std::uint32_t first) {
        first_ = first;
        bytes_.clear();
        ends_.clear();
    }

private:
    std::uint32_t first_ = 0;
    std::string bytes_;
    std::vector<std::size_t> ends_;
};

// The sums side of a RowTable.
class TermSums {
public:
    // Numbers the terms of `terms`, which must name the spellings that
    // follow those it knows, then adds `rows`. Should numbering fail
    // (too many terms, memory), nothing of `terms` is kept and no row is
    // added; should adding a row fail, the rows before it stay added.
    void add(const NewTerms& terms, std::span<const RowNumbers> rows);

    // The spellings whose terms are numbered.
    std::size_t spellings() const { return spelling_terms_.size(); }
    // Forgets the spellings from `size` on. Only spellings none of whose
    // rows were added may go, and their terms stay.
    void forget_spellings(std::size_t size) {
        spelling_terms_.resize(size);
        spelling_counts_.resize(size);
    }

    const TextTable& terms() const { return terms_; }
    const PairTable& pairs() const { return pairs_; }
    std::uint32_t term_of_spelling(std::uint32_t spelling) const { return spelling_terms_[spelling]; }
    std::uint64_t spelling_count(std::uint32_t spelling) const { return spelling_counts_[spelling]; }

private:
    void number(const NewTerms& terms);
    void add_rows(std::span<const RowNumbers> rows);

    TextTable terms_;
    std::vector<std::uint32_t> spelling_terms_;
    std::vector<std::uint64_t> spelling_counts_;
    PairTable pairs_;
    std::vector<std::uint64_t> hashes_;  // number()'s room, kept for the next
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
    // Told each spelling kTellAhead rows before it comes, starts loading
    // what looking it up will read.
    static constexpr std::size_t kTellAhead = LookupsAhead::kDistance;
    void prefetch_spelling(std::string_view original) { spellings_ahead_.tell(spellings_, original); }
    // A spelling not seen before (find_spelling found none) and the term it
    // folds to, both non-empty UTF-8 without U+0000, as the binding checked
    // them. Its term is numbered when its rows are summed.
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

    // Where a batch began: rolling back to it forgets the spellings and
    // videos the batch added. Rows are summed only once a batch is known
    // to be good, so they need no undoing.
    struct Mark {
        std::size_t spellings, videos;
        VideoIdKind kind;
    };
    Mark mark() const { return {spellings_.size(), videos_.size(), video_kind_}; }
    // Also forgets the spellings whose terms the sums side could not
    // number (TermSums::add failed), which it must not be summing.
    void roll_back(const Mark& mark);

    // The terms of the spellings added since, for a caller that sums rows
    // itself (TermSums::add, or a RowFeeder on a second core); the table
    // then waits for the terms of spellings from there on.
    NewTerms& new_terms() { return new_terms_; }
    void restart_new_terms() { new_terms_.restart(static_cast<std::uint32_t>(spellings_.size())); }
    // Sums `rows` here and now.
    void sum(std::span<const RowNumbers> rows);
    void add_row(std::uint32_t spelling, std::uint32_t video, std::uint64_t count) {
        const RowNumbers row{spelling, video, count};
        sum({&row, 1});
    }
    // What a second thread may sum rows into while this one reads more.
    TermSums& sums() { return sums_; }

    const TextTable& terms() const { return sums_.terms(); }
    const TextTable& videos() const { return videos_; }
    const TextTable& spellings() const { return spellings_; }
    const PairTable& pairs() const { return sums_.pairs(); }
    std::uint32_t term_of_spelling(std::uint32_t spelling) const { return sums_.term_of_spelling(spelling); }
    std::uint64_t spelling_count(std::uint32_t spelling) const { return sums_.spelling_count(spelling); }
    // Whether a spelling is not its term as it stands: noted when added,
    // while both texts are at hand, rather than read again from all over
    // the tables when the index is assembled.
    bool spelling_differs(std::uint32_t spelling) const { return spelling_differs_[spelling] != 0; }

private:
    bool folded_;
    bool lowers_ascii_;
    std::string lowered_;  // add_lowered_spelling's room, kept for the next
    VideoIdKind video_kind_ = VideoIdKind::none;
    TextTable spellings_, videos_;
    std::vector<std::uint8_t> spelling_differs_;
    NewTerms new_terms_;
    TermSums sums_;
    LookupsAhead spellings_ahead_;
};

}  // namespace quellnor
