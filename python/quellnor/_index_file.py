"""The index file: ``quellnor.open`` maps it, ``Index.save`` writes it.

A worker opens the file rather than loading it: the arrays are used where
the mapping puts them, so opening costs the same for any size of index and
every process that opens one file shares its memory. ``to_bytes`` and
``from_bytes`` keep the trie's own byte form.
"""

from __future__ import annotations

import os
import sys
from typing import Type, TypeVar, Union

from _quellnor import IndexCore

__all__ = ["MAGIC", "open_index", "is_index_file", "tell_collector"]

# What every index file starts with (never the start of the trie's byte form
# of an index anyone would build: that begins with its node count).
MAGIC = b"\x89QLNRIX\n"

_Index = TypeVar("_Index", bound=IndexCore)
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

if sys.implementation.name == "pypy":
    import gc

    from __pypy__ import add_memory_pressure as _add_memory_pressure  # type: ignore[import-not-found]

    # What the indexes alive held natively after the last collection this
    # module asked for. Memory pressure alone does not make PyPy collect soon
    # enough when indexes are large and their Python objects small, so a
    # collection is asked for whenever that memory has doubled since.
    _after_last_collection = 0

    def tell_collector(index: _Index) -> _Index:
        """Tells PyPy's collector the native memory ``index`` holds, and
        collects once the memory of indexes alive has doubled, so that
        dropping indexes in a loop frees them as it goes."""
        global _after_last_collection
        held = index._native_bytes()
        _add_memory_pressure(held)
        if IndexCore._live_native_bytes() > 2 * max(_after_last_collection, held):
            gc.collect()
            _after_last_collection = IndexCore._live_native_bytes()
        return index

else:

    def tell_collector(index: _Index) -> _Index:
        """CPython frees an index when its last reference goes: nothing to tell."""
        return index


def open_index(cls: Type[_Index], path: PathLike, verify: bool = False) -> _Index:
    """The index file at ``path``, mapped read-only and shared."""
    if not isinstance(verify, bool):
        raise TypeError(f"open() argument 'verify' must be bool, not {type(verify).__name__}")
    return tell_collector(cls._open_file(os.fsencode(path), verify))


def is_index_file(data: bytes) -> bool:
    """Whether ``data`` is an index file rather than the trie's byte form."""
    return data[: len(MAGIC)] == MAGIC
