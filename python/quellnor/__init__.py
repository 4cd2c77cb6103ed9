"""Typo-tolerant search-as-you-type over a compact trie of terms and videos.

Build an ``Index`` with ``IndexBuilder`` (or ``build_index``); ask it for
suggestions on every keystroke with ``suggest`` and ``suggest_videos``, or
query it with ``fuzzy_match`` and ``fuzzy_match_video``; save the trie with
``to_bytes`` and load it with ``Index.from_bytes`` (or
``PrefixSearch.from_bytes``). Both index types pickle, so an index can be
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
]
__version__ = "0.1.0"

_pickle.register()
