// The PrefixSearch type and its instances.
#pragma once

#include "binding/ref.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "trie/trie.hpp"

namespace quellnor::binding {

// What a PrefixSearch instance holds besides its header.
struct PrefixSearchObject {
    PyObject_HEAD
    // kConstructed once create_class_object has built the members below.
    // PyPy lets object.__new__ make an instance (pickle's copyreg path does
    // too) whose memory is only cleared: such an instance holds no index, and
    // no method or deallocation may treat it as if it did.
    std::uint64_t construction_mark;
    Trie index;
    // Calls in progress on this object. Nothing ever changes the index, so
    // borrows are only ever shared and no call is refused; the count is
    // atomic so that it stays right when walks run without the interpreter
    // lock.
    std::atomic<std::size_t> shared_borrows;
#ifdef PYPY_VERSION
    // Each video's key string, made the first time a ranking returns it and
    // reused after (see ranked_list); null where none was made yet.
    std::vector<PyObject*> key_strings;
#endif
};

inline constexpr std::uint64_t kConstructed = 0x7175656c6c6e6f72;  // "quellnor"

// Whether `object` was made by create_class_object.
inline bool is_constructed(const PrefixSearchObject* object) {
    return object->construction_mark == kConstructed;
}

// The type, created on first need.
PyTypeObject* prefix_search_type();

// Moves a finished index into a new PrefixSearch object.
PyObject* create_class_object(Trie&& index);

// What every type whose instances start with a PrefixSearch's fields shares:
// the refusal to be called, a new instance of `type` with its fields made
// from `index`, and their end.
PyObject* no_constructor_defined(PyTypeObject* type, PyObject*, PyObject*);
PrefixSearchObject* allocate_with_index(PyTypeObject* type, Trie&& index);
void destroy_index_fields(PrefixSearchObject* self);
// Frees an instance whose fields are gone, and lets go of its heap type.
void free_instance(PyObject* object);

// The method table, beside the method bodies.
PyMethodDef* prefix_search_methods();

}  // namespace quellnor::binding
