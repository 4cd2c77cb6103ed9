// An index from a builder's rows: the terms sorted and laid out, each
// term's videos ranked, payloads propagated and the term index derived,
// exactly as the same rows through from_internal_data_v2 give.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "build/row_table.hpp"
#include "suggest/term_index.hpp"
#include "trie/trie.hpp"

namespace quellnor {

struct BuiltIndex {
    Trie trie;
    TermIndex terms;
};

// Told when each phase of a build starts, with how many items it covers.
using PhaseReport = std::function<void(std::string_view phase, std::uint64_t items)>;

BuiltIndex assemble_index(const RowTable& rows, std::uint64_t video_top_n, const PhaseReport& report);

// The same, emptying `rows` as soon as everything is taken from them, before
// the trie is built: a builder that is used once holds them no longer than that.
BuiltIndex assemble_index_consuming(RowTable& rows, std::uint64_t video_top_n, const PhaseReport& report);

}  // namespace quellnor
