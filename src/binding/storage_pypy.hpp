// What PyPy hands to C for an object of a subclass of bytes, str or tuple.
// Its C copy of such an object is sized by the object's __len__, which the
// subclass may override: a copy of bytes or of a tuple shorter than its
// contents makes PyPy fail, or write past the copy, as the object crosses
// into C (for a tuple, also when such an object is one of its items), and
// the text of a str is cut to that length or read beyond it. These
// functions read the object's storage instead, through the base type's own
// methods, in Python, before anything of it crosses.
#pragma once

#include "binding/ref.hpp"  // Python.h, which says whether this is PyPy

#ifdef PYPY_VERSION

namespace quellnor::binding::pypy {

// An exact str (bytes) with the contents of a str (bytes) of any subclass.
Ref stored_text(PyObject* text);
Ref stored_bytes(PyObject* data);

// An iterator over `sequence` that yields each item as it comes, except
// an item that PyPy would read through an overridden __len__ as it crosses
// (bytes or a tuple of a subclass that overrides it, or a tuple holding
// such an item): that one comes as an exact copy of its storage.
Ref iterate_storage(PyObject* sequence);

// The items of `sequence` as a tuple, each as iterate_storage gives it.
Ref stored_items(PyObject* sequence);

}  // namespace quellnor::binding::pypy

#endif
