// PyPy's shortcuts. PyPy makes every object that crosses into C a proxy of
// its own, and frees it again one at a time: converting a long list item by
// item, or building a result list of small tuples in C, can cost more than
// the search behind it. These functions move whole lists across in a few
// calls instead. Each gives nothing where its shortcut does not apply, and
// the caller then goes the general way.
#pragma once

#include "binding/ref.hpp"  // Python.h, which says whether this is PyPy

#ifdef PYPY_VERSION

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "search/matcher.hpp"
#include "search/ranking.hpp"
#include "trie/trie.hpp"

namespace quellnor::binding::pypy {

// The values of a long exact list of ints held in PyPy's int strategy.
std::optional<std::vector<std::uint32_t>> unboxed_u32_list(PyObject* value);

// The ids and counts lists of all payloads, read in one go: list k holds
// values[bounds[k] .. bounds[k+1]), and a node's ids are list first[node],
// its counts the next one.
struct UnboxedPayloads {
    std::vector<std::uint32_t> values;
    std::vector<std::size_t> bounds, first;
    std::span<const std::uint32_t> list(std::size_t node, std::size_t which) const;
};
std::optional<UnboxedPayloads> unbox_payload_lists(const std::vector<Ref>& items);

// A shared int object for a small value (a flag or a distance), or null.
PyObject* small_int(long value);

// The key string of a ranked video, made once per video and index.
PyObject* key_string(const RankedVideo& video, std::vector<PyObject*>& key_strings);

// [(text, a, b), ...] from texts joined by U+0000 and two numbers per text,
// built by a small Python function; null where the list is too short to
// earn the call back.
PyObject* text_pair_list(const std::string& texts, const std::vector<std::uint32_t>& numbers);

// The result lists, built by two small Python functions from packed values;
// null where a list is too short to earn the call back.
PyObject* match_list(const Trie& index, const std::vector<MatchResult>& matches);
PyObject* ranked_list(const std::vector<RankedVideo>& videos, std::vector<PyObject*>& key_strings);

}  // namespace quellnor::binding::pypy

#endif
