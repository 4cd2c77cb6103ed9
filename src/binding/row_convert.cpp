#include "binding/row_convert.hpp"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "binding/cache.hpp"
#include "binding/errors.hpp"
#include "binding/storage_pypy.hpp"
#include "fault.hpp"
#include "text/utf8.hpp"

namespace quellnor::binding {

namespace {

// The UTF-8 of a str's own characters (a subclass's __str__ is never asked),
// with what keeps it alive; empty `keeper` and a null data pointer when the
// text holds a lone surrogate.
struct Utf8 {
    std::string_view text;
    Ref keeper;
    bool valid = true;
};

Utf8 utf8_of_str(PyObject* value) {
    Utf8 out;
    PyObject* exact = value;
    if (!PyUnicode_CheckExact(value)) {
#ifdef PYPY_VERSION
        // PyPy's copy of a subclass would ask its __str__.
        out.keeper = pypy::stored_text(value);
#else
        out.keeper = Ref(PyUnicode_FromObject(value));
#endif
        if (!out.keeper) PythonError::raise_pending();
        exact = out.keeper.get();
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(exact, &size);
    if (data == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PythonError::raise_pending();
        PyErr_Clear();
        out.valid = false;
        return out;
    }
    out.text = {data, static_cast<std::size_t>(size)};
    return out;
}

}  // namespace

std::uint32_t spelling_of_text(RowTable& rows, PyObject* fold, std::string_view text, PyObject* object) {
    if (text.empty()) throw RowRefused("the term must be a non-empty str");
    if (const auto known = rows.find_spelling(text)) return *known;
    if (text.find('\0') != std::string_view::npos) throw RowRefused("the term contains a NUL character");
    Ref made;
    if (object == nullptr) {
        // Text from a column, never seen as a str: it must be UTF-8.
        if (!utf8::is_valid(text)) throw RowRefused("the term is not valid UTF-8");
        if (fold == nullptr) return rows.add_spelling(text, text);
        if (rows.lowers_ascii() && utf8::is_ascii(text)) return rows.add_lowered_spelling(text);
        made = Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
        if (!made) PythonError::raise_pending();
        object = made.get();
    }
    if (fold == nullptr) return rows.add_spelling(text, text);
    if (rows.lowers_ascii() && utf8::is_ascii(text)) return rows.add_lowered_spelling(text);
    Ref folded(PyObject_CallOneArg(fold, object));
    if (!folded) PythonError::raise_pending();
    if (!PyUnicode_CheckExact(folded.get())) raise_type_mismatch(folded.get(), "str");
    const Utf8 stored = utf8_of_str(folded.get());
    if (!stored.valid) throw RowRefused("the term is not valid Unicode text");
    if (stored.text.empty()) throw RowRefused("the term folds to an empty text");
    return rows.add_spelling(text, stored.text);
}

std::uint32_t spelling_of(RowTable& rows, PyObject* fold, PyObject* term) {
    if (PyUnicode_Check(term) <= 0) throw RowRefused("the term must be a non-empty str");
    const Utf8 original = utf8_of_str(term);
    if (!original.valid) throw RowRefused("the term is not valid Unicode text");
    return spelling_of_text(rows, fold, original.text, original.keeper ? original.keeper.get() : term);
}

namespace {

// Each byte's value as a hexadecimal digit (either case), or 0x10 and up.
constexpr std::array<std::uint8_t, 256> kHexValue = [] {
    std::array<std::uint8_t, 256> values{};
    values.fill(0xF0);
    for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) values[c] = static_cast<std::uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) values[c] = static_cast<std::uint8_t>(c - 'A' + 10);
    return values;
}();

// Where each of the 16 bytes' two digits start in the 8-4-4-4-12 text.
constexpr std::array<std::uint8_t, 16> kUuidDigitPairs = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};

// The 16 bytes of a UUID's 36-character text (8-4-4-4-12 hexadecimal
// digits, either case), or false. Every row of a build with UUID text comes
// here, so the digits are read without a branch each.
bool parse_uuid_text(std::string_view text, std::uint8_t (&key)[16]) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
    const auto* digits = reinterpret_cast<const unsigned char*>(text.data());
    std::uint8_t bad = 0;
    for (std::size_t byte = 0; byte < 16; ++byte) {
        const std::uint8_t high = kHexValue[digits[kUuidDigitPairs[byte]]];
        const std::uint8_t low = kHexValue[digits[kUuidDigitPairs[byte] + 1]];
        bad |= static_cast<std::uint8_t>(high | low);
        key[byte] = static_cast<std::uint8_t>(high << 4 | (low & 0x0F));
    }
    return (bad & 0xF0) == 0;
}

std::string_view bytes_view(const std::uint8_t (&key)[16]) { return {reinterpret_cast<const char*>(key), 16}; }

}  // namespace

std::uint32_t video_of_text(RowTable& rows, std::string_view text) {
    std::uint8_t key[16];
    if (rows.video_kind() != VideoIdKind::text && parse_uuid_text(text, key))
        return rows.intern_video(VideoIdKind::uuid, bytes_view(key));
    if (rows.video_kind() == VideoIdKind::uuid)
        throw RowRefused("the video key must be a UUID in its 36-character form (8-4-4-4-12 hexadecimal digits), "
                         "as this index's videos are UUIDs");
    if (!utf8::is_valid(text)) throw RowRefused("the video id is not valid UTF-8");
    return rows.intern_video(VideoIdKind::text, text);
}

std::uint32_t video_of_integer(RowTable& rows, std::int64_t id) {
    return rows.intern_video(VideoIdKind::integer, integer_id_key(id));
}

namespace {

PyObject* uuid_type() {
    static OnceSlot<> type;
    PyObject* found = type.get([] {
        Ref module(PyImport_ImportModule("uuid"));
        return module ? PyObject_GetAttrString(module.get(), "UUID") : nullptr;
    });
    if (found == nullptr) PythonError::raise_pending();
    return found;
}

std::uint32_t video_of_str(RowTable& rows, PyObject* video) {
    const Utf8 text = utf8_of_str(video);
    if (!text.valid) throw RowRefused("the video id is not valid Unicode text");
    return video_of_text(rows, text.text);
}

std::uint32_t video_of_bytes(RowTable& rows, PyObject* bytes) {
    if (!PyBytes_Check(bytes) || PyBytes_Size(bytes) != 16) {
        const Py_ssize_t size = PyBytes_Check(bytes) ? PyBytes_Size(bytes) : PyByteArray_Size(bytes);
        if (PyByteArray_Check(bytes) && size == 16)
            return rows.intern_video(VideoIdKind::uuid, {PyByteArray_AsString(bytes), 16});
        throw RowRefused("a video key given as bytes must be 16 bytes long, not " + std::to_string(size));
    }
    return rows.intern_video(VideoIdKind::uuid, {PyBytes_AsString(bytes), 16});
}

}  // namespace

std::uint32_t video_of(RowTable& rows, PyObject* video) {
    if (PyUnicode_Check(video)) return video_of_str(rows, video);
    if (PyBytes_Check(video) || PyByteArray_Check(video)) return video_of_bytes(rows, video);
    if (!PyBool_Check(video) && PyIndex_Check(video)) {
        Ref number(PyNumber_Index(video));
        if (!number) PythonError::raise_pending();
        int overflow = 0;
        const long long id = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
        if (id == -1 && PyErr_Occurred()) PythonError::raise_pending();
        if (overflow != 0) throw RowRefused("a video id given as an int must fit in 64 bits (signed)");
        return video_of_integer(rows, id);
    }
    const int is_uuid = PyObject_IsInstance(video, uuid_type());
    if (is_uuid < 0) PythonError::raise_pending();
    if (is_uuid == 0)
        throw RowRefused(std::string("the video must be a uuid.UUID, 16 bytes, a str or an int, not ") +
                         Py_TYPE(video)->tp_name);
    Ref bytes(PyObject_GetAttrString(video, "bytes"));
    if (!bytes) PyErr_Clear();
    if (!bytes || !PyBytes_CheckExact(bytes.get()) || PyBytes_GET_SIZE(bytes.get()) != 16)
        throw RowRefused("the video key is a uuid.UUID whose .bytes are not 16 bytes");
    return rows.intern_video(VideoIdKind::uuid, {PyBytes_AS_STRING(bytes.get()), 16});
}

std::uint64_t count_of_double(double value) {
    if (!std::isfinite(value) || value != std::floor(value)) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", value);
        throw RowRefused(std::string("the count must be a whole number, not ") + text);
    }
    if (value < 0) throw RowRefused("the count must not be negative");
    // Counts saturate long before 2**64; a larger float saturates too.
    return value >= 18446744073709551615.0 ? UINT64_MAX : static_cast<std::uint64_t>(value);
}

std::uint64_t count_of_signed(std::int64_t value) {
    if (value < 0) throw RowRefused("the count must not be negative");
    return static_cast<std::uint64_t>(value);
}

namespace {

std::uint64_t count_of_float(PyObject* count) {
    const double value = PyFloat_AS_DOUBLE(count);
    if (!std::isfinite(value) || value != std::floor(value))
        throw RowRefused("the count must be a whole number, not " + shown(count));
    return count_of_double(value);
}

}  // namespace

std::uint64_t count_of(PyObject* count) {
    if (PyBool_Check(count)) throw RowRefused("the count must be an int");
    if (PyFloat_Check(count)) return count_of_float(count);
    Ref number;
    if (!PyLong_Check(count)) {
        if (!PyIndex_Check(count)) throw RowRefused("the count must be an int");
        number = Ref(PyNumber_Index(count));
        if (!number) {
            PyErr_Clear();
            throw RowRefused("the count must be an int");
        }
        count = number.get();
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (value == -1 && PyErr_Occurred()) PythonError::raise_pending();
    if (overflow > 0) {
        // Past 63 bits: read unsigned, and past 64 saturated, as sums are.
        const unsigned long long big = PyLong_AsUnsignedLongLong(count);
        if (big == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) PythonError::raise_pending();
            PyErr_Clear();
            return UINT64_MAX;
        }
        return big;
    }
    if (overflow < 0 || value < 0) throw RowRefused("the count must not be negative");
    return static_cast<std::uint64_t>(value);
}

namespace {

bool immutable(PyObject* object) {
    return PyUnicode_CheckExact(object) || PyLong_CheckExact(object) ||
           reinterpret_cast<PyObject*>(Py_TYPE(object)) == uuid_type();
}

// `convert(object)`, or what it gave for the same object earlier in the batch.
template <class Convert>
std::uint32_t recalled(RecentObjects* recent, PyObject* object, Convert convert) {
    if (recent == nullptr) return convert(object);
    if (const auto known = recent->find(object)) return *known;
    const std::uint32_t number = convert(object);
    if (immutable(object)) recent->remember(object, number);
    return number;
}

}  // namespace

RowNumbers convert_row(RowTable& rows, PyObject* fold, PyObject* term, PyObject* video, PyObject* count,
                       RecentRows* recent) {
    const std::uint64_t number = count_of(count);
    const std::uint32_t spelling = recalled(recent ? &recent->terms : nullptr, term,
                                            [&](PyObject* t) { return spelling_of(rows, fold, t); });
    try {
        return {spelling, recalled(recent ? &recent->videos : nullptr, video,
                                   [&](PyObject* v) { return video_of(rows, v); }),
                number};
    } catch (const InputError& mixed) {
        throw RowRefused(mixed.what());
    }
}

std::string shown(PyObject* value) {
    Ref text(PyObject_Repr(value));
    const char* utf8 = nullptr;
    Py_ssize_t size = 0;
    if (text) utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::string("<") + Py_TYPE(value)->tp_name + " object>";
    }
    std::string out(utf8, static_cast<std::size_t>(size));
    if (out.size() > 80) {
        std::size_t cut = 60;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out = out.substr(0, cut) + "... (" + std::to_string(out.size()) + " bytes)";
    }
    return out;
}

}  // namespace quellnor::binding
