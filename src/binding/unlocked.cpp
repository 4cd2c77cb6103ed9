#include "binding/unlocked.hpp"

#include "binding/frame.hpp"

namespace quellnor::binding {
namespace {

// Per thread, in static storage (see exception_globals.cpp): a thread's
// first use of dynamic thread-local storage allocates, which could fail.
[[gnu::tls_model("initial-exec")]] thread_local bool releasable = false;
[[gnu::tls_model("initial-exec")]] thread_local PyThreadState* released = nullptr;

void take_lock_back() noexcept {
    if (released == nullptr) return;
    PyThreadState* state = released;
    released = nullptr;
    PyEval_RestoreThread(state);
}

}  // namespace

LockReleasable::LockReleasable() noexcept : outer_(releasable) { releasable = true; }

LockReleasable::~LockReleasable() {
    if (outer_) return;
    take_lock_back();
    releasable = false;
}

void release_lock_if_allowed() noexcept {
    if (releasable && released == nullptr) released = PyEval_SaveThread();
}

bool check_signals_with_lock() {
    if (released == nullptr) return no_signal_pending();
    take_lock_back();
    const bool go_on = no_signal_pending();
    released = PyEval_SaveThread();
    return go_on;
}

}  // namespace quellnor::binding
