// Columns of rows: a term, a video and a count per row, read from Python
// sequences, from buffers such as numpy arrays (no Python object per row)
// or from Arrow arrays (arrow_columns.*), all through one Cell per value.
#pragma once

#include "binding/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "build/row_table.hpp"

namespace quellnor::binding {

struct Cell {
    enum class Kind { missing, text, signed_integer, unsigned_integer, real, uuid_bytes, object };
    Kind kind = Kind::missing;
    std::string_view text;  // text, uuid_bytes
    std::int64_t signed_value = 0;
    std::uint64_t unsigned_value = 0;
    double real = 0;
    PyObject* object = nullptr;  // borrowed from the column
};

class Column {
public:
    virtual ~Column() = default;
    virtual std::size_t size() const = 0;
    // The cell of `row`; its text stays valid until the next call.
    virtual Cell at(std::size_t row) = 0;
    // The text of `row` where it can be read in place, with no Python
    // object and nothing checked, for a reader to look ahead; else empty.
    virtual std::string_view text_ahead(std::size_t) const { return {}; }
};

// A numpy array (or any one-dimensional buffer of text, integers or
// floats) read in place, else any sequence read item by item.
std::unique_ptr<Column> column_of(PyObject* value, const char* name);

// Texts packed one after another into the bytes-like `blob`, with where
// each ends in `ends` (a buffer of int64, such as array('q')): str text as
// UTF-8, or with `uuids` 16-byte UUIDs. Ends out of order or past the blob
// end the row they belong to with InputError.
std::unique_ptr<Column> packed_text_column(PyObject* blob, PyObject* ends, bool uuids);

// A column of `size` cells that all hold `count`.
std::unique_ptr<Column> constant_column(std::size_t size, std::uint64_t count);

// Values of `width` bytes as stored in a native little-endian buffer (the
// buffers of numpy and Arrow on this machine).
std::int64_t load_signed(const std::uint8_t* p, std::size_t width);
std::uint64_t load_unsigned(const std::uint8_t* p, std::size_t width);
double load_real(const std::uint8_t* p, std::size_t width);

std::uint32_t spelling_of_cell(RowTable& rows, PyObject* fold, const Cell& cell);
std::uint32_t video_of_cell(RowTable& rows, const Cell& cell);
std::uint64_t count_of_cell(const Cell& cell);
// A cell as a message shows it.
std::string shown(const Cell& cell);

}  // namespace quellnor::binding
