#include "binding/suggest_convert.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "binding/convert.hpp"
#include "suggest/terms.hpp"

namespace quellnor::binding {

namespace {

std::string type_name(PyObject* value) {
    const char* name = Py_TYPE(value)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

[[noreturn]] void must_be(const char* what, PyObject* value) {
    throw MessageError(PyExc_TypeError, std::string("must be ") + what + ", not " + type_name(value));
}

}  // namespace

HeldText str_argument(PyObject* value) {
    if (!PyUnicode_Check(value)) must_be("str", value);
    return to_text(value);
}

std::uint64_t count_argument(PyObject* value, const char* name) {
    if (PyBool_Check(value)) must_be("an int", value);
    Ref number(PyNumber_Index(value));
    if (!number) PythonError::raise_pending();
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (result == -1 && PyErr_Occurred()) PythonError::raise_pending();
    if (overflow > 0) return UINT64_MAX;
    if (overflow < 0 || result < 0) {
        Ref text(PyObject_Str(number.get()));
        const char* shown = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (shown == nullptr) PythonError::raise_pending();
        throw MessageError(PyExc_ValueError,
                           std::string("argument '") + name + "': must not be negative, not " + shown);
    }
    return static_cast<std::uint64_t>(result);
}

std::optional<std::uint32_t> distance_argument(PyObject* value, const char* name) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(count_argument(value, name), UINT32_MAX));
}

std::vector<SpellingOfText> spellings_argument(PyObject* value) {
    if (!PyDict_Check(value)) must_be("a dict", value);
    std::vector<SpellingOfText> spellings;
    spellings.reserve(static_cast<std::size_t>(PyDict_Size(value)));
    Py_ssize_t position = 0;
    PyObject *term, *shown;
    while (PyDict_Next(value, &position, &term, &shown)) {
        // The builder passes exact strs, whose text is read in place and
        // needs no keeper; neither conversion runs Python code, so the dict
        // cannot change while it is read.
        if (!PyUnicode_CheckExact(term)) must_be("str", term);
        if (!PyUnicode_CheckExact(shown)) must_be("str", shown);
        spellings.push_back({to_text(term).utf8, to_text(shown).utf8});
    }
    return spellings;
}

namespace {

PyObject* new_list(std::size_t size) {
    return checked_result(PyList_New(static_cast<Py_ssize_t>(size)));
}

}  // namespace

#ifdef PYPY_VERSION
// PyPy builds the tuples faster from Python code: the terms go over joined
// by U+0000, which no term holds, and the numbers packed.
PyObject* suggestion_list_for_pypy(const TermIndex& terms, const std::vector<Suggestion>& found) {
    std::string joined, term;
    std::vector<std::uint32_t> numbers;
    numbers.reserve(2 * found.size());
    for (const Suggestion& s : found) {
        spell_term(terms, s.entry, term);
        if (!numbers.empty()) joined += '\0';
        joined += term;
        numbers.push_back(s.distance);
        numbers.push_back(s.weight);
    }
    return pypy::text_pair_list(joined, numbers);
}
#endif

PyObject* suggestion_list(const TermIndex& terms, const std::vector<Suggestion>& found) {
#ifdef PYPY_VERSION
    if (PyObject* built = suggestion_list_for_pypy(terms, found)) return built;
#endif
    Ref list(new_list(found.size()));
    std::string term;
    for (std::size_t i = 0; i < found.size(); ++i) {
        spell_term(terms, found[i].entry, term);
        // Each element is made before it is stored; the tuple owns it then.
        Ref tuple(checked_result(PyTuple_New(3)));
        PyTuple_SET_ITEM(tuple.get(), 0, to_python(term));
        PyTuple_SET_ITEM(tuple.get(), 1, checked_result(PyLong_FromUnsignedLong(found[i].distance)));
        PyTuple_SET_ITEM(tuple.get(), 2, checked_result(PyLong_FromUnsignedLong(found[i].weight)));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
    }
    return list.release();
}

PyObject* term_list(const TermIndex& terms, const std::vector<std::uint32_t>& entries) {
    Ref list(new_list(entries.size()));
    std::string term;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        spell_term(terms, entries[i], term);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(term));
    }
    return list.release();
}

}  // namespace quellnor::binding
