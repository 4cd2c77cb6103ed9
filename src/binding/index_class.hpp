// What the bodies of the five specified methods need to know of the class
// they serve, so that one body serves PrefixSearch and IndexCore alike.
#pragma once

#include "binding/ref.hpp"

#include <cstdint>
#include <span>
#include <vector>

#include "trie/trie.hpp"

namespace quellnor::binding {

struct IndexClass {
    // As binding messages show it.
    const char* name;
    // METH_STATIC or METH_CLASS, for the two constructors.
    int constructor_kind;
    // A new instance holding `index`. `cls` is the class that a class
    // method was called on (null for a static method); `supplied_totals`
    // each node's total as supplied, before propagation (empty when the
    // index comes from bytes).
    PyObject* (*create)(PyObject* cls, Trie&& index, std::vector<std::uint32_t>&& supplied_totals);
    // Docstrings, with text signatures, in the order of the method table:
    // from_internal_data_v2, to_bytes, from_bytes, fuzzy_match, fuzzy_match_video.
    const char* docs[5];
};

// The index that from_internal_data_v2's six arguments describe, converted
// in parameter order; `supplied_totals` receives each node's total as
// supplied, before propagation.
Trie build_from_arguments(PyObject* const* slots, std::vector<std::uint32_t>& supplied_totals);

// A method body as the method table holds it.
template <class Function>
PyCFunction as_c_function(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// The five specified methods' rows for IndexCore's method table.
std::span<const PyMethodDef> specified_index_core_methods();

}  // namespace quellnor::binding
