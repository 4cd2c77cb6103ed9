#include "binding/frame.hpp"

#include <cerrno>

#include <cstdio>
#include <new>
#include <stdexcept>

#include "binding/cache.hpp"
#include "binding/index_object.hpp"
#include "fault.hpp"
#include "progress.hpp"

namespace quellnor::binding {

namespace {

void report_fault(const Fault& fault) noexcept {
    const auto& where = fault.where();
    std::fprintf(stderr, "_quellnor: internal fault at %s:%u in %s: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), where.function_name(), fault.what());
    std::fflush(stderr);
}

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its own creation error is already set
    Ref text(PyUnicode_FromString(message));
    if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

SharedBorrow::SharedBorrow(PyObject* self) {
    PyTypeObject* type = prefix_search_type();
    // An IndexCore starts with a PrefixSearch's fields.
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type) && !is_index_core(self)) {
        raise_type_mismatch(self, "PrefixSearch");
    }
    object_ = reinterpret_cast<PrefixSearchObject*>(self);
    if (!is_constructed(object_)) {
        throw MessageError(PyExc_TypeError,
                           "this PrefixSearch holds no index: make one with "
                           "PrefixSearch.from_bytes() or PrefixSearch.from_internal_data_v2()");
    }
    // An index opened from a file works out its layout on first use.
    object_->index.ensure_layout();
    object_->shared_borrows.fetch_add(1);
    Py_INCREF(self);
}

SharedBorrow::~SharedBorrow() {
    object_->shared_borrows.fetch_sub(1);
    Py_DECREF(reinterpret_cast<PyObject*>(object_));
}

#ifdef PYPY_VERSION
namespace {
// PyPy's PyErr_CheckSignals does nothing: its signal handlers run as the
// interpreter goes through Python code, which a call of this does.
PythonSource signal_poll{"def poll():\n    pass\n"};
OnceSlot<> poll_slot;
}  // namespace

bool no_signal_pending() {
    PyObject* poll = source_function(signal_poll, poll_slot, "poll");
    return poll != nullptr && Ref(PyObject_CallNoArgs(poll));
}
#else
bool no_signal_pending() { return PyErr_CheckSignals() == 0; }
#endif

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        // The exception is pending already, unless something on the way
        // cleared it.
        if (PythonError::pending_type() == nullptr)
            PyErr_SetString(PyExc_SystemError, "a pending exception was lost on its way out");
    } catch (const MessageError& error) {
        error.raise();
    } catch (const Interrupted&) {
        // The check that stopped the call left its exception pending.
        if (PythonError::pending_type() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const InputError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const FileError& error) {
        errno = error.code();
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, error.path().c_str());
    } catch (const Fault& fault) {
        report_fault(fault);
        raise_panic(fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        const Fault fault(error.what());
        report_fault(fault);
        raise_panic(fault.what());
    } catch (...) {
        raise_panic("unknown internal fault");
    }
}

}  // namespace quellnor::binding
