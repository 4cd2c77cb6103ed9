// Terms one at a time: found by their text, spelt for display, listed in
// order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "suggest/term_index.hpp"
#include "trie/trie.hpp"

namespace quellnor {

// The node of the term spelt exactly `text` (code points), or nothing; the
// first in code-point order where a hand-made trie spells a term twice.
std::optional<std::uint32_t> find_term(const Trie& trie, const CompletionTable& table,
                                       std::u32string_view text);

// The term of an entry as shown: its display spelling, or the labels from
// the root, in UTF-8. `out` is replaced.
void spell_term(const TermIndex& terms, std::uint32_t entry, std::string& out);

// Up to `count` terms' entries in code-point order, from position `from` of
// the pre-order on; `next` is where the next page starts (the end once done).
std::vector<std::uint32_t> term_page(const CompletionTable& table, std::size_t from,
                                     std::size_t count, std::size_t& next);

}  // namespace quellnor
