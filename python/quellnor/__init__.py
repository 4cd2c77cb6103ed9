"""Typo-tolerant search-as-you-type over a compact trie of terms and videos.

Build an index with ``IndexBuilder`` (or ``build_index``), query it with
``PrefixSearch.fuzzy_match`` and ``PrefixSearch.fuzzy_match_video``, save it
with ``to_bytes`` and load it with ``PrefixSearch.from_bytes``. Importing this
package also makes ``PrefixSearch`` picklable, so an index can be handed to
worker processes. ``PanicException`` is what a query raises when the native
code faults, as it can on an index whose arrays contradict one another.
"""

from __future__ import annotations

from _quellnor import PrefixSearch

from . import _pickle
from ._builder import DEFAULT_VIDEO_TOP_N, MAX_COUNT, IndexBuilder, VideoKey, build_index
from ._panic import PanicException

__all__ = [
    "DEFAULT_VIDEO_TOP_N",
    "MAX_COUNT",
    "IndexBuilder",
    "PanicException",
    "PrefixSearch",
    "VideoKey",
    "build_index",
]
__version__ = "0.1.0"

_pickle.register()
