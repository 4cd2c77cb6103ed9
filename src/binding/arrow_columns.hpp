// Arrow tables read through the Arrow C stream interface (the PyCapsule
// that __arrow_c_stream__ returns): each batch's term, video and count
// columns read from their buffers, with no Python object per row and no
// Arrow library linked in.
#pragma once

#include "binding/columns.hpp"

#include <functional>

namespace quellnor::binding {

// Calls `each(terms, videos, counts)` for every batch of the stream that
// `capsule` holds: columns named term, video and count, or else the first
// three. `counts` is null where the table has only two columns.
void for_each_arrow_batch(PyObject* capsule, const std::function<void(Column&, Column&, Column*)>& each);

}  // namespace quellnor::binding
