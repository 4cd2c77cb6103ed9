// Conversions for IndexCore's own calls: their arguments, which are checked
// with messages that name what was expected, and their results.
#pragma once

#include "binding/convert.hpp"
#include "binding/errors.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "suggest/suggest.hpp"
#include "suggest/term_index.hpp"
#include "trie/trie.hpp"

namespace quellnor::binding {

// A str, as UTF-8 valid for the call (a lone surrogate raises
// UnicodeEncodeError).
HeldText str_argument(PyObject* value);
// A whole number >= 0 (an int or anything with __index__, not a bool);
// beyond 2**64 - 1 it is taken as 2**64 - 1, which no index reaches. A
// negative one raises ValueError naming the argument `name`.
std::uint64_t count_argument(PyObject* value, const char* name);
// None, or a count as above, held to 2**32 - 1.
std::optional<std::uint32_t> distance_argument(PyObject* value, const char* name);
// A dict of str to str, as views valid for the call.
std::vector<SpellingOfText> spellings_argument(PyObject* value);

// [(term, distance, weight), ...], each term as shown.
PyObject* suggestion_list(const TermIndex& terms, const std::vector<Suggestion>& found);
// [term, ...] of these entries, each as shown.
PyObject* term_list(const TermIndex& terms, const std::vector<std::uint32_t>& entries);

}  // namespace quellnor::binding
