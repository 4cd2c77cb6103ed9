// Objects the binding makes once and keeps for the life of the process.
#pragma once

#include "binding/ref.hpp"

namespace quellnor::binding {

// Stores `fresh` in `slot` unless another thread filled it first; the first
// value stored wins and the other is released.
PyObject* keep_first(PyObject*& slot, PyObject* fresh);

// Interned attribute names, created once.
PyObject* interned(const char* name);

}  // namespace quellnor::binding
