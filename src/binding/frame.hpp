// The call frame shared by every entry point: argument binding, the shared
// borrow of `self`, and the one place where C++ failures become Python
// exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <exception>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "trie/trie.hpp"

namespace quellnor::binding {

// An owned reference, released on every way out.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}
    static Ref borrowed(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    PyObject* object_ = nullptr;
};

// An exception to raise from a type and a message, optionally with a cause.
class MessageError : public std::exception {
public:
    MessageError(PyObject* type, std::string message, Ref cause = Ref())
        : type_(type), message_(std::move(message)), cause_(std::move(cause)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    PyObject* type() const noexcept { return type_; }
    const std::string& message() const noexcept { return message_; }
    void raise() const noexcept;

private:
    PyObject* type_;  // a process-lifetime exception type
    std::string message_;
    Ref cause_;
};

// An exception the interpreter produced, taken out of its error state so that
// C++ unwinding can carry it to the frame, which puts it back unchanged.
class PythonError : public std::exception {
public:
    // Takes the pending exception and throws it. A PanicException that comes
    // back from Python code is not an ordinary error: it continues as an
    // internal fault with the same message.
    [[noreturn]] static void raise_pending();

    const char* what() const noexcept override { return "Python exception"; }
    PyObject* type() const noexcept { return type_.get(); }
    // A new exception of the same type whose message is prefixed.
    MessageError with_prefix(const std::string& prefix) const;
    void restore() noexcept;

private:
    PythonError(Ref type, Ref value, Ref traceback)
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
    Ref type_, value_, traceback_;
};

// The TypeError raised when a value is not of the kind a conversion expects.
[[noreturn]] void raise_type_mismatch(PyObject* value, const char* target);

// A NULL from an interpreter call that builds a result object: the pending
// error is printed and the call ends as an internal fault.
PyObject* checked_result(PyObject* object);

// Interned attribute names, created once.
PyObject* interned(const char* name);

// The internal-error exception type, created once on first need.
PyObject* panic_exception_type();

// Puts the module that PanicException's name announces into sys.modules,
// holding the type, so that Python code can catch it by name and pickle can
// find it. The type itself stays out of _quellnor.
void register_runtime_module();

struct FunctionDescription {
    const char* class_name;
    const char* method_name;
    std::span<const char* const> parameter_names;
    std::size_t required_count;
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

// What a PrefixSearch instance holds besides its header.
struct PrefixSearchObject {
    PyObject_HEAD
    Trie index;
    // Calls in progress on this object. Nothing ever changes the index, so
    // borrows are only ever shared and no call is refused; the count is
    // atomic so that it stays right when walks run without the interpreter
    // lock.
    std::atomic<std::size_t> shared_borrows;
#ifdef PYPY_VERSION
    // Each video's key string, made the first time a ranking returns it and
    // reused after (see ranked_list); null where none was made yet.
    std::vector<PyObject*> key_strings;
#endif
};

PyTypeObject* prefix_search_type();

// Moves a finished index into a new PrefixSearch object.
PyObject* create_class_object(Trie&& index);

// A shared borrow of `self` for the duration of an instance-method call.
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* self);
    ~SharedBorrow();
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const Trie& index() const noexcept { return object_->index; }
#ifdef PYPY_VERSION
    std::vector<PyObject*>& key_strings() const noexcept { return object_->key_strings; }
#endif

private:
    PrefixSearchObject* object_;
};

// Raises the exception that is in flight in the interpreter. Called only from
// inside a catch block.
void raise_current_exception() noexcept;

// Runs a method body; every failure leaves the frame as a Python exception.
template <class Body>
PyObject* call_frame(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace quellnor::binding
