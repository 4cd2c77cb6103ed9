#include "binding/errors.hpp"

#include <cstdio>
#include <string>

#include "binding/cache.hpp"
#include "fault.hpp"

namespace quellnor::binding {

namespace {

// str(object) as UTF-8, or nullopt-like failure flagged by `ok`.
std::string text_of(PyObject* object, bool& ok) {
    Ref text(PyObject_Str(object));
    if (!text) {
        ok = false;
        return {};
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!data) {
        ok = false;
        return {};
    }
    ok = true;
    return std::string(data, static_cast<std::size_t>(size));
}

// The module that PanicException's dotted name names; it holds nothing else.
constexpr char kRuntimeModule[] = "_quellnor_runtime";

// Whether the pending exception says that memory ran out. PyPy reports a
// failed allocation of its own inside a C API call as a SystemError whose
// message is the text of its internal MemoryError; that one is made the
// MemoryError it stands for.
bool pending_out_of_memory() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return true;
#ifdef PYPY_VERSION
    if (PythonError::pending_type() != PyExc_SystemError) return false;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    bool ok = false;
    const std::string text = value ? text_of(value, ok) : std::string();
    PyErr_Clear();
    if (ok && text.starts_with("<MemoryError object")) {
        PyErr_NoMemory();
        return true;
    }
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
#endif
    return false;
}

}  // namespace

namespace {
OnceSlot<> panic_type;
}  // namespace

PyObject* panic_exception_type_if_made() noexcept { return panic_type.peek(); }

PyObject* panic_exception_type() {
    // Null, with the interpreter's error set, when the type cannot be made.
    return panic_type.get([] {
        const std::string name = std::string(kRuntimeModule) + ".PanicException";
        return PyErr_NewExceptionWithDoc(
            name.c_str(),
            "Raised when the native code of _quellnor faults.\n\n"
            "Like SystemExit, it derives from BaseException rather than Exception,\n"
            "so that it normally propagates all the way up and ends the interpreter.",
            PyExc_BaseException, nullptr);
    });
}

void register_runtime_module() {
    PyObject* type = panic_exception_type();
    if (type == nullptr) PythonError::raise_pending();
    PyObject* module = PyImport_AddModule(kRuntimeModule);  // borrowed: sys.modules holds it
    if (module == nullptr || PyObject_SetAttrString(module, "PanicException", type) < 0)
        PythonError::raise_pending();
}

void MessageError::raise() const noexcept {
    Ref text(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (!text) return;
    PyErr_SetObject(type_, text.get());
    if (!cause_) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) PyException_SetCause(value, Ref::borrowed(cause_.get()).release());
    PyErr_Restore(type, value, traceback);
}

void PythonError::raise_pending() {
    if (pending_type() == nullptr) {
        throw MessageError(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (pending_out_of_memory()) throw PythonError();
    // A PanicException can be pending only once its type exists.
    PyObject* panic = panic_exception_type_if_made();
    if (panic == nullptr || !PyErr_ExceptionMatches(panic)) throw PythonError();

    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    bool ok = false;
    std::string message = value ? text_of(value, ok) : std::string();
    if (!ok) {
        PyErr_Clear();
        message = "<unprintable PanicException>";
    }
    std::fputs("_quellnor: a PanicException came back from Python code; "
               "the call continues as an internal fault\n",
               stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    throw Fault(std::move(message));
}

MessageError PythonError::with_prefix(const std::string& prefix) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    // The replaced exception is dropped, but the caller's code may keep it
    // in a cycle (a local of the frame that raised it). On PyPy the C copy
    // of its traceback, made by the fetch, holds that frame where the
    // collector cannot see, and would keep the cycle alive for good; without
    // a traceback the copy goes with the fetched reference.
    if (value != nullptr && PyException_SetTraceback(value, Py_None) < 0) PyErr_Clear();
    bool ok = false;
    std::string message = value ? text_of(value, ok) : std::string();
    if (!ok) PythonError::raise_pending();
    Ref cause(value ? PyException_GetCause(value) : nullptr);
    return MessageError(type, prefix + message, std::move(cause));
}

void raise_type_mismatch(PyObject* value, const char* target) {
    std::string type_name = "<failed to extract type name>";
    Ref qualname(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)),
                                  interned("__qualname__")));
    Py_ssize_t size = 0;
    const char* data = qualname && PyUnicode_Check(qualname.get())
                           ? PyUnicode_AsUTF8AndSize(qualname.get(), &size)
                           : nullptr;
    if (data != nullptr) {
        type_name.assign(data, static_cast<std::size_t>(size));
    } else {
        PyErr_Clear();
    }
    throw MessageError(PyExc_TypeError,
                       "'" + type_name + "' object cannot be converted to '" + target + "'");
}

PyObject* checked_result(PyObject* object) {
    if (object == nullptr) {
        if (pending_out_of_memory()) PythonError::raise_pending();
        PyErr_Print();
        throw Fault("Python API call failed");
    }
    return object;
}

}  // namespace quellnor::binding
