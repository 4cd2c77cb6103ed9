"""Typo-tolerant search-as-you-type over a compact trie of terms and videos.

Build an ``Index`` with ``IndexBuilder`` (or ``build_index``); ask it for
suggestions on every keystroke with ``suggest`` and ``suggest_videos``, or
query it with ``fuzzy_match`` and ``fuzzy_match_video``; save the trie with
``to_bytes`` and load it with ``Index.from_bytes`` (or
``PrefixSearch.from_bytes``), or write the index file with ``Index.save``
and map it in every worker with ``quellnor.open``. Both index types pickle, so an index can be
handed to worker processes. ``fold`` is how terms and query text are folded.
``PanicException`` is what a query raises when the native code faults, as it
can on an index whose arrays contradict one another.
"""

from __future__ import annotations

from _quellnor import PrefixSearch

from . import _pickle
from ._builder import DEFAULT_VIDEO_TOP_N, MAX_COUNT, IndexBuilder, ProgressHook, VideoKey, build_index, build_index_from_columns
from ._fold import fold
from ._index import Index
from ._index_file import PathLike, open_index
from ._panic import PanicException

__all__ = [
    "DEFAULT_VIDEO_TOP_N",
    "MAX_COUNT",
    "Index",
    "IndexBuilder",
    "PanicException",
    "PrefixSearch",
    "ProgressHook",
    "VideoKey",
    "build_index",
    "build_index_from_columns",
    "fold",
    "open",
]
__version__ = "0.1.0"

_pickle.register()


def open(path: PathLike, *, verify: bool = False) -> Index:  # noqa: A001 (quellnor.open, as users call it)
    """The index file at ``path`` (written by ``Index.save`` or ``quellnor build -o``).

    The file is mapped read-only and shared, not read: opening takes about
    the same time for any size of index, and every process that opens the
    same file shares one copy of it in memory. The index stays valid when
    the file is replaced (``save`` renames a new file over it); open the new
    one to see it. Opening checks the header and the sections; the first
    query works out the trie's layout, and every other read is checked as
    queries make it, so a damaged file can still make a query raise
    ``PanicException``.
    ``verify=True`` checks everything up front and raises ``ValueError`` on
    the first problem. A file of another kind or version raises
    ``ValueError`` naming what it found.
    """
    return open_index(Index, path, verify)
