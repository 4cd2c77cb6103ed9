// The _quellnor module: PrefixSearch and __all__, made once per process.
#include "binding/builder_object.hpp"
#include "binding/cache.hpp"
#include "binding/errors.hpp"
#include "binding/frame.hpp"
#include "binding/index_object.hpp"
#include "binding/object.hpp"
#include "binding/unlocked.hpp"
#include "progress.hpp"

namespace quellnor::binding {
namespace {

PyModuleDef kModuleDefinition = {
    PyModuleDef_HEAD_INIT, "_quellnor", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

void add_to_all(PyObject* module) {
    Ref all(PyObject_GetAttr(module, interned("__all__")));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) PythonError::raise_pending();
        PyErr_Clear();
        all = Ref(checked_result(PyList_New(0)));
        if (PyObject_SetAttr(module, interned("__all__"), all.get()) < 0) PythonError::raise_pending();
    }
    if (!PyList_Check(all.get())) raise_type_mismatch(all.get(), "PyList");
    Ref name(checked_result(PyUnicode_FromString("PrefixSearch")));
    if (PyList_Append(all.get(), name.get()) < 0) PythonError::raise_pending();
}

PyObject* create_module() {
    Ref module(PyModule_Create2(&kModuleDefinition, 1013));
    if (!module) PythonError::raise_pending();
#ifdef PYPY_VERSION
    // PyPy takes an empty docstring in the definition for none at all.
    Ref empty(checked_result(PyUnicode_FromString("")));
    if (PyObject_SetAttrString(module.get(), "__doc__", empty.get()) < 0) PythonError::raise_pending();
#endif
    auto* type = reinterpret_cast<PyObject*>(prefix_search_type());
    add_to_all(module.get());
    if (PyObject_SetAttrString(module.get(), "PrefixSearch", type) < 0) PythonError::raise_pending();
    // Beside the specified class, outside __all__: the base of quellnor.Index.
    auto* index_core = reinterpret_cast<PyObject*>(index_core_type());
    if (PyObject_SetAttrString(module.get(), "IndexCore", index_core) < 0) PythonError::raise_pending();
    auto* builder = reinterpret_cast<PyObject*>(native_builder_type());
    if (PyObject_SetAttrString(module.get(), "NativeBuilder", builder) < 0) PythonError::raise_pending();
    register_runtime_module();
    install_interrupt_check(check_signals_with_lock);
    install_long_work_notice(release_lock_if_allowed);
    return module.release();
}

// A second initialisation in the process gets the first one's module. A
// failed one leaves nothing behind, so the next starts afresh.
PyObject* make_module() {
    static OnceSlot<> module;
    return Ref::borrowed(module.get(create_module)).release();
}

}  // namespace
}  // namespace quellnor::binding

PyMODINIT_FUNC PyInit__quellnor() {
    return quellnor::binding::call_frame([] { return quellnor::binding::make_module(); });
}
