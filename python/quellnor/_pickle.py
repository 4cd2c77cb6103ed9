"""Pickling of PrefixSearch through its byte form.

The extension type has no pickle support of its own (and reports its module
as ``builtins``, where pickle cannot find it), so a reduction is registered
with ``copyreg``: an index pickles as a call of ``_restore`` on its
``to_bytes()``. Unpickling imports this module, which registers the reduction
in the receiving process as well. ``copy.copy`` and ``copy.deepcopy`` use the
same reduction.
"""

from __future__ import annotations

import copyreg
from typing import Callable, Tuple

from _quellnor import PrefixSearch


def _restore(data: bytes) -> PrefixSearch:
    return PrefixSearch.from_bytes(data)


def _reduce(index: PrefixSearch) -> Tuple[Callable[[bytes], PrefixSearch], Tuple[bytes]]:
    return _restore, (index.to_bytes(),)


def register() -> None:
    """Registers the reduction; calling it again is harmless."""
    copyreg.pickle(PrefixSearch, _reduce)
