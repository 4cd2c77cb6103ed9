#include "binding/cache.hpp"

#include <cstring>
#include <string>

#include "binding/errors.hpp"
#include "fault.hpp"

namespace quellnor::binding {

PyObject* interned(const char* name) {
    // A handful of names, looked up by pointer: each call site passes a
    // literal, and the table is tiny.
    static constexpr const char* kNames[] = {"__all__", "__name__", "__qualname__", "__module__",
                                             "__bool__"};
    static OnceSlot<> cache[std::size(kNames)];
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        if (std::strcmp(kNames[i], name) != 0) continue;
        return cache[i].get([&] {
            PyObject* fresh = PyUnicode_InternFromString(name);
            if (fresh == nullptr) PythonError::raise_pending();
            return fresh;
        });
    }
    throw Fault(std::string("no interned name ") + name);
}

PyObject* source_function(PythonSource& source, OnceSlot<>& slot, const char* name) {
    PyObject* globals = source.globals.get([&] {
        Ref fresh(PyDict_New());
        if (!fresh || PyDict_SetItemString(fresh.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
            return static_cast<PyObject*>(nullptr);
        Ref done(PyRun_String(source.text, Py_file_input, fresh.get(), fresh.get()));
        return done ? fresh.release() : nullptr;
    });
    if (globals == nullptr) return nullptr;
    return slot.get([&]() -> PyObject* {
        PyObject* found = PyDict_GetItemString(globals, name);  // borrowed
        if (found == nullptr && !PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "no helper function %s", name);
        return Ref::borrowed(found).release();
    });
}

}  // namespace quellnor::binding
