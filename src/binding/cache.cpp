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

}  // namespace quellnor::binding
