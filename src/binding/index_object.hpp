// The IndexCore type: a PrefixSearch's trie with what the byte form of the
// trie cannot carry beside it, and the calls that need it. quellnor.Index
// derives from it in Python.
#pragma once

#include "binding/frame.hpp"
#include "binding/object.hpp"

#include <cstdint>
#include <span>
#include <vector>

#include "suggest/term_index.hpp"

namespace quellnor::binding {

// Starts with a PrefixSearch's fields, so that the bodies of the five
// specified methods serve both types.
struct IndexObject {
    PrefixSearchObject base;
    TermIndex terms;
    // What its arrays hold, counted in live_native_bytes() while it lives.
    std::size_t native_bytes;
};

// The bytes held by the arrays of every IndexCore alive, mapped or owned:
// what PyPy's collector cannot see, so that the package can ask it to
// collect when this grows (quellnor._index_file.tell_collector).
std::size_t live_native_bytes() noexcept;

// The type, created on first need.
PyTypeObject* index_core_type();

// Whether `object` is an IndexCore, or an instance of a subclass.
bool is_index_core(PyObject* object);

// A new instance of `cls`, which must be IndexCore or a subclass of it.
PyObject* create_index_object(PyObject* cls, Trie&& index, TermIndex&& terms);

// As IndexClass::create: the terms weigh their supplied totals, or what the
// trie's totals give back when there are none; nothing is folded.
PyObject* create_index_core(PyObject* cls, Trie&& index, std::vector<std::uint32_t>&& supplied_totals);

// A shared borrow of an IndexCore, with what it holds beside the trie.
class IndexBorrow : public SharedBorrow {
public:
    explicit IndexBorrow(PyObject* self) : SharedBorrow(self) {
        if (!is_index_core(self)) raise_type_mismatch(self, "IndexCore");
        terms_ = &reinterpret_cast<IndexObject*>(self)->terms;
    }
    const TermIndex& terms() const { return *terms_; }

private:
    const TermIndex* terms_;
};

// The method table and the attributes, beside their bodies; the index
// file's calls have their own rows.
PyMethodDef* index_core_methods();
std::span<const PyMethodDef> index_file_methods();
PyGetSetDef* index_core_attributes();

}  // namespace quellnor::binding
