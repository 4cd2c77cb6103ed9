// Internal faults and input errors of the native core.
//
// The core never talks to the interpreter. It reports two kinds of failure as
// C++ exceptions, and the binding's call frame maps each to its Python
// exception exactly once:
//   - InputError: input the module rejects on purpose (becomes ValueError);
//   - Fault: a broken internal assumption, above all an array position out of
//     range in a Trie that breaks its invariants (becomes PanicException).
// Running out of memory travels as std::bad_alloc (becomes MemoryError).
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

namespace quellnor {

class Fault : public std::exception {
public:
    explicit Fault(std::string message,
                   std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

class InputError : public std::exception {
public:
    explicit InputError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A call of the operating system failed on a file: errno and the file's name.
class FileError : public std::exception {
public:
    FileError(int code, std::string path) : code_(code), path_(std::move(path)) {}
    const char* what() const noexcept override { return path_.c_str(); }
    int code() const noexcept { return code_; }
    const std::string& path() const noexcept { return path_; }

private:
    int code_;
    std::string path_;
};

[[noreturn]] void raise_index_fault(std::size_t len, std::size_t index,
                                    std::source_location where);

// The one checked positional read. Every read of a Trie array by position goes
// through here, so a broken invariant ends the call instead of reading outside
// an array.
template <class Array>
[[gnu::always_inline]] inline decltype(auto) checked_at(
    Array& array, std::size_t index,
    std::source_location where = std::source_location::current()) {
    if (index >= array.size()) [[unlikely]]
        raise_index_fault(array.size(), index, where);
    return array[index];
}

}  // namespace quellnor
