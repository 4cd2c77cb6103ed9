"""Pickling of PrefixSearch and Index through their byte forms.

The extension type has no pickle support of its own (and reports its module
as ``builtins``, where pickle cannot find it), so a reduction is registered
with ``copyreg``: an index pickles as a call of ``_restore`` on its
``to_bytes()``. Unpickling imports this module, which registers the reduction
in the receiving process as well. ``copy.copy`` and ``copy.deepcopy`` use the
same reduction.

An ``Index`` reduces itself to ``restore_index_file``: its class and its
index file's bytes, which carry everything it holds; they load into owned
memory. ``restore_index`` reads what earlier versions pickled.
"""

from __future__ import annotations

import copyreg
from typing import Callable, Tuple, Type, TypeVar

from _quellnor import IndexCore, PrefixSearch

from ._index_file import tell_collector

_Index = TypeVar("_Index", bound=IndexCore)


def _restore(data: bytes) -> PrefixSearch:
    return PrefixSearch.from_bytes(data)


def restore_index(cls: Type[_Index], data: bytes, extras: bytes) -> _Index:
    """What earlier versions pickled: the trie's byte form and the extras."""
    return tell_collector(cls._load(data, extras))


def restore_index_file(cls: Type[_Index], data: bytes) -> _Index:
    return tell_collector(cls._from_file_bytes(data, False))


def _reduce(index: PrefixSearch) -> Tuple[Callable[[bytes], PrefixSearch], Tuple[bytes]]:
    return _restore, (index.to_bytes(),)


def register() -> None:
    """Registers the reduction; calling it again is harmless."""
    copyreg.pickle(PrefixSearch, _reduce)
