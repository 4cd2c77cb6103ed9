#include "binding/storage_pypy.hpp"

#ifdef PYPY_VERSION

#include "binding/cache.hpp"
#include "binding/errors.hpp"

namespace quellnor::binding::pypy {

namespace {

// Nothing below calls a method that the item's class could override: types
// are compared by identity, and a class's bases and attributes are read
// through type's own descriptors, as PyPy looks __len__ up itself. A list
// stored as exact ints, str, bytes or floats holds nothing to copy (most
// long lists are), and is iterated as it is.
PythonSource storage_readers{
    "_FULL = slice(None)\n"
    "_mro = type.__dict__['__mro__'].__get__\n"
    "_namespace = type.__dict__['__dict__'].__get__\n"
    "def _crosses_as_is(kind):\n"
    "    return (kind is int or kind is str or kind is bytes or kind is list or kind is float\n"
    "            or kind is bool or kind is type(None))\n"
    "def _len_overridden(kind, base):\n"
    "    for klass in _mro(kind):\n"
    "        if klass is base:\n"
    "            return False\n"
    "        if '__len__' in _namespace(klass):\n"
    "            return True\n"
    "    return False\n"
    "def _holds_only_as_is(items):\n"
    "    for item in tuple.__iter__(items):\n"
    "        if _storage(item) is not item:\n"
    "            return False\n"
    "    return True\n"
    "def _storage(item):\n"
    "    kind = type(item)\n"
    "    if _crosses_as_is(kind):\n"
    "        return item\n"
    "    if issubclass(kind, bytes):\n"
    "        return bytes.__getitem__(item, _FULL) if _len_overridden(kind, bytes) else item\n"
    "    if issubclass(kind, tuple):\n"
    "        if kind is tuple or not _len_overridden(kind, tuple):\n"
    "            if _holds_only_as_is(item):\n"
    "                return item\n"
    "        return tuple(map(_storage, tuple.__iter__(item)))\n"
    "    return item\n"
    "def _each_from_storage(sequence):\n"
    "    for item in sequence:\n"
    "        yield _storage(item)\n"
    "try:\n"
    "    from __pypy__ import strategy as _strategy\n"
    "except ImportError:\n"
    "    _strategy = None\n"
    "_AS_IS = ('IntegerListStrategy', 'UnicodeListStrategy', 'BytesListStrategy',\n"
    "          'FloatListStrategy', 'EmptyListStrategy')\n"
    "def iterate_storage(sequence):\n"
    "    if type(sequence) is list and _strategy is not None and _strategy(sequence) in _AS_IS:\n"
    "        return iter(sequence)\n"
    "    return _each_from_storage(sequence)\n"
    "def stored_items(sequence):\n"
    "    items = tuple(sequence)\n"
    "    if _holds_only_as_is(items):\n"
    "        return items\n"
    "    return tuple(map(_storage, items))\n"
    "def stored_text(text):\n"
    "    return str.__getitem__(text, _FULL)\n"
    "def stored_bytes(data):\n"
    "    return bytes.__getitem__(data, _FULL)\n"};

OnceSlot<> iterate_storage_slot;
OnceSlot<> stored_items_slot;
OnceSlot<> stored_text_slot;
OnceSlot<> stored_bytes_slot;

Ref call_reader(OnceSlot<>& slot, const char* name, PyObject* argument) {
    PyObject* reader = source_function(storage_readers, slot, name);
    Ref result(reader ? PyObject_CallFunctionObjArgs(reader, argument, nullptr) : nullptr);
    if (!result) PythonError::raise_pending();
    return result;
}

}  // namespace

Ref stored_text(PyObject* text) { return call_reader(stored_text_slot, "stored_text", text); }

Ref stored_bytes(PyObject* data) { return call_reader(stored_bytes_slot, "stored_bytes", data); }

Ref stored_items(PyObject* sequence) {
    return call_reader(stored_items_slot, "stored_items", sequence);
}

Ref iterate_storage(PyObject* sequence) {
    return call_reader(iterate_storage_slot, "iterate_storage", sequence);
}

}  // namespace quellnor::binding::pypy

#endif
