#include "binding/convert.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "binding/cache.hpp"
#include "binding/storage_pypy.hpp"
#include "fault.hpp"
#include "progress.hpp"
#include "text/utf8.hpp"

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
// On PyPy the text of a subclass is read from a copy of its storage, which
// `keeper` holds for as long as the view is used.
std::string_view utf8_of(PyObject* value, [[maybe_unused]] Ref& keeper) {
    if (PyUnicode_Check(value) <= 0) raise_type_mismatch(value, "PyString");
#ifdef PYPY_VERSION
    if (!PyUnicode_CheckExact(value)) {
        keeper = pypy::stored_text(value);
        value = keeper.get();
    }
#endif
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) PythonError::raise_pending();
    return {data, static_cast<std::size_t>(size)};
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

// Whether a sequence is read in place rather than through its iterator.
bool read_in_place(PyObject* value) {
#ifdef PYPY_VERSION
    // PyPy gives C a list's items in place only by switching the caller's list
    // for good to storage of C objects, larger and slower for Python code to
    // use afterwards; its iterator leaves the list as it is.
    return PyTuple_CheckExact(value);
#else
    return PyList_CheckExact(value) || PyTuple_CheckExact(value);
#endif
}

// Calls `take` on each item of an exact list or tuple, read in place. The
// same items in the same order as the iterator gives: the sequence is held
// for the loop, and a list's size read again at every step, since converting
// an item can run Python code that resizes it.
template <class Take>
void each_in_place(PyObject* value, Py_ssize_t& size_hint, Take&& take) {
    const Ref held = Ref::borrowed(value);
    const bool list = PyList_CheckExact(value);
    auto size = [&] { return list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value); };
    auto at = [&](Py_ssize_t i) { return list ? PyList_GET_ITEM(value, i) : PyTuple_GET_ITEM(value, i); };
    size_hint = std::min(size(), kMaxReservedItems);
    Progress progress;
    for (Py_ssize_t i = 0; i < size(); ++i) {
        progress.advance();
        const Ref item = Ref::borrowed(at(i));
        take(item.get());
    }
}

// Whether converting an item can run the caller's Python code and go on,
// code that may change the sequence being read.
enum class ItemCode {
    // It can: each item is read only when its turn comes.
    may_run,
    // It cannot (the item is held, or read in a way that calls none of its
    // methods), so nothing changes the sequence while it is read.
    never_runs,
};

// Iterates any sequence except a str, calling `take` on each item, which stays
// alive during the call.
template <ItemCode code = ItemCode::may_run, class Take>
void for_each_item(PyObject* value, Py_ssize_t& size_hint, Take&& take) {
    if (read_in_place(value)) {
        each_in_place(value, size_hint, take);
        return;
    }
    if (PyUnicode_Check(value) > 0) throw MessageError(PyExc_TypeError, kStrToVec);
    if (PySequence_Check(value) == 0) raise_type_mismatch(value, "Sequence");
    size_hint = PySequence_Size(value);
    if (size_hint < 0) {
        PyErr_Clear();
        size_hint = 0;
    }
    size_hint = std::min(size_hint, kMaxReservedItems);
#ifdef PYPY_VERSION
    // PyPy makes each item that crosses into C a C object, and gets some
    // wrong (see storage_pypy.hpp). Where nothing can change the sequence
    // while it is read, its items all cross at once, as one tuple.
    if constexpr (code == ItemCode::never_runs) {
        const Ref items = pypy::stored_items(value);
        Py_ssize_t ignored = 0;
        each_in_place(items.get(), ignored, take);
        return;
    }
    Ref iterator = pypy::iterate_storage(value);
#else
    Ref iterator(PyObject_GetIter(value));
#endif
    if (!iterator) PythonError::raise_pending();
    Progress progress;
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        const Ref item(raw);
        progress.advance();
        take(item.get());
    }
    if (PyErr_Occurred()) PythonError::raise_pending();
}

// Appends every item of `value`, converted by `convert`. Room for the size
// hint is made when the first item arrives, by which time the hint is known.
template <ItemCode code = ItemCode::may_run, class Item, class Convert>
void append_items(PyObject* value, std::vector<Item>& items, Convert&& convert) {
    Py_ssize_t size_hint = 0;
    bool reserved = false;
    for_each_item<code>(value, size_hint, [&](PyObject* item) {
        if (!reserved) {
            items.reserve(static_cast<std::size_t>(size_hint));
            reserved = true;
        }
        items.push_back(convert(item));
    });
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

HeldText to_text(PyObject* value) {
    HeldText text;
    text.utf8 = utf8_of(value, text.keeper);
    return text;
}

char32_t to_label(PyObject* value) {
#ifndef PYPY_VERSION
    // An ASCII str is its own UTF-8, so its first character is read in place.
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
        return PyUnicode_GET_LENGTH(value) == 0 ? 0 : PyUnicode_1BYTE_DATA(value)[0];
    }
#endif
    Ref keeper;
    return utf8::first_code_point(utf8_of(value, keeper));
}

HeldBytes to_byte_view(PyObject* value) {
    if (!PyBytes_Check(value)) raise_type_mismatch(value, "PyBytes");
    HeldBytes bytes;
#ifdef PYPY_VERSION
    if (!PyBytes_CheckExact(value)) {
        bytes.keeper = pypy::stored_bytes(value);
        value = bytes.keeper.get();
    }
#endif
    bytes.data = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(value))};
    return bytes;
}

bool to_bool(PyObject* value) {
    if (Py_TYPE(value) == &PyBool_Type) return value == Py_True;
    if (is_numpy_bool_type(Py_TYPE(value))) return numpy_bool(value);
    raise_type_mismatch(value, "PyBool");
}

template <class Item>
void to_array_into(PyObject* value, Item (*convert_item)(PyObject*), std::vector<Item>& items) {
    items.clear();
#ifdef PYPY_VERSION
    if constexpr (std::is_same_v<Item, std::uint32_t>) {
        if (convert_item == to_u32) {
            if (auto values = pypy::unboxed_u32_list(value)) {
                items = std::move(*values);
                return;
            }
        }
    }
#endif
    // Reading a label calls none of its methods.
    if constexpr (std::is_same_v<Item, char32_t>) {
        if (convert_item == to_label) return append_items<ItemCode::never_runs>(value, items, convert_item);
    }
    append_items(value, items, convert_item);
}

template <class Item>
std::vector<Item> to_array(PyObject* value, Item (*convert_item)(PyObject*)) {
    std::vector<Item> items;
    to_array_into(value, convert_item, items);
    return items;
}

template std::vector<std::uint32_t> to_array(PyObject*, std::uint32_t (*)(PyObject*));
template std::vector<char32_t> to_array(PyObject*, char32_t (*)(PyObject*));
template std::vector<VideoKeyInput> to_array(PyObject*, VideoKeyInput (*)(PyObject*));

VideoKeyInput to_video_key(PyObject* value) {
    VideoKeyInput key;
    if (PyBytes_CheckExact(value)) {
        // Iterating bytes gives ints that are all within the byte range.
        key.length = static_cast<std::size_t>(PyBytes_GET_SIZE(value));
        std::memcpy(key.bytes.data(), PyBytes_AS_STRING(value), std::min(key.length, key.bytes.size()));
        return key;
    }
    Py_ssize_t size_hint = 0;
    for_each_item(value, size_hint, [&](PyObject* item) {
        const std::uint8_t byte = to_u8(item);
        if (key.length < key.bytes.size()) key.bytes[key.length] = byte;
        ++key.length;
    });
    return key;
}

std::vector<Ref> to_optional_objects(PyObject* value) {
    std::vector<Ref> items;
    append_items<ItemCode::never_runs>(value, items, [](PyObject* item) {
        return item == Py_None ? Ref() : Ref::borrowed(item);
    });
    return items;
}

namespace {

const PayloadView& with_equal_lengths(const PayloadView& payload) {
    if (payload.video_ids.size() != payload.video_counts.size())
        throw InputError("video_ids and video_counts length mismatch");
    return payload;
}

}  // namespace

PayloadView PayloadObjects::convert(std::size_t node) {
#ifdef PYPY_VERSION
    if (!unboxing_tried_) {
        unboxing_tried_ = true;
        unboxed_ = pypy::unbox_payload_lists(items_);
        // A failed attempt is only a missed shortcut.
        PyErr_Clear();
    }
#endif
    // The reference goes once the payload is converted, or with the builder.
    Ref object = std::move(checked_at(items_, node));
    if (!object) throw Fault("no payload object for node " + std::to_string(node));
    if (!PyTuple_Check(object.get())) raise_type_mismatch(object.get(), "PyTuple");
    if (PyTuple_GET_SIZE(object.get()) != 3) throw InputError("Payload tuple must have 3 elements");
    PayloadView payload{to_u32(PyTuple_GET_ITEM(object.get(), 0)), {}, {}};
#ifdef PYPY_VERSION
    if (unboxed_) {
        payload.video_ids = unboxed_->list(node, 0);
        payload.video_counts = unboxed_->list(node, 1);
        return with_equal_lengths(payload);
    }
#endif
    to_array_into(PyTuple_GET_ITEM(object.get(), 1), to_u32, converted_.video_ids);
    to_array_into(PyTuple_GET_ITEM(object.get(), 2), to_u32, converted_.video_counts);
    payload.video_ids = converted_.video_ids;
    payload.video_counts = converted_.video_counts;
    return with_equal_lengths(payload);
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

// An int object for a flag or a distance.
PyObject* small_int(long value) {
#ifdef PYPY_VERSION
    if (PyObject* shared = pypy::small_int(value)) return shared;
#endif
    return checked_result(PyLong_FromLong(value));
}

}  // namespace

PyObject* match_list(const Trie& index, std::vector<MatchResult>&& matches, const QueryText& query) {
#ifdef PYPY_VERSION
    if (PyObject* built = pypy::match_list(index, matches)) return built;
#endif
    // A term equal to the query is the caller's own str, when that is an
    // exact str: equal text, and no new string to make (on PyPy no new proxy).
    auto term_object = [&](const MatchResult& match) {
        if (match.distance == 0 && match.term == query.utf8 && PyUnicode_CheckExact(query.object)) {
            Py_INCREF(query.object);
            return query.object;
        }
        return to_python(match.term);
    };
    Ref list(new_list(matches.size()));
    Progress progress;
    for (std::size_t i = 0; i < matches.size(); ++i) {
        progress.advance();
        const MatchResult& match = matches[i];
        const auto terminal = static_cast<std::int32_t>(checked_at(index.is_terminal, match.node_id));
        PyObject* tuple = new_tuple(
            [&] { return term_object(match); },
            [&] { return small_int(terminal); },
            [&] { return small_int(static_cast<long>(match.distance)); });
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
}

namespace {

// One (key, share) tuple per video, its key string from `key_of(video)`.
template <class KeyOf>
PyObject* ranked_tuples(const std::vector<RankedVideo>& videos, KeyOf key_of) {
    Ref list(new_list(videos.size()));
    Progress progress;
    for (std::size_t i = 0; i < videos.size(); ++i) {
        progress.advance();
        const RankedVideo& video = videos[i];
        PyObject* tuple = new_tuple([&] { return key_of(video); },
                                    [&] { return checked_result(PyFloat_FromDouble(video.share)); });
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list.release();
}

}  // namespace

#ifdef PYPY_VERSION
PyObject* ranked_list(std::vector<RankedVideo>&& videos, std::vector<PyObject*>& key_strings) {
    if (PyObject* built = pypy::ranked_list(videos, key_strings)) return built;
    return ranked_tuples(videos,
                         [&](const RankedVideo& video) { return pypy::key_string(video, key_strings); });
}
#else
PyObject* ranked_list(std::vector<RankedVideo>&& videos) {
    return ranked_tuples(videos, [](const RankedVideo& video) {
        return to_python({video.key.data(), video.key.size()});
    });
}
#endif

PyObject* given_id_list(const std::vector<RankedVideo>& videos, const GivenVideoIds& ids) {
    return ranked_tuples(videos, [&](const RankedVideo& video) -> PyObject* {
        if (video.video >= ids.size()) throw Fault("a ranked video without an id");
        if (ids.kind == VideoIdKind::integer)
            return checked_result(PyLong_FromLongLong(ids.integer_at(video.video)));
        return to_python(ids.at(video.video));
    });
}

}  // namespace quellnor::binding
