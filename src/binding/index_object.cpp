#include "binding/index_object.hpp"

#include <atomic>
#include <new>
#include <utility>

#include "binding/cache.hpp"
#include "binding/errors.hpp"
#include "binding/frame.hpp"
#include "fault.hpp"
#include "file/index_file.hpp"

namespace quellnor::binding {
namespace {

std::atomic<std::size_t> live_bytes{0};

void dealloc(PyObject* object) {
    auto* self = reinterpret_cast<IndexObject*>(object);
    if (is_constructed(&self->base)) {
        live_bytes.fetch_sub(self->native_bytes, std::memory_order_relaxed);
        self->terms.~TermIndex();
    }
    destroy_index_fields(&self->base);
    free_instance(object);
}

constexpr const char* kDoc =
    "The trie of PrefixSearch with what its byte form cannot carry beside it:\n"
    "whether terms are folded, how each is shown, and what each weighs.\n\n"
    "Use quellnor.Index, which folds query text and adds the container protocol.";

PyTypeObject* create_type() {
    PyType_Slot slots[] = {
        {Py_tp_methods, index_core_methods()},
        {Py_tp_getset, index_core_attributes()},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(no_constructor_defined)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_doc, const_cast<char*>(kDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"_quellnor.IndexCore", static_cast<int>(sizeof(IndexObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) PythonError::raise_pending();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyTypeObject* index_core_type() {
    static OnceSlot<PyTypeObject> type;
    return type.get(create_type);
}

bool is_index_core(PyObject* object) {
    PyTypeObject* type = index_core_type();
    return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type);
}

PyObject* create_index_object(PyObject* cls, Trie&& index, TermIndex&& terms) {
    PyTypeObject* type = index_core_type();
    if (cls == nullptr || !PyType_Check(cls) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), type))
        raise_type_mismatch(cls == nullptr ? Py_None : cls, "IndexCore");
    PrefixSearchObject* base = allocate_with_index(reinterpret_cast<PyTypeObject*>(cls), std::move(index));
    auto* self = reinterpret_cast<IndexObject*>(base);
    new (&self->terms) TermIndex(std::move(terms));
    self->native_bytes = file::array_bytes(self->base.index, self->terms);
    live_bytes.fetch_add(self->native_bytes, std::memory_order_relaxed);
    return reinterpret_cast<PyObject*>(self);
}

std::size_t live_native_bytes() noexcept { return live_bytes.load(std::memory_order_relaxed); }

PyObject* create_index_core(PyObject* cls, Trie&& index, std::vector<std::uint32_t>&& supplied_totals) {
    TermIndex terms;
    terms.table = derive_completion_table(index, std::move(supplied_totals));
    return create_index_object(cls, std::move(index), std::move(terms));
}

}  // namespace quellnor::binding
