#include "binding/frame.hpp"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "binding/index_object.hpp"
#include "fault.hpp"

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
    object_->shared_borrows.fetch_add(1);
    Py_INCREF(self);
}

SharedBorrow::~SharedBorrow() {
    object_->shared_borrows.fetch_sub(1);
    Py_DECREF(reinterpret_cast<PyObject*>(object_));
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (PythonError& error) {
        error.restore();
    } catch (const MessageError& error) {
        error.raise();
    } catch (const InputError& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
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
