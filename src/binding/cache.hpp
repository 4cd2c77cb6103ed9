// Objects the binding makes once and keeps for the life of the process.
#pragma once

#include "binding/ref.hpp"

namespace quellnor::binding {

// A process-wide object, made on first need and kept until the process ends.
// Slots are filled under the interpreter lock, but making an object can run
// Python code, which lets another thread in to fill the same slot: the first
// object stored wins, and one that comes second is released. Constant-
// initialised and never destroyed, so a static slot costs no guard.
template <class Object = PyObject>
class OnceSlot {
public:
    constexpr OnceSlot() = default;

    // The object, made by `make()` the first time. `make` returns a new
    // reference, or null with nothing stored (what null means is the
    // caller's to say), or throws.
    template <class Make>
    Object* get(Make&& make) {
        if (object_ != nullptr) [[likely]]
            return object_;
        Object* fresh = make();
        if (fresh == nullptr) return nullptr;
        if (object_ == nullptr)
            object_ = fresh;
        else
            Py_DECREF(reinterpret_cast<PyObject*>(fresh));
        return object_;
    }

    // The object if it was made, else null; makes nothing.
    Object* peek() const noexcept { return object_; }

private:
    Object* object_ = nullptr;
};

// Interned attribute names, created once.
PyObject* interned(const char* name);

// Python source that defines functions the binding calls, run once per
// process into a namespace of its own.
struct PythonSource {
    const char* text;
    OnceSlot<> globals{};
};

// The function `name` that `source` defines, kept in `slot` for the life of
// the process. Null, with the interpreter's error set, when it cannot be had.
PyObject* source_function(PythonSource& source, OnceSlot<>& slot, const char* name);

}  // namespace quellnor::binding
