#include "check_rows.hpp"

#include <algorithm>
#include <map>
#include <string>

#include "build/assemble.hpp"
#include "codec/codec.hpp"
#include "suggest/extras_codec.hpp"
#include "suggest/terms.hpp"
#include "text/utf8.hpp"

namespace fuzz {

namespace {

using namespace quellnor;

// Code points that make shared prefixes likely and take one to four bytes.
constexpr char32_t kAlphabet[] = {U'a', U'b', U'c', U'\u00e9', U'\u4e2d', U'\U0001F600', U'A', U' '};

std::string drawn_term(Tail& tail) {
    std::string term;
    const std::size_t length = 1 + tail.byte() % 6;
    for (std::size_t i = 0; i < length; ++i) utf8::append(term, kAlphabet[tail.byte() % std::size(kAlphabet)]);
    return term;
}

std::uint64_t drawn_count(Tail& tail) {
    const std::uint8_t kind = tail.byte();
    if (kind % 4 == 0) return 0xFFFF'FFF0ull + tail.byte();  // near saturation
    if (kind % 4 == 1) return UINT64_MAX - tail.byte();
    return tail.byte();
}

}  // namespace

void check_row_builder(Tail& tail) {
    RowTable rows(false);
    std::map<std::string, std::uint64_t> sums;  // the model: each term's sum, saturating at 2**32 - 1
    const std::size_t count = tail.byte();
    const bool integer_ids = tail.byte() & 1;
    // Rows come in batches, as the builder's calls bring them: each is
    // summed whole, or rolled back as a bad row or Ctrl-C would.
    std::vector<RowNumbers> batch;
    std::map<std::string, std::uint64_t> batch_sums;
    RowTable::Mark mark = rows.mark();
    const auto end_batch = [&](bool keep) {
        if (keep) {
            rows.sum(batch);
            for (const auto& [term, sum] : batch_sums) {
                std::uint64_t& total = sums[term];
                total = std::min<std::uint64_t>(saturating_add64(total, sum), kCountMax);
            }
        } else {
            rows.roll_back(mark);
        }
        batch.clear();
        batch_sums.clear();
        mark = rows.mark();
    };
    for (std::size_t r = 0; r < count; ++r) {
        const std::string term = drawn_term(tail);
        const auto spelling = rows.find_spelling(term);
        const std::uint32_t s = spelling ? *spelling : rows.add_spelling(term, term);
        const std::uint8_t video = tail.byte() % 9;
        const std::uint32_t v = integer_ids ? rows.intern_video(VideoIdKind::integer, integer_id_key(-video))
                                            : rows.intern_video(VideoIdKind::text, std::string(video, 'v'));
        const std::uint64_t number = drawn_count(tail);
        batch.push_back({s, v, number});
        std::uint64_t& sum = batch_sums[term];
        sum = std::min<std::uint64_t>(saturating_add64(sum, std::min<std::uint64_t>(number, kCountMax)), kCountMax);
        const std::uint8_t ends = tail.byte();
        if (ends % 4 == 0) end_batch(ends % 16 != 0);
    }
    end_batch(true);
    CHECK(rows.spellings().size() == rows.terms().size());
    BuiltIndex built = assemble_index(rows, tail.byte() % 4, [](std::string_view, std::uint64_t) {});
    CHECK(built.terms.table.term_count == sums.size());
    for (const auto& [term, sum] : sums) {
        const auto node = find_term(built.trie, built.terms.table, utf8::decode(term));
        CHECK(node.has_value());
        CHECK(built.terms.table.entry(*node)->weight == sum);
    }
    std::vector<std::uint8_t> bytes(encoded_size(built.trie));
    encode_into(built.trie, bytes);
    CHECK(decode(bytes) == built.trie);
    const std::vector<std::uint8_t> extras = encode_extras(built.trie, built.terms);
    CHECK(term_index_from_extras(built.trie, decode_extras(extras)) == built.terms);
}

}  // namespace fuzz
