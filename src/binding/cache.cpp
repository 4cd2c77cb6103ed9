#include "binding/cache.hpp"

#include <cstring>
#include <string>

#include "binding/errors.hpp"
#include "fault.hpp"

namespace quellnor::binding {

// Stores `fresh` in `slot` unless another thread filled it first; the first
// value stored wins and the other is released.
PyObject* keep_first(PyObject*& slot, PyObject* fresh) {
    if (slot == nullptr) {
        slot = fresh;
    } else {
        Py_XDECREF(fresh);
    }
    return slot;
}

PyObject* interned(const char* name) {
    // A handful of names, looked up by pointer: each call site passes a
    // literal, and the table is tiny.
    static constexpr const char* kNames[] = {"__all__", "__name__", "__qualname__", "__module__",
                                             "__bool__"};
    static PyObject* cache[std::size(kNames)] = {};
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        if (std::strcmp(kNames[i], name) != 0) continue;
        if (cache[i] == nullptr) {
            PyObject* fresh = PyUnicode_InternFromString(name);
            if (fresh == nullptr) PythonError::raise_pending();
            keep_first(cache[i], fresh);
        }
        return cache[i];
    }
    throw Fault(std::string("no interned name ") + name);
}

}  // namespace quellnor::binding
