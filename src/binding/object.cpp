#include "binding/object.hpp"

#include <new>
#include <string>
#include <utility>

#include "binding/cache.hpp"
#include "binding/frame.hpp"
#include "fault.hpp"

namespace quellnor::binding {

PyObject* no_constructor_defined(PyTypeObject* type, PyObject*, PyObject*) {
    return call_frame([&]() -> PyObject* {
        std::string name = "<unknown>";
        Ref found(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), interned("__name__")));
        const char* text = found && PyUnicode_Check(found.get()) ? PyUnicode_AsUTF8(found.get()) : nullptr;
        if (text != nullptr) {
            name = text;
        } else {
            PyErr_Clear();
        }
        throw MessageError(PyExc_TypeError, "No constructor defined for " + name);
    });
}

void destroy_index_fields(PrefixSearchObject* self) {
    // An instance made without a constructor has nothing to destroy.
    if (!is_constructed(self)) return;
    self->index.~Trie();
#ifdef PYPY_VERSION
    for (PyObject* key : self->key_strings) Py_XDECREF(key);
    self->key_strings.~vector();
#endif
}

void free_instance(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
#ifndef PYPY_VERSION
    // Instances of a heap type hold a reference to it, taken by tp_alloc.
    Py_DECREF(type);
#endif
}

namespace {

void dealloc(PyObject* object) {
    destroy_index_fields(reinterpret_cast<PrefixSearchObject*>(object));
    free_instance(object);
}

PyTypeObject* create_type() {
    PyType_Slot slots[] = {
        {Py_tp_methods, prefix_search_methods()},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(no_constructor_defined)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"builtins.PrefixSearch", static_cast<int>(sizeof(PrefixSearchObject)), 0,
                        Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);

    // The type is indispensable: report why it failed, then fault.
    PyObject *cause_type, *cause, *traceback;
    PyErr_Fetch(&cause_type, &cause, &traceback);
    PyErr_NormalizeException(&cause_type, &cause, &traceback);
    Py_XDECREF(cause_type);
    Py_XDECREF(traceback);
    MessageError(PyExc_RuntimeError, "An error occurred while initializing class PrefixSearch",
                 Ref(cause))
        .raise();
    PyErr_Print();
    throw Fault("failed to create type object for PrefixSearch");
}

}  // namespace

PyTypeObject* prefix_search_type() {
    static OnceSlot<PyTypeObject> type;
    return type.get(create_type);
}

PrefixSearchObject* allocate_with_index(PyTypeObject* type, Trie&& index) {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* object = alloc(type, 0);
    if (object == nullptr) PythonError::raise_pending();
    auto* self = reinterpret_cast<PrefixSearchObject*>(object);
    new (&self->index) Trie(std::move(index));
    new (&self->shared_borrows) std::atomic<std::size_t>(0);
#ifdef PYPY_VERSION
    new (&self->key_strings) std::vector<PyObject*>();
#endif
    self->construction_mark = kConstructed;
    return self;
}

PyObject* create_class_object(Trie&& index) {
    return reinterpret_cast<PyObject*>(allocate_with_index(prefix_search_type(), std::move(index)));
}

}  // namespace quellnor::binding
