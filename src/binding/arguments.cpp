#include "binding/arguments.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace quellnor::binding {

void rethrow_with_argument_name(const char* name) {
    const std::string prefix = std::string("argument '") + name + "': ";
    try {
        throw;
    } catch (const MessageError& error) {
        if (error.type() != PyExc_TypeError) throw;
        throw MessageError(PyExc_TypeError, prefix + error.message());
    } catch (const PythonError&) {
        // Exactly TypeError: a subclass keeps its own identity and message.
        if (PythonError::pending_type() != PyExc_TypeError) throw;
        throw PythonError::with_prefix(prefix);
    }
}

namespace {

std::string display_name(const FunctionDescription& description) {
    return std::string(description.class_name) + "." + description.method_name + "()";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string push_parameter_list(std::span<const char* const> names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0 && names.size() > 2) list += ",";
        if (i > 0) list += (i + 1 == names.size()) ? " and " : " ";
        list += "'";
        list += names[i];
        list += "'";
    }
    return list;
}

// How many parameters may be given by position.
std::size_t positional_count(const FunctionDescription& description) {
    return std::min(description.parameter_names.size(), description.positional_count);
}

[[noreturn]] void too_many_positional(const FunctionDescription& description, std::size_t given) {
    const std::size_t p = positional_count(description);
    std::string takes = description.required_count == p
                            ? std::to_string(p)
                            : "from " + std::to_string(description.required_count) + " to " +
                                  std::to_string(p);
    throw MessageError(PyExc_TypeError, display_name(description) + " takes " + takes +
                                            " positional arguments but " + std::to_string(given) +
                                            (given == 1 ? " was" : " were") + " given");
}

// The message is made as a str object: str(key) may hold a lone surrogate,
// which has no UTF-8 and would turn the TypeError into an encoding error.
[[noreturn]] void unexpected_keyword(const FunctionDescription& description, PyObject* key) {
    Ref text(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                  display_name(description).c_str(), key));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    PythonError::raise_pending();
}

// Position of the parameter named by `key`, compared as UTF-8 bytes; the
// parameter count when nothing matches (a non-str name matches nothing).
std::size_t find_parameter(const FunctionDescription& description, PyObject* key) {
    const std::size_t p = description.parameter_names.size();
    if (!PyUnicode_Check(key)) return p;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return p;
    }
    for (std::size_t i = 0; i < p; ++i) {
        const char* name = description.parameter_names[i];
        if (std::strlen(name) == static_cast<std::size_t>(size) &&
            std::memcmp(name, data, static_cast<std::size_t>(size)) == 0) {
            return i;
        }
    }
    return p;
}

void check_required(const FunctionDescription& description, std::size_t nargs,
                    std::span<PyObject*> slots) {
    const char* missing[8];
    std::size_t count = 0;
    for (std::size_t i = nargs; i < description.required_count; ++i) {
        if (slots[i] == nullptr && count < std::size(missing)) {
            missing[count++] = description.parameter_names[i];
        }
    }
    if (count == 0) return;
    throw MessageError(PyExc_TypeError, display_name(description) + " missing " +
                                            std::to_string(count) + " required positional " +
                                            (count == 1 ? "argument" : "arguments") + ": " +
                                            push_parameter_list({missing, count}));
}

}  // namespace

void extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t p = description.parameter_names.size();
    const auto given = static_cast<std::size_t>(nargs);
    const std::size_t positional = positional_count(description);
    for (std::size_t i = 0; i < std::min(given, positional); ++i) slots[i] = args[i];
    if (given > positional) too_many_positional(description, given);

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t position = find_parameter(description, key);
        if (position == p) unexpected_keyword(description, key);
        if (slots[position] != nullptr) {
            throw MessageError(PyExc_TypeError, display_name(description) +
                                                    " got multiple values for argument '" +
                                                    description.parameter_names[position] + "'");
        }
        slots[position] = args[nargs + k];
    }
    check_required(description, given, slots);
}

}  // namespace quellnor::binding
