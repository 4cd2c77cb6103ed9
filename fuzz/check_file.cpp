#include "check_file.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fault.hpp"
#include "file/format.hpp"
#include "file/index_file.hpp"
#include "search/matcher.hpp"
#include "search/ranking.hpp"
#include "suggest/suggest.hpp"
#include "suggest/terms.hpp"
#include "text/utf8.hpp"

namespace fuzz {

using namespace quellnor;

namespace {

bool is_reader_message(std::string_view message) {
    return message.starts_with("index file") || message.starts_with("not a quellnor index file") ||
           message.starts_with("payload arrays") || message.starts_with("spellings:");
}

// A short query spelt from the trie's own labels, as the tail picks them.
std::string query_from(const Trie& trie, Tail& tail) {
    std::string out;
    const std::size_t length = tail.byte() % 6;
    for (std::size_t i = 0; i < length && !trie.child_labels.empty(); ++i) {
        const char32_t label = trie.child_labels[tail.u16() % trie.child_labels.size()];
        if (label != 0 && label < 0x110000 && (label < 0xD800 || label > 0xDFFF)) utf8::append(out, label);
    }
    return out;
}

// Every kind of call on an index that may contradict itself: each answers,
// faults or runs out of its budget.
void run_calls(const file::OpenedIndex& index, Tail& tail) {
    const std::string term = query_from(index.trie, tail);
    CodePointBuffer buffer;
    const std::u32string_view query = utf8::decode(term, buffer);
    const std::uint32_t max_dist = tail.byte() % 3;
    SuggestOptions options;
    options.k = 1 + tail.byte() % 40;
    (void)attempt("file fuzzy_match", [&] { return fuzzy_match(index.trie, term, max_dist, 20); });
    (void)attempt("file video", [&] { return fuzzy_match_video(index.trie, term, max_dist, 20, true); });
    (void)attempt("file suggest", [&] { return suggest(index.trie, index.terms.table, query, options); });
    (void)attempt("file suggest_videos", [&] { return suggest_videos(index.trie, query, options); });
    (void)attempt("file terms", [&] {
        std::size_t next = 0;
        const auto page = term_page(index.terms.table, 0, 64, next);
        std::string spelt;
        for (const std::uint32_t entry : page) spell_term(index.terms, entry, spelt);
        return page;
    });
}

// The index in `input`, or nothing when the reader refuses it in its own words.
std::optional<file::OpenedIndex> load_or_refuse(std::span<const std::uint8_t> input, bool verify) {
    try {
        return file::load_index(input, verify);
    } catch (const InputError& e) {
        CHECK(is_reader_message(e.what()), e.what());
        return std::nullopt;
    }
}

}  // namespace

void check_index_file(std::span<const std::uint8_t> whole) {
    // What follows the length the header gives is the tail that picks the
    // queries, as after the trie's byte form.
    std::uint64_t length = whole.size();
    if (whole.size() >= offsetof(file::Header, file_size) + 8)
        std::memcpy(&length, whole.data() + offsetof(file::Header, file_size), 8);
    const std::span<const std::uint8_t> input = whole.first(std::min<std::uint64_t>(length, whole.size()));
    Tail tail(whole.subspan(input.size()));
    std::optional<file::OpenedIndex> opened = load_or_refuse(input, false);
    if (!opened) return;
    opened->trie.ensure_layout();  // as the first query does
    run_calls(*opened, tail);
    const std::optional<file::OpenedIndex> verified = load_or_refuse(input, true);
    if (!verified) return;
    CHECK(verified->trie == opened->trie && verified->terms == opened->terms);
    const std::vector<std::uint8_t> again = file::index_bytes(verified->trie, verified->terms);
    const file::OpenedIndex reopened = file::load_index(again, true);
    CHECK(reopened.trie == verified->trie && reopened.terms == verified->terms);
}

void check_file_round_trip(const Trie& trie) {
    TermIndex terms;
    terms.table = derive_completion_table(trie, {});
    const std::vector<std::uint8_t> bytes = file::index_bytes(trie, terms);
    file::OpenedIndex opened = file::load_index(bytes, false);
    CHECK(opened.trie == trie && opened.terms == terms);
    opened.trie.ensure_layout();
    CHECK(opened.trie.breadth_first_tree == trie.breadth_first_tree);
    CHECK(file::index_bytes(opened.trie, opened.terms) == bytes);
    try {
        const file::OpenedIndex verified = file::load_index(bytes, true);
        CHECK(verified.trie == trie);
    } catch (const InputError& e) {
        // A decoded trie need not be one the builder makes (lengths that
        // differ, a payload-less term); verification says so in its words.
        CHECK(is_reader_message(e.what()), e.what());
    }
}

}  // namespace fuzz
