// The C++ runtime's per-thread exception state, in static thread-local
// storage. The module carries its own copy of the C++ runtime (see
// CMakeLists.txt), whose version of this state is dynamic thread-local
// storage: glibc allocates a thread's block of it on the thread's first
// exception, and when that allocation fails it aborts the process
// ("cannot allocate memory for thread-local data: ABORT") instead of letting
// the exception say MemoryError. Defined here, the runtime's own definition
// is never linked in; initial-exec storage is set aside with every thread as
// it starts, so throwing never allocates it.
#include <cxxabi.h>

namespace {

// The layout of __cxa_eh_globals: the exceptions being handled, innermost
// first, and how many are thrown but not yet caught.
struct ExceptionGlobals {
    void* caught_exceptions;
    unsigned int uncaught_exceptions;
};

[[gnu::tls_model("initial-exec")]] thread_local ExceptionGlobals globals;

}  // namespace

extern "C" __cxxabiv1::__cxa_eh_globals* __cxa_get_globals() noexcept {
    return reinterpret_cast<__cxxabiv1::__cxa_eh_globals*>(&globals);
}

extern "C" __cxxabiv1::__cxa_eh_globals* __cxa_get_globals_fast() noexcept {
    return reinterpret_cast<__cxxabiv1::__cxa_eh_globals*>(&globals);
}
