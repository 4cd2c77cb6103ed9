#include "binding/frame.hpp"

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

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

// Stores `fresh` in `slot` unless another thread filled it first; the first
// value stored wins and the other is released.
PyObject* keep_first(PyObject*& slot, PyObject* fresh) {
    if (slot == nullptr) {
        slot = fresh;
    } else {
        Py_XDECREF(fresh);
    }
    return slot;
}

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

PyObject* interned(const char* name) {
    // A handful of names, looked up by pointer: each call site passes a
    // literal, and the table is tiny.
    static constexpr const char* kNames[] = {"__all__", "__name__", "__qualname__", "__module__",
                                             "__bool__"};
    static PyObject* cache[std::size(kNames)] = {};
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        if (std::strcmp(kNames[i], name) != 0) continue;
        if (cache[i] == nullptr) {
            PyObject* fresh = PyUnicode_InternFromString(name);
            if (fresh == nullptr) PythonError::raise_pending();
            keep_first(cache[i], fresh);
        }
        return cache[i];
    }
    throw Fault(std::string("no interned name ") + name);
}

// The module that PanicException's dotted name names; it holds nothing else.
constexpr char kRuntimeModule[] = "_quellnor_runtime";

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        const std::string name = std::string(kRuntimeModule) + ".PanicException";
        PyObject* fresh = PyErr_NewExceptionWithDoc(
            name.c_str(),
            "Raised when the native code of _quellnor faults.\n\n"
            "Like SystemExit, it derives from BaseException rather than Exception,\n"
            "so that it normally propagates all the way up and ends the interpreter.",
            PyExc_BaseException, nullptr);
        if (fresh == nullptr) return nullptr;
        keep_first(type, fresh);
    }
    return type;
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
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        throw MessageError(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyObject* panic = panic_exception_type();
    if (panic == nullptr) PyErr_Clear();
    if (panic != nullptr && PyErr_GivenExceptionMatches(type, panic)) {
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
    throw PythonError(Ref(type), Ref(value), Ref(traceback));
}

MessageError PythonError::with_prefix(const std::string& prefix) const {
    PyObject* type = Ref::borrowed(type_.get()).release();
    PyObject* value = Ref::borrowed(value_.get()).release();
    PyObject* traceback = Ref::borrowed(traceback_.get()).release();
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    bool ok = false;
    std::string message = value ? text_of(value, ok) : std::string();
    if (!ok) PythonError::raise_pending();
    Ref cause(value ? PyException_GetCause(value) : nullptr);
    return MessageError(type_.get(), prefix + message, std::move(cause));
}

void PythonError::restore() noexcept {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
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
        PyErr_Print();
        throw Fault("Python API call failed");
    }
    return object;
}

void rethrow_with_argument_name(const char* name) {
    const std::string prefix = std::string("argument '") + name + "': ";
    try {
        throw;
    } catch (const MessageError& error) {
        if (error.type() != PyExc_TypeError) throw;
        throw MessageError(PyExc_TypeError, prefix + error.message());
    } catch (const PythonError& error) {
        // Exactly TypeError: a subclass keeps its own identity and message.
        if (error.type() != PyExc_TypeError) throw;
        throw error.with_prefix(prefix);
    }
}

SharedBorrow::SharedBorrow(PyObject* self) {
    PyTypeObject* type = prefix_search_type();
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
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

PyObject* create_class_object(Trie&& index) {
    PyTypeObject* type = prefix_search_type();
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* object = alloc(type, 0);
    if (object == nullptr) PythonError::raise_pending();
    auto* self = reinterpret_cast<PrefixSearchObject*>(object);
    new (&self->index) Trie(std::move(index));
    new (&self->shared_borrows) std::atomic<std::size_t>(0);
#ifdef PYPY_VERSION
    new (&self->key_strings) std::vector<PyObject*>();
#endif
    return object;
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

namespace quellnor::binding {

namespace {

std::string display_name(const FunctionDescription& description) {
    return std::string(description.class_name) + "." + description.method_name + "()";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string push_parameter_list(std::span<const char* const> names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0 && names.size() > 2) list += ",";
        if (i > 0) list += (i + 1 == names.size()) ? " and " : " ";
        list += "'";
        list += names[i];
        list += "'";
    }
    return list;
}

[[noreturn]] void too_many_positional(const FunctionDescription& description, std::size_t given) {
    const std::size_t p = description.parameter_names.size();
    std::string takes = description.required_count == p
                            ? std::to_string(p)
                            : "from " + std::to_string(description.required_count) + " to " +
                                  std::to_string(p);
    throw MessageError(PyExc_TypeError, display_name(description) + " takes " + takes +
                                            " positional arguments but " + std::to_string(given) +
                                            (given == 1 ? " was" : " were") + " given");
}

// The message is made as a str object: str(key) may hold a lone surrogate,
// which has no UTF-8 and would turn the TypeError into an encoding error.
[[noreturn]] void unexpected_keyword(const FunctionDescription& description, PyObject* key) {
    Ref text(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                  display_name(description).c_str(), key));
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    PythonError::raise_pending();
}

// Position of the parameter named by `key`, compared as UTF-8 bytes; the
// parameter count when nothing matches (a non-str name matches nothing).
std::size_t find_parameter(const FunctionDescription& description, PyObject* key) {
    const std::size_t p = description.parameter_names.size();
    if (!PyUnicode_Check(key)) return p;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return p;
    }
    for (std::size_t i = 0; i < p; ++i) {
        const char* name = description.parameter_names[i];
        if (std::strlen(name) == static_cast<std::size_t>(size) &&
            std::memcmp(name, data, static_cast<std::size_t>(size)) == 0) {
            return i;
        }
    }
    return p;
}

void check_required(const FunctionDescription& description, std::size_t nargs,
                    std::span<PyObject*> slots) {
    const char* missing[8];
    std::size_t count = 0;
    for (std::size_t i = nargs; i < description.required_count; ++i) {
        if (slots[i] == nullptr && count < std::size(missing)) {
            missing[count++] = description.parameter_names[i];
        }
    }
    if (count == 0) return;
    throw MessageError(PyExc_TypeError, display_name(description) + " missing " +
                                            std::to_string(count) + " required positional " +
                                            (count == 1 ? "argument" : "arguments") + ": " +
                                            push_parameter_list({missing, count}));
}

}  // namespace

void extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t p = description.parameter_names.size();
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t i = 0; i < std::min(given, p); ++i) slots[i] = args[i];
    if (given > p) too_many_positional(description, given);

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t position = find_parameter(description, key);
        if (position == p) unexpected_keyword(description, key);
        if (slots[position] != nullptr) {
            throw MessageError(PyExc_TypeError, display_name(description) +
                                                    " got multiple values for argument '" +
                                                    description.parameter_names[position] + "'");
        }
        slots[position] = args[nargs + k];
    }
    check_required(description, given, slots);
}

}  // namespace quellnor::binding
