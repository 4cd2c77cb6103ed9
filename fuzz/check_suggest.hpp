// The fuzz target's checks of suggestions and of the extras' byte form.
#pragma once

#include <string_view>

#include "fuzz_support.hpp"
#include "suggest/term_index.hpp"
#include "trie/trie.hpp"

namespace fuzz {

// suggest and suggest_videos for `query`, their options read from the
// tail, against plain models where the trie is a small tree. `terms` must
// weigh each term by the trie's totals. On a tangled trie, only the calls.
void check_suggestions(const quellnor::Trie& trie, const quellnor::TermIndex& terms, std::u32string_view query,
                       Tail& tail, bool tangled);

// Extras read from the tail (often behind a valid header): whatever decodes
// and applies encodes back and decodes to the same.
void check_extras(const quellnor::Trie& trie, Tail& tail);

}  // namespace fuzz
