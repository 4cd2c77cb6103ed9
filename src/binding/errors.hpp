// The binding's errors: the Python exceptions that C++ unwinding carries to
// the call frame, and the internal-error exception type.
#pragma once

#include "binding/ref.hpp"

#include <exception>
#include <string>

namespace quellnor::binding {

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

// News that the interpreter holds a pending exception, carried by C++
// unwinding to the frame. The exception itself stays in the interpreter's
// error indicator all the way: taken out into C and put back, it makes PyPy
// build C copies of the exception, its traceback and their frames that hold
// one another, out of its collector's sight, and an exception caught in a
// reference cycle (its own frame's local, say) was then never freed.
class PythonError : public std::exception {
public:
    // Throws the news of the pending exception. A PanicException that comes
    // back from Python code is not an ordinary error: it continues as an
    // internal fault with the same message.
    [[noreturn]] static void raise_pending();

    const char* what() const noexcept override { return "Python exception"; }
    // The type of the pending exception, or null when none is pending.
    static PyObject* pending_type() noexcept { return PyErr_Occurred(); }
    // A new exception of the pending one's type whose message is prefixed;
    // the pending exception is taken and released.
    static MessageError with_prefix(const std::string& prefix);

private:
    PythonError() = default;
};

// The TypeError raised when a value is not of the kind a conversion expects.
[[noreturn]] void raise_type_mismatch(PyObject* value, const char* target);

// A NULL from an interpreter call that builds a result object. Running out
// of memory is MemoryError wherever the allocation failed, so a pending
// MemoryError passes on as it is; any other error is printed and the call
// ends as an internal fault.
PyObject* checked_result(PyObject* object);

// The internal-error exception type, created once on first need.
PyObject* panic_exception_type();
// The same if it was made already, else null.
PyObject* panic_exception_type_if_made() noexcept;

// Puts the module that PanicException's name announces into sys.modules,
// holding the type, so that Python code can catch it by name and pickle can
// find it. The type itself stays out of _quellnor.
void register_runtime_module();

}  // namespace quellnor::binding
