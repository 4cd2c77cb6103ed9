// Argument binding: positional and keyword arguments into one slot per
// parameter, and the argument's name in front of a failed conversion.
#pragma once

#include "binding/errors.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace quellnor::binding {

struct FunctionDescription {
    const char* class_name;
    const char* method_name;
    std::span<const char* const> parameter_names;
    std::size_t required_count;
    // Parameters from this one on are keyword-only.
    std::size_t positional_count = SIZE_MAX;
};

// Fills one slot per parameter from positional and keyword arguments, with
// borrowed references; an empty slot means the argument was not given.
void extract_arguments_fastcall(const FunctionDescription& description,
                                PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, std::span<PyObject*> slots);

// Converts one method argument; a TypeError from the conversion gets the
// argument's name put in front, every other failure passes unchanged.
[[noreturn]] void rethrow_with_argument_name(const char* name);

template <class Convert>
decltype(auto) convert_argument(const char* name, Convert&& convert) {
    try {
        return convert();
    } catch (...) {
        rethrow_with_argument_name(name);
    }
}

}  // namespace quellnor::binding
