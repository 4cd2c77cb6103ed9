// The NativeBuilder type: rows in batches into a RowTable, and the index
// they make. quellnor.IndexBuilder and build_index are built on it.
#pragma once

#include "binding/ref.hpp"

namespace quellnor::binding {

PyTypeObject* native_builder_type();

}  // namespace quellnor::binding
