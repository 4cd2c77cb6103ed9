#include "convert.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#include "prefix/matcher.hpp"
#include "ranking.hpp"

namespace quellnor::binding {

namespace {

constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";
// Room reserved from a size hint is capped: the hint comes from the caller's
// __len__ and only saves reallocations.
constexpr Py_ssize_t kMaxReservedItems = Py_ssize_t{1} << 20;

[[noreturn]] void out_of_range() {
    throw MessageError(PyExc_OverflowError, "out of range integral type conversion attempted");
}

long as_long(PyObject* value) {
    const long result = PyLong_AsLong(value);
    if (result == -1 && PyErr_Occurred()) PythonError::raise_pending();
    return result;
}

// UTF-8 of a str, strictly: a lone surrogate fails with UnicodeEncodeError.
std::string_view utf8_of(PyObject* value) {
    if (PyUnicode_Check(value) <= 0) raise_type_mismatch(value, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) PythonError::raise_pending();
    return {data, static_cast<std::size_t>(size)};
}

char32_t first_code_point(std::string_view utf8) {
    if (utf8.empty()) return 0;
    const auto lead = static_cast<unsigned char>(utf8[0]);
    if (lead < 0x80) return lead;
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    char32_t code = lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        code = (code << 6) | (static_cast<unsigned char>(utf8[static_cast<std::size_t>(i)]) & 0x3F);
    }
    return code;
}

bool is_numpy_bool_type(PyTypeObject* type) {
    auto* type_object = reinterpret_cast<PyObject*>(type);
    auto attribute_equals = [&](const char* attribute, std::initializer_list<const char*> options) {
        Ref found(PyObject_GetAttr(type_object, interned(attribute)));
        if (!found || !PyUnicode_Check(found.get())) {
            PyErr_Clear();
            return false;
        }
        return std::any_of(options.begin(), options.end(), [&](const char* option) {
            return PyUnicode_CompareWithASCIIString(found.get(), option) == 0;
        });
    };
    return attribute_equals("__module__", {"numpy"}) && attribute_equals("__name__", {"bool_", "bool"});
}

bool numpy_bool(PyObject* value) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Ref method(PyObject_GetAttr(type, interned("__bool__")));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) PythonError::raise_pending();
        PyErr_Clear();
        Ref type_text(PyObject_Str(type));
        const char* name = type_text ? PyUnicode_AsUTF8(type_text.get()) : nullptr;
        if (name == nullptr) PythonError::raise_pending();
        throw MessageError(PyExc_TypeError, std::string("object of type '") + name +
                                                "' does not define a '__bool__' conversion");
    }
    Ref result(PyObject_CallFunctionObjArgs(method.get(), value, nullptr));
    if (!result) PythonError::raise_pending();
    if (!PyBool_Check(result.get())) raise_type_mismatch(result.get(), "PyBool");
    return result.get() == Py_True;
}

// Iterates any sequence except a str, calling `take` on each item.
template <class Take>
void for_each_item(PyObject* value, Py_ssize_t& size_hint, Take&& take) {
    if (PyUnicode_Check(value) > 0) throw MessageError(PyExc_TypeError, kStrToVec);
    if (PySequence_Check(value) == 0) raise_type_mismatch(value, "Sequence");
    size_hint = PySequence_Size(value);
    if (size_hint < 0) {
        PyErr_Clear();
        size_hint = 0;
    }
    size_hint = std::min(size_hint, kMaxReservedItems);
    Ref iterator(PyObject_GetIter(value));
    if (!iterator) PythonError::raise_pending();
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        Ref item(raw);
        take(item);
    }
    if (PyErr_Occurred()) PythonError::raise_pending();
}

}  // namespace

std::uint32_t to_u32(PyObject* value) {
    const long result = as_long(value);
    if (result < 0 || static_cast<unsigned long>(result) > UINT32_MAX) out_of_range();
    return static_cast<std::uint32_t>(result);
}

std::uint8_t to_u8(PyObject* value) {
    const long result = as_long(value);
    if (result < 0 || result > UINT8_MAX) out_of_range();
    return static_cast<std::uint8_t>(result);
}

std::uint64_t to_usize(PyObject* value) {
    unsigned long long result;
    if (PyLong_Check(value)) {
        result = PyLong_AsUnsignedLongLong(value);
    } else {
        Ref index(PyNumber_Index(value));
        if (!index) PythonError::raise_pending();
        result = PyLong_AsUnsignedLongLong(index.get());
    }
    if (result == ULLONG_MAX && PyErr_Occurred()) PythonError::raise_pending();
    return result;
}

std::string_view to_text(PyObject* value) { return utf8_of(value); }

char32_t to_label(PyObject* value) { return first_code_point(utf8_of(value)); }

std::span<const std::uint8_t> to_byte_view(PyObject* value) {
    if (!PyBytes_Check(value)) raise_type_mismatch(value, "PyBytes");
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(value))};
}

bool to_bool(PyObject* value) {
    if (Py_TYPE(value) == &PyBool_Type) return value == Py_True;
    if (is_numpy_bool_type(Py_TYPE(value))) return numpy_bool(value);
    raise_type_mismatch(value, "PyBool");
}

template <class Item>
std::vector<Item> to_array(PyObject* value, Item (*convert_item)(PyObject*)) {
    std::vector<Item> items;
    Py_ssize_t size_hint = 0;
    bool reserved = false;
    for_each_item(value, size_hint, [&](const Ref& item) {
        if (!reserved) {
            items.reserve(static_cast<std::size_t>(size_hint));
            reserved = true;
        }
        items.push_back(convert_item(item.get()));
    });
    return items;
}

template std::vector<std::uint32_t> to_array(PyObject*, std::uint32_t (*)(PyObject*));
template std::vector<char32_t> to_array(PyObject*, char32_t (*)(PyObject*));
template std::vector<VideoKeyInput> to_array(PyObject*, VideoKeyInput (*)(PyObject*));

VideoKeyInput to_video_key(PyObject* value) {
    VideoKeyInput key;
    Py_ssize_t size_hint = 0;
    for_each_item(value, size_hint, [&](const Ref& item) {
        const std::uint8_t byte = to_u8(item.get());
        if (key.length < key.bytes.size()) key.bytes[key.length] = byte;
        ++key.length;
    });
    return key;
}

std::vector<Ref> to_optional_objects(PyObject* value) {
    std::vector<Ref> items;
    Py_ssize_t size_hint = 0;
    bool reserved = false;
    for_each_item(value, size_hint, [&](Ref& item) {
        if (!reserved) {
            items.reserve(static_cast<std::size_t>(size_hint));
            reserved = true;
        }
        items.push_back(item.get() == Py_None ? Ref() : std::move(item));
    });
    return items;
}

Payload PayloadObjects::convert(std::size_t node) {
    // The reference goes once the payload is converted, or with the builder.
    Ref object = std::move(checked_at(items_, node));
    if (!object) throw Fault("no payload object for node " + std::to_string(node));
    if (!PyTuple_Check(object.get())) raise_type_mismatch(object.get(), "PyTuple");
    if (PyTuple_GET_SIZE(object.get()) != 3) throw InputError("Payload tuple must have 3 elements");
    Payload payload;
    payload.total_count = to_u32(PyTuple_GET_ITEM(object.get(), 0));
    payload.video_ids = to_array(PyTuple_GET_ITEM(object.get(), 1), to_u32);
    payload.video_counts = to_array(PyTuple_GET_ITEM(object.get(), 2), to_u32);
    if (payload.video_ids.size() != payload.video_counts.size()) {
        throw InputError("video_ids and video_counts length mismatch");
    }
    return payload;
}

PyObject* to_python(std::string_view text) {
    return checked_result(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

namespace {

PyObject* new_list(std::size_t size) {
    return checked_result(PyList_New(static_cast<Py_ssize_t>(size)));
}

// A tuple filled in order, each element converted before it is stored.
template <class... Element>
PyObject* new_tuple(Element... element) {
    Ref tuple(checked_result(PyTuple_New(sizeof...(Element))));
    Py_ssize_t position = 0;
    ((PyTuple_SET_ITEM(tuple.get(), position++, element())), ...);
    return tuple.release();
}

}  // namespace

PyObject* match_list(const Trie& index, std::vector<MatchResult>&& matches) {
    Ref list(new_list(matches.size()));
    for (std::size_t i = 0; i < matches.size(); ++i) {
        const MatchResult& match = matches[i];
        const auto terminal = static_cast<std::int32_t>(checked_at(index.is_terminal, match.node_id));
        PyObject* tuple = new_tuple(
            [&] { return to_python(match.term); },
            [&] { return checked_result(PyLong_FromLong(terminal)); },
            [&] { return checked_result(PyLong_FromLong(static_cast<long>(match.distance))); });
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
}

PyObject* ranked_list(std::vector<RankedVideo>&& videos) {
    Ref list(new_list(videos.size()));
    for (std::size_t i = 0; i < videos.size(); ++i) {
        const RankedVideo& video = videos[i];
        PyObject* tuple = new_tuple(
            [&] { return to_python({video.key.data(), video.key.size()}); },
            [&] { return checked_result(PyFloat_FromDouble(video.share)); });
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
}

}  // namespace quellnor::binding
