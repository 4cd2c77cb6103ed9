"""Pickling of PrefixSearch and Index through their byte forms.

The extension type has no pickle support of its own (and reports its module
as ``builtins``, where pickle cannot find it), so a reduction is registered
with ``copyreg``: an index pickles as a call of ``_restore`` on its
``to_bytes()``. Unpickling imports this module, which registers the reduction
in the receiving process as well. ``copy.copy`` and ``copy.deepcopy`` use the
same reduction.

An ``Index`` reduces itself to ``restore_index``: its class, the trie's byte
form, and the extras that byte form cannot carry (whether its terms are
folded, their display spellings and weights).
"""

from __future__ import annotations

import copyreg
from typing import Callable, Tuple, Type, TypeVar

from _quellnor import IndexCore, PrefixSearch

_Index = TypeVar("_Index", bound=IndexCore)


def _restore(data: bytes) -> PrefixSearch:
    return PrefixSearch.from_bytes(data)


def restore_index(cls: Type[_Index], data: bytes, extras: bytes) -> _Index:
    return cls._load(data, extras)


def _reduce(index: PrefixSearch) -> Tuple[Callable[[bytes], PrefixSearch], Tuple[bytes]]:
    return _restore, (index.to_bytes(),)


def register() -> None:
    """Registers the reduction; calling it again is harmless."""
    copyreg.pickle(PrefixSearch, _reduce)
