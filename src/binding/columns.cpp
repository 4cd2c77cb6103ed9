#include "binding/columns.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "binding/errors.hpp"
#include "binding/row_convert.hpp"
#include "fault.hpp"
#include "text/utf8.hpp"

namespace quellnor::binding {

namespace {

class SequenceColumn final : public Column {
public:
    explicit SequenceColumn(PyObject* value, const char* name) {
        if (PyUnicode_Check(value) || PyBytes_Check(value))
            throw MessageError(PyExc_TypeError, std::string(name) + " must be a column (a sequence), not a str");
        items_ = Ref(PySequence_Fast(value, "a column must be a sequence, a numpy array or an Arrow array"));
        if (!items_) PythonError::raise_pending();
    }
    std::size_t size() const override { return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items_.get())); }
    Cell at(std::size_t row) override {
        Cell cell;
        cell.kind = Cell::Kind::object;
        cell.object = PySequence_Fast_GET_ITEM(items_.get(), static_cast<Py_ssize_t>(row));
        return cell;
    }

private:
    Ref items_;
};

// What a buffer's items are, from its struct-module format.
enum class ItemKind { none, ucs4, bytes, signed_integer, unsigned_integer, real };

struct ItemFormat {
    ItemKind kind = ItemKind::none;
    char code = 0;
};

ItemFormat item_format(const char* format) {
    if (format == nullptr) return {ItemKind::unsigned_integer, 'B'};
    std::size_t at = 0;
    if (format[at] == '<' || format[at] == '=' || format[at] == '@' || format[at] == '|') ++at;
    while (format[at] >= '0' && format[at] <= '9') ++at;
    const char code = format[at];
    if (code == '\0' || format[at + 1] != '\0') return {};
    switch (code) {
        case 'w': return {ItemKind::ucs4, code};
        case 's': return {ItemKind::bytes, code};
        case 'b': case 'h': case 'i': case 'l': case 'q': return {ItemKind::signed_integer, code};
        case 'B': case 'H': case 'I': case 'L': case 'Q': return {ItemKind::unsigned_integer, code};
        case 'f': case 'd': return {ItemKind::real, code};
        default: return {};
    }
}

class BufferColumn final : public Column {
public:
    // The shape and stride are read here, from the view as its exporter
    // filled it, and never from the copy: array.array points the strides
    // into the view itself, which is gone once column_of returns.
    BufferColumn(const Py_buffer& view, ItemFormat format)
        : view_(view), format_(format), size_(static_cast<std::size_t>(view.shape[0])),
          stride_(view.strides ? view.strides[0] : view.itemsize) {}
    ~BufferColumn() override { PyBuffer_Release(&view_); }
    std::size_t size() const override { return size_; }
    Cell at(std::size_t row) override {
        const auto* item = static_cast<const std::uint8_t*>(view_.buf) + static_cast<Py_ssize_t>(row) * stride_;
        const auto size = static_cast<std::size_t>(view_.itemsize);
        Cell cell;
        switch (format_.kind) {
            case ItemKind::ucs4: cell.kind = Cell::Kind::text; cell.text = ucs4_text(item, size / 4); break;
            case ItemKind::bytes: cell.kind = Cell::Kind::text; cell.text = padded_text(item, size); break;
            case ItemKind::signed_integer:
                cell.kind = Cell::Kind::signed_integer;
                cell.signed_value = load_signed(item, size);
                break;
            case ItemKind::unsigned_integer:
                cell.kind = Cell::Kind::unsigned_integer;
                cell.unsigned_value = load_unsigned(item, size);
                break;
            case ItemKind::real: cell.kind = Cell::Kind::real; cell.real = load_real(item, size); break;
            case ItemKind::none: break;
        }
        return cell;
    }

private:
    static std::string_view padded_text(const std::uint8_t* item, std::size_t size) {
        while (size > 0 && item[size - 1] == 0) --size;  // numpy pads with NULs
        return {reinterpret_cast<const char*>(item), size};
    }
    std::string_view ucs4_text(const std::uint8_t* item, std::size_t chars) {
        while (chars > 0 && load_u32(item + 4 * (chars - 1)) == 0) --chars;
        text_.clear();
        for (std::size_t i = 0; i < chars; ++i) {
            const char32_t c = load_u32(item + 4 * i);
            // A value that is no scalar makes text that fails the UTF-8 check.
            if (!utf8::is_scalar_value(c)) {
                text_.push_back('\xFF');
                continue;
            }
            utf8::append(text_, c);
        }
        return text_;
    }
    static char32_t load_u32(const std::uint8_t* p) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    Py_buffer view_;
    ItemFormat format_;
    std::size_t size_;
    Py_ssize_t stride_;
    std::string text_;
};

bool plausible_item_size(const ItemFormat& format, Py_ssize_t size) {
    switch (format.kind) {
        case ItemKind::ucs4: return size % 4 == 0;
        case ItemKind::bytes: return true;
        case ItemKind::signed_integer:
        case ItemKind::unsigned_integer: return size == 1 || size == 2 || size == 4 || size == 8;
        case ItemKind::real: return size == 4 || size == 8;
        case ItemKind::none: break;
    }
    return false;
}

// Holds a buffer for as long as a column reads it.
class HeldBuffer {
public:
    HeldBuffer(PyObject* object, const char* what) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0)
            throw MessageError(PyExc_TypeError, std::string(what) + " must be a bytes-like object");
    }
    ~HeldBuffer() { PyBuffer_Release(&view_); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_;
};

class PackedTextColumn final : public Column {
public:
    PackedTextColumn(PyObject* blob, PyObject* ends, bool uuids)
        : blob_(blob, "packed texts"), ends_(ends, "their ends"), kind_(uuids ? Cell::Kind::uuid_bytes : Cell::Kind::text) {
        if (ends_.size() % sizeof(std::int64_t) != 0)
            throw MessageError(PyExc_ValueError, "the ends of packed texts must be int64 values");
    }
    std::size_t size() const override { return ends_.size() / sizeof(std::int64_t); }
    Cell at(std::size_t row) override {
        const std::optional<std::string_view> text = text_of(row);
        if (!text) throw InputError("the packed text's ends are out of order");
        if (kind_ == Cell::Kind::uuid_bytes && text->size() != 16) throw InputError("a packed UUID is not 16 bytes");
        Cell cell;
        cell.kind = kind_;
        cell.text = *text;
        return cell;
    }
    std::string_view text_ahead(std::size_t row) const override { return text_of(row).value_or(std::string_view()); }

private:
    std::optional<std::string_view> text_of(std::size_t row) const {
        const std::int64_t begin = row == 0 ? 0 : end_of(row - 1), end = end_of(row);
        if (begin < 0 || end < begin || static_cast<std::uint64_t>(end) > blob_.size()) return std::nullopt;
        return std::string_view(reinterpret_cast<const char*>(blob_.data()) + begin, static_cast<std::size_t>(end - begin));
    }
    std::int64_t end_of(std::size_t row) const { return load_signed(ends_.data() + row * sizeof(std::int64_t), 8); }

    HeldBuffer blob_, ends_;
    Cell::Kind kind_;
};

class ConstantColumn final : public Column {
public:
    ConstantColumn(std::size_t size, std::uint64_t value) : size_(size), value_(value) {}
    std::size_t size() const override { return size_; }
    Cell at(std::size_t) override {
        Cell cell;
        cell.kind = Cell::Kind::unsigned_integer;
        cell.unsigned_value = value_;
        return cell;
    }

private:
    std::size_t size_;
    std::uint64_t value_;
};

}  // namespace

std::int64_t load_signed(const std::uint8_t* p, std::size_t width) {
    switch (width) {
        case 1: { std::int8_t v; std::memcpy(&v, p, 1); return v; }
        case 2: { std::int16_t v; std::memcpy(&v, p, 2); return v; }
        case 4: { std::int32_t v; std::memcpy(&v, p, 4); return v; }
        default: { std::int64_t v; std::memcpy(&v, p, 8); return v; }
    }
}

std::uint64_t load_unsigned(const std::uint8_t* p, std::size_t width) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, std::min<std::size_t>(width, 8));  // little-endian
    return v;
}

double load_real(const std::uint8_t* p, std::size_t width) {
    if (width == 4) {
        float v;
        std::memcpy(&v, p, 4);
        return v;
    }
    double v;
    std::memcpy(&v, p, 8);
    return v;
}

std::unique_ptr<Column> column_of(PyObject* value, const char* name) {
    if (!PyBytes_Check(value) && !PyByteArray_Check(value) && PyObject_CheckBuffer(value)) {
        Py_buffer view;
        if (PyObject_GetBuffer(value, &view, PyBUF_RECORDS_RO) == 0) {
            const ItemFormat format = item_format(view.format);
            if (view.ndim == 1 && format.kind != ItemKind::none && plausible_item_size(format, view.itemsize))
                return std::make_unique<BufferColumn>(view, format);
            PyBuffer_Release(&view);
        } else {
            PyErr_Clear();  // numpy's object arrays have no buffer: read them as a sequence
        }
    }
    return std::make_unique<SequenceColumn>(value, name);
}

std::unique_ptr<Column> packed_text_column(PyObject* blob, PyObject* ends, bool uuids) {
    return std::make_unique<PackedTextColumn>(blob, ends, uuids);
}

std::unique_ptr<Column> constant_column(std::size_t size, std::uint64_t count) {
    return std::make_unique<ConstantColumn>(size, count);
}

std::uint32_t spelling_of_cell(RowTable& rows, PyObject* fold, const Cell& cell) {
    switch (cell.kind) {
        case Cell::Kind::object: return spelling_of(rows, fold, cell.object);
        case Cell::Kind::text: return spelling_of_text(rows, fold, cell.text, nullptr);
        case Cell::Kind::missing: throw RowRefused("the term is missing (null)");
        default: throw RowRefused("the term must be a non-empty str");
    }
}

std::uint32_t video_of_cell(RowTable& rows, const Cell& cell) {
    switch (cell.kind) {
        case Cell::Kind::object: return video_of(rows, cell.object);
        case Cell::Kind::text: return video_of_text(rows, cell.text);
        case Cell::Kind::uuid_bytes: return rows.intern_video(VideoIdKind::uuid, cell.text);
        case Cell::Kind::signed_integer: return video_of_integer(rows, cell.signed_value);
        case Cell::Kind::unsigned_integer:
            if (cell.unsigned_value > static_cast<std::uint64_t>(INT64_MAX))
                throw RowRefused("a video id given as an int must fit in 64 bits (signed)");
            return video_of_integer(rows, static_cast<std::int64_t>(cell.unsigned_value));
        case Cell::Kind::missing: throw RowRefused("the video is missing (null)");
        case Cell::Kind::real: break;
    }
    throw RowRefused("the video must be a UUID, a str or an int, not a float");
}

std::uint64_t count_of_cell(const Cell& cell) {
    switch (cell.kind) {
        case Cell::Kind::object: return count_of(cell.object);
        case Cell::Kind::signed_integer: return count_of_signed(cell.signed_value);
        case Cell::Kind::unsigned_integer: return cell.unsigned_value;
        case Cell::Kind::real: return count_of_double(cell.real);
        case Cell::Kind::missing: throw RowRefused("the count is missing (null)");
        default: throw RowRefused("the count must be an int");
    }
}

std::string shown(const Cell& cell) {
    char number[64];
    switch (cell.kind) {
        case Cell::Kind::object: return shown(cell.object);
        case Cell::Kind::missing: return "None";
        case Cell::Kind::signed_integer: return std::to_string(cell.signed_value);
        case Cell::Kind::unsigned_integer: return std::to_string(cell.unsigned_value);
        case Cell::Kind::real: std::snprintf(number, sizeof number, "%.17g", cell.real); return number;
        case Cell::Kind::uuid_bytes:
        case Cell::Kind::text: break;
    }
    // Quoted, with bytes that are no text shown as escapes, and cut short.
    std::string out = "'";
    for (std::size_t i = 0; i < cell.text.size() && out.size() < 64; ++i) {
        const auto byte = static_cast<unsigned char>(cell.text[i]);
        if (cell.kind == Cell::Kind::text && byte >= 0x20 && byte != 0x7F) {
            out.push_back(static_cast<char>(byte));
        } else {
            std::snprintf(number, sizeof number, "\\x%02x", byte);
            out += number;
        }
    }
    if (!utf8::is_valid(out)) out = "<" + std::to_string(cell.text.size()) + " bytes>";
    return out + (cell.text.size() > 60 ? "...'" : "'");
}

}  // namespace quellnor::binding
