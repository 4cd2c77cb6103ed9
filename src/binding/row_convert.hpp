// A row's three objects to the numbers a RowTable keeps: the spelling (its
// term folded once, by the caller's fold function), the video and the
// count. A value that cannot be stored throws RowRefused with the reason;
// the builder names the row around it.
#pragma once

#include "binding/ref.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>

#include "build/row_table.hpp"

namespace quellnor::binding {

class RowRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RowNumbers {
    std::uint32_t spelling;
    std::uint32_t video;
    std::uint64_t count;
};

// `fold` is a callable returning the folded str, or null to keep terms as
// given. Adds new spellings and videos to `rows` (the caller rolls them back
// when the batch fails); adds no row.
RowNumbers convert_row(RowTable& rows, PyObject* fold, PyObject* term, PyObject* video, PyObject* count);

// repr(value) for a message: cut short, and never failing itself.
std::string shown(PyObject* value);

}  // namespace quellnor::binding
