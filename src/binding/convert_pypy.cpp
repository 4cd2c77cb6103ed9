#include "binding/convert_pypy.hpp"

#ifdef PYPY_VERSION

#include <array>
#include <cstring>
#include <string>

#include "binding/cache.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "fault.hpp"

namespace quellnor::binding::pypy {

namespace {

// An attribute of one of the interpreter's builtin modules, kept for the life
// of the process in `slot`; null when it cannot be had.
PyObject* builtin_attribute(OnceSlot<>& slot, const char* module_name, const char* name) {
    return slot.get([&] {
        Ref module(PyImport_ImportModule(module_name));
        PyObject* found = module ? PyObject_GetAttrString(module.get(), name) : nullptr;
        if (found == nullptr) PyErr_Clear();
        return found;
    });
}

OnceSlot<> list_strategy_slot;
OnceSlot<> array_type_slot;
OnceSlot<> chain_type_slot;

// A list stored in PyPy's unboxed int strategy holds exact ints only, whose
// conversion runs no Python code, and the interpreter's own array type copies
// it into unsigned 32-bit values in one call that runs no Python code either,
// so the lock is never given up. Any other list, or an int out of range,
// gives nothing here and goes the general way, which raises what it always
// raises.
std::optional<std::vector<std::uint32_t>> unboxed_u32(PyObject* list) {
    PyObject* strategy_of = builtin_attribute(list_strategy_slot, "__pypy__", "strategy");
    PyObject* array_type = builtin_attribute(array_type_slot, "array", "array");
    if (strategy_of == nullptr || array_type == nullptr) return std::nullopt;
    const Py_ssize_t size = PyList_GET_SIZE(list);
    if (size == 0) return std::vector<std::uint32_t>();
    Ref strategy(PyObject_CallFunctionObjArgs(strategy_of, list, nullptr));
    Ref array;
    if (strategy && PyUnicode_Check(strategy.get()) &&
        PyUnicode_CompareWithASCIIString(strategy.get(), "IntegerListStrategy") == 0) {
        array = Ref(PyObject_CallFunction(array_type, "sO", "I", list));
    }
    Py_buffer view;
    if (!array || PyObject_GetBuffer(array.get(), &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::optional<std::vector<std::uint32_t>> values;
    const auto size_in_bytes = static_cast<std::size_t>(size) * sizeof(std::uint32_t);
    if (static_cast<std::size_t>(view.len) == size_in_bytes) {
        values.emplace(static_cast<std::size_t>(size));
        std::memcpy(values->data(), view.buf, size_in_bytes);
    }
    PyBuffer_Release(&view);
    return values;
}

}  // namespace

std::optional<std::vector<std::uint32_t>> unboxed_u32_list(PyObject* value) {
    // Short lists cost less item by item than the calls that unbox them.
    constexpr Py_ssize_t kUnboxedMinimum = 32;
    if (!PyList_CheckExact(value) || PyList_GET_SIZE(value) < kUnboxedMinimum) return std::nullopt;
    return unboxed_u32(value);
}

std::span<const std::uint32_t> UnboxedPayloads::list(std::size_t node, std::size_t which) const {
    const std::size_t k = checked_at(first, node) + which;
    const std::size_t begin = checked_at(bounds, k), end = checked_at(bounds, k + 1);
    return std::span<const std::uint32_t>(values).subspan(begin, end - begin);
}

// Unboxed together only when each payload is a plain tuple: exact, of three
// items, an exact int and two exact lists. No payload then runs Python code
// while it converts, so none can change another before its turn, and reading
// them all at once is the same as reading them one by one. Otherwise
// nothing: each converts on its own.
std::optional<UnboxedPayloads> unbox_payload_lists(const std::vector<Ref>& items) {
    PyObject* chain = builtin_attribute(chain_type_slot, "itertools", "chain");
    Ref lists(PyList_New(0));
    if (chain == nullptr || !lists) return std::nullopt;
    UnboxedPayloads unboxed;
    unboxed.first.resize(items.size());
    unboxed.bounds.push_back(0);
    for (std::size_t node = 0; node < items.size(); ++node) {
        PyObject* tuple = items[node].get();
        if (tuple == nullptr) continue;
        if (!PyTuple_CheckExact(tuple) || PyTuple_GET_SIZE(tuple) != 3 ||
            !PyLong_CheckExact(PyTuple_GET_ITEM(tuple, 0))) {
            return std::nullopt;
        }
        unboxed.first[node] = unboxed.bounds.size() - 1;
        for (Py_ssize_t i = 1; i < 3; ++i) {
            PyObject* list = PyTuple_GET_ITEM(tuple, i);
            if (!PyList_CheckExact(list) || PyList_Append(lists.get(), list) < 0) return std::nullopt;
            const auto length = static_cast<std::size_t>(PyList_GET_SIZE(list));
            unboxed.bounds.push_back(unboxed.bounds.back() + length);
        }
    }
    Ref joined(PyObject_CallMethod(chain, "from_iterable", "O", lists.get()));
    Ref values(joined ? PySequence_List(joined.get()) : nullptr);
    auto unboxed_values = values ? unboxed_u32(values.get()) : std::nullopt;
    if (!unboxed_values || unboxed_values->size() != unboxed.bounds.back()) return std::nullopt;
    unboxed.values = std::move(*unboxed_values);
    return unboxed;
}

// PyPy makes each int that C asks for an object of its own, with a proxy to
// match; the few small values a result holds are made once and shared, as
// CPython does itself.
PyObject* small_int(long value) {
    static std::array<OnceSlot<>, 16> made;
    if (value < 0 || static_cast<std::size_t>(value) >= made.size()) return nullptr;
    PyObject* shared = made[static_cast<std::size_t>(value)].get(
        [&] { return checked_result(PyLong_FromLong(value)); });
    return Ref::borrowed(shared).release();
}

// A fresh string that crosses from C into PyPy costs more than the ranking.
PyObject* key_string(const RankedVideo& video, std::vector<PyObject*>& key_strings) {
    if (video.video >= key_strings.size()) key_strings.resize(std::size_t{video.video} + 1, nullptr);
    PyObject*& slot = key_strings[video.video];
    if (slot == nullptr) slot = to_python({video.key.data(), video.key.size()});
    return Ref::borrowed(slot).release();
}

namespace {

// A result list of small tuples built in C costs more than the search behind
// it, since every object C hands over gets a proxy. The JIT builds the same
// list several times faster from Python code: the numbers go over packed
// into one bytes object, which struct reads back bit for bit, and the
// strings as one object, joined into one str (terms) or as a tuple of the
// strings an index keeps (video keys). Assembling the list with the builtins
// called one by one from C (split, struct.unpack or array, zip, list) takes
// 35 to 50 % longer than these functions, since nothing of it is compiled by
// the JIT and every intermediate object crosses into C. Calling into Python
// has a cost of its own, about 1.5 us, which a single match does not earn
// back. A ranking costs less per item from C, since its key strings are
// kept, so it takes the builder only from 8 videos on (measured: 0.3 us a
// video from C, 0.05 through the builder).
constexpr std::size_t kFewestMatches = 2;
constexpr std::size_t kFewestVideos = 8;

PythonSource list_builders{
    "from struct import unpack as _unpack\n"
    "def ranked_list(keys, shares):\n"
    "    return list(zip(keys, _unpack('%dd' % len(keys), shares)))\n"
    "def match_list(terms, numbers):\n"
    "    numbers = _unpack('%dI' % (len(numbers) // 4), numbers)\n"
    "    out = []\n"
    "    i = 0\n"
    "    for term in terms.split('\\0'):\n"
    "        out.append((term, numbers[i], numbers[i + 1]))\n"
    "        i += 2\n"
    "    return out\n"};

OnceSlot<> ranked_list_slot;
OnceSlot<> match_list_slot;

// One of the builders above; null when it cannot be had, and then the caller
// goes the general way.
PyObject* list_builder(OnceSlot<>& slot, const char* name) {
    PyObject* found = source_function(list_builders, slot, name);
    PyErr_Clear();
    return found;
}

// Calls a builder with its strings (one object) and its packed numbers.
template <class Number>
PyObject* call_builder(PyObject* builder, const Ref& strings, const std::vector<Number>& numbers) {
    Ref packed(checked_result(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(numbers.data()),
        static_cast<Py_ssize_t>(numbers.size() * sizeof(Number)))));
    return checked_result(
        PyObject_CallFunctionObjArgs(builder, strings.get(), packed.get(), nullptr));
}

}  // namespace

PyObject* text_pair_list(const std::string& texts, const std::vector<std::uint32_t>& numbers) {
    if (numbers.size() < 2 * kFewestMatches) return nullptr;
    PyObject* builder = list_builder(match_list_slot, "match_list");
    if (builder == nullptr) return nullptr;
    return call_builder(builder, Ref(to_python(texts)), numbers);
}

// The terms joined by U+0000, which no term holds (a node whose label is 0
// is never entered); per match two numbers, its terminal flag and its
// distance.
PyObject* match_list(const Trie& index, const std::vector<MatchResult>& matches) {
    if (matches.size() < kFewestMatches) return nullptr;
    std::string terms;
    std::vector<std::uint32_t> numbers;
    numbers.reserve(2 * matches.size());
    for (const MatchResult& match : matches) {
        if (!numbers.empty()) terms += '\0';
        terms += match.term;
        numbers.push_back(checked_at(index.is_terminal, match.node_id));
        numbers.push_back(match.distance);
    }
    return text_pair_list(terms, numbers);
}

// The keys go over as a tuple of the cached strings.
PyObject* ranked_list(const std::vector<RankedVideo>& videos, std::vector<PyObject*>& key_strings) {
    if (videos.size() < kFewestVideos) return nullptr;
    PyObject* builder = list_builder(ranked_list_slot, "ranked_list");
    if (builder == nullptr) return nullptr;
    Ref keys(checked_result(PyTuple_New(static_cast<Py_ssize_t>(videos.size()))));
    std::vector<double> shares(videos.size());
    for (std::size_t i = 0; i < videos.size(); ++i) {
        PyTuple_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(i), key_string(videos[i], key_strings));
        shares[i] = videos[i].share;
    }
    return call_builder(builder, keys, shares);
}

}  // namespace quellnor::binding::pypy

#endif
