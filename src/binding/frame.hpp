// The call frame shared by every entry point: the shared borrow of `self`,
// and the one place where C++ failures become Python exceptions.
#pragma once

#include "binding/errors.hpp"
#include "binding/object.hpp"

namespace quellnor::binding {

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

// The check that long calls in the core make now and then: runs the
// handlers of the signals that arrived, and says stop when one of them
// raised (Ctrl-C: KeyboardInterrupt), which stays pending. Needs the
// interpreter lock; a call that runs without it must take it around this.
bool no_signal_pending();

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
