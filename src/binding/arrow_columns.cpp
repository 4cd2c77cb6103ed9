#include "binding/arrow_columns.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "binding/errors.hpp"

// The Arrow C data interface: a stable ABI that every Arrow implementation
// exports, declared here as its specification gives it.
extern "C" {
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};
struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};
struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema*);
    int (*get_next)(ArrowArrayStream*, ArrowArray*);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};
}

namespace quellnor::binding {

namespace {

[[noreturn]] void unsupported(const std::string& what) { throw MessageError(PyExc_TypeError, what); }

enum class Layout { utf8, large_utf8, fixed16, signed_integer, unsigned_integer, real };

struct ColumnType {
    Layout layout;
    std::size_t width;  // bytes per value of fixed-width layouts
    std::int64_t buffers;
};

ColumnType column_type(const ArrowSchema& schema) {
    const std::string format = schema.format ? schema.format : "";
    const std::string name = schema.name ? schema.name : "?";
    if (schema.dictionary != nullptr)
        unsupported("the Arrow column " + name + " is dictionary-encoded: decode it first");
    if (format == "u") return {Layout::utf8, 0, 3};
    if (format == "U") return {Layout::large_utf8, 0, 3};
    if (format == "w:16") return {Layout::fixed16, 16, 2};
    if (format.size() == 1) {
        const char code = format[0];
        const std::string widths = "cCsSiIlL";
        if (const auto at = widths.find(code); at != std::string::npos)
            return {at % 2 == 0 ? Layout::signed_integer : Layout::unsigned_integer, std::size_t{1} << (at / 2), 2};
        if (code == 'f') return {Layout::real, 4, 2};
        if (code == 'g') return {Layout::real, 8, 2};
    }
    unsupported("the Arrow column " + name + " has type '" + format +
                "', which holds no terms, videos or counts (string, integer, float or 16-byte binary)");
}

class ArrowColumn final : public Column {
public:
    ArrowColumn(const ArrowSchema& schema, const ArrowArray& array, std::int64_t parent_offset)
        : type_(column_type(schema)), array_(array), offset_(array.offset + parent_offset) {
        if (array.n_buffers != type_.buffers)
            unsupported("an Arrow column with " + std::to_string(array.n_buffers) + " buffers where its type has " +
                        std::to_string(type_.buffers));
        validity_ = array.null_count == 0 ? nullptr : static_cast<const std::uint8_t*>(array.buffers[0]);
    }
    std::size_t size() const override { return static_cast<std::size_t>(array_.length); }
    Cell at(std::size_t row) override {
        const auto i = static_cast<std::int64_t>(row) + offset_;
        Cell cell;
        if (validity_ != nullptr && ((validity_[i >> 3] >> (i & 7)) & 1) == 0) return cell;
        const auto* data = static_cast<const std::uint8_t*>(array_.buffers[type_.buffers - 1]);
        switch (type_.layout) {
            case Layout::utf8: return text(static_cast<const std::int32_t*>(array_.buffers[1]), data, i);
            case Layout::large_utf8: return text(static_cast<const std::int64_t*>(array_.buffers[1]), data, i);
            case Layout::fixed16:
                cell.kind = Cell::Kind::uuid_bytes;
                cell.text = {reinterpret_cast<const char*>(data) + 16 * i, 16};
                return cell;
            case Layout::signed_integer:
                cell.kind = Cell::Kind::signed_integer;
                cell.signed_value = load_signed(data + type_.width * static_cast<std::size_t>(i), type_.width);
                return cell;
            case Layout::unsigned_integer:
                cell.kind = Cell::Kind::unsigned_integer;
                cell.unsigned_value = load_unsigned(data + type_.width * static_cast<std::size_t>(i), type_.width);
                return cell;
            case Layout::real:
                cell.kind = Cell::Kind::real;
                cell.real = load_real(data + type_.width * static_cast<std::size_t>(i), type_.width);
                return cell;
        }
        return cell;
    }

    std::string_view text_ahead(std::size_t row) const override {
        const auto i = static_cast<std::int64_t>(row) + offset_;
        const auto* data = static_cast<const char*>(array_.buffers[type_.buffers - 1]);
        if (type_.layout == Layout::utf8) return span_of(static_cast<const std::int32_t*>(array_.buffers[1]), data, i);
        if (type_.layout == Layout::large_utf8)
            return span_of(static_cast<const std::int64_t*>(array_.buffers[1]), data, i);
        return {};
    }

private:
    template <class Offset>
    static std::string_view span_of(const Offset* offsets, const char* data, std::int64_t i) {
        const Offset begin = offsets[i], end = offsets[i + 1];
        return end > begin ? std::string_view(data + begin, static_cast<std::size_t>(end - begin)) : std::string_view();
    }

    template <class Offset>
    static Cell text(const Offset* offsets, const std::uint8_t* data, std::int64_t i) {
        Cell cell;
        cell.kind = Cell::Kind::text;
        const Offset begin = offsets[i], end = offsets[i + 1];
        if (end < begin) throw MessageError(PyExc_ValueError, "an Arrow string column whose offsets go backwards");
        cell.text = {reinterpret_cast<const char*>(data) + begin, static_cast<std::size_t>(end - begin)};
        return cell;
    }
    ColumnType type_;
    const ArrowArray& array_;
    std::int64_t offset_;
    const std::uint8_t* validity_ = nullptr;
};

// Owns what the producer handed over and releases it, as the interface asks.
template <class T>
struct Released {
    T value{};
    ~Released() {
        if (value.release != nullptr) value.release(&value);
    }
};

[[noreturn]] void stream_failed(ArrowArrayStream* stream, int code) {
    const char* error = stream->get_last_error ? stream->get_last_error(stream) : nullptr;
    throw MessageError(PyExc_ValueError, std::string("reading the Arrow stream failed: ") +
                                             (error ? error : std::strerror(code)));
}

// The children of the table's schema that hold the term, the video and
// the count: those so named, else the first two or three of as many.
std::vector<std::int64_t> chosen_columns(const ArrowSchema& schema) {
    if (std::string(schema.format ? schema.format : "") != "+s")
        unsupported("an Arrow stream of tables (struct batches) was expected");
    const auto named = [&](const char* wanted) -> std::int64_t {
        for (std::int64_t c = 0; c < schema.n_children; ++c)
            if (schema.children[c]->name != nullptr && std::strcmp(schema.children[c]->name, wanted) == 0) return c;
        return -1;
    };
    std::vector<std::int64_t> chosen;
    const std::int64_t term = named("term"), video = named("video"), count = named("count");
    if (term >= 0 && video >= 0) chosen = {term, video};
    if (!chosen.empty() && count >= 0) chosen.push_back(count);
    if (chosen.size() >= 2) return chosen;
    if (schema.n_children != 2 && schema.n_children != 3)
        unsupported("an Arrow table needs columns named term, video and count, or two or three columns, not " +
                    std::to_string(schema.n_children));
    chosen.clear();
    for (std::int64_t c = 0; c < schema.n_children; ++c) chosen.push_back(c);
    return chosen;
}

}  // namespace

void for_each_arrow_batch(PyObject* capsule, const std::function<void(Column&, Column&, Column*)>& each) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) PythonError::raise_pending();
    if (stream->release == nullptr) throw MessageError(PyExc_ValueError, "the Arrow stream was already consumed");
    Released<ArrowSchema> schema;
    if (const int code = stream->get_schema(stream, &schema.value)) stream_failed(stream, code);
    const std::vector<std::int64_t> chosen = chosen_columns(schema.value);
    for (;;) {
        Released<ArrowArray> batch;
        if (const int code = stream->get_next(stream, &batch.value)) stream_failed(stream, code);
        if (batch.value.release == nullptr) return;  // the end of the stream
        if (batch.value.n_children != schema.value.n_children)
            throw MessageError(PyExc_ValueError, "an Arrow batch whose columns are not its schema's");
        const auto column = [&](std::size_t k) {
            const std::int64_t c = chosen[k];
            return ArrowColumn(*schema.value.children[c], *batch.value.children[c], batch.value.offset);
        };
        ArrowColumn terms = column(0), videos = column(1);
        if (chosen.size() == 3) {
            ArrowColumn counts = column(2);
            each(terms, videos, &counts);
        } else {
            each(terms, videos, nullptr);
        }
    }
}

}  // namespace quellnor::binding
