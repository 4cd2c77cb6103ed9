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

// The internal-error exception type, created once on first need.
PyObject* panic_exception_type();

// Puts the module that PanicException's name announces into sys.modules,
// holding the type, so that Python code can catch it by name and pickle can
// find it. The type itself stays out of _quellnor.
void register_runtime_module();

}  // namespace quellnor::binding
