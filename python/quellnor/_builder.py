"""Collects (term, video, count) rows and builds an Index from them.

The rows go into native code (``_quellnor.NativeBuilder``) in batches:
there they are grouped per term, summed per (term, video), laid out breadth
first and propagated, touching each row's Python objects once. Folding is
the one Python function ``quellnor.fold``, called once per distinct spelling
that is not pure ASCII (ASCII it only lower-cases, which is done natively).
"""

from __future__ import annotations

import gc
import importlib
import sys
import uuid
from contextlib import contextmanager
from itertools import islice
from typing import Any, Callable, Iterable, Iterator, Optional, Sequence, Tuple, Union

from _quellnor import NativeBuilder

from ._fold import fold as _fold
from ._index import Index
from ._packed_rows import PACK_ROWS, add_all_or_none, add_packed_rows

__all__ = [
    "DEFAULT_VIDEO_TOP_N", "MAX_COUNT", "IndexBuilder", "ProgressHook", "VideoKey", "build_index",
    "build_index_from_columns",
]

#: Videos kept per node when none is asked for. A node's list keeps the
#: videos with the highest counts over its subtree; the node's total still
#: counts the videos that were cut, so shares stay honest. 100 is enough for
#: any ranking to fill a results page (a share must reach 1% to be reported,
#: so at most 100 videos can be reported for one query anyway).
DEFAULT_VIDEO_TOP_N = 100

#: Counts and totals are unsigned 32-bit values and saturate here.
MAX_COUNT = 2**32 - 1

#: What ``IndexBuilder.add`` takes as a video: a UUID (a ``uuid.UUID``, its
#: 36-character text form or its 16 raw bytes), or the caller's own id, a
#: str or an int, handed back as given in every result.
VideoKey = Union[uuid.UUID, str, bytes, int]

#: Called with (phase, items) as each phase of a build starts.
ProgressHook = Callable[[str, int], object]

_PAUSE_GC = sys.implementation.name == "cpython"

# Rows per batch when build_index reads an iterator: enough for the native
# side to amortise its call, few enough that a batch's Python objects stay
# small beside the index.
_BATCH_ROWS = 1 << 16


class IndexBuilder:
    """Accumulates (term, video, count) rows; ``build()`` makes the index.

    With ``fold`` (the default) each term is folded (``quellnor.fold``:
    Unicode NFKC, case folding, Latin accents taken off), and rows whose
    terms fold alike make one term; the index shows each term in its most
    frequent original spelling, the one whose rows' counts add up highest
    (ties: the one added first). ``fold=False`` keeps terms as given.

    Videos are UUIDs (``uuid.UUID``, the 36-character text, 16 raw bytes), or
    the caller's own ids: all str or all int, handed back as given by
    ``fuzzy_match_video`` and ``suggest_videos``. The first row decides: a
    UUID's text makes an index of UUIDs, any other str one of str ids (where
    later UUID-shaped strs are str ids too). An index of caller ids pickles
    but has no ``to_bytes`` form, whose keys are UUIDs.

    Counts for the same term and video add up. A term's payload lists its
    videos by count, highest first (ties in the order the videos were first
    added to that term), and its total is the sum of its counts. Counts and
    totals saturate at 2**32 - 1. Videos get identifiers in the order they
    are first seen.

    Every failed ``add`` or ``add_rows`` raises ``ValueError`` naming the row
    and leaves the builder as it was. The builder may be built any number of
    times and added to between builds.
    """

    __slots__ = ("_native", "_fold")

    def __init__(self, fold: bool = True) -> None:
        if not isinstance(fold, bool):
            raise TypeError(f"fold must be a bool, not {type(fold).__name__}")
        self._fold = fold
        # quellnor.fold lower-cases ASCII and does nothing else to it, which
        # the native side does itself, calling fold only for other text.
        self._native = NativeBuilder(_fold, lowers_ascii=True) if fold else NativeBuilder(None)

    def __len__(self) -> int:
        """The number of distinct terms added so far (after folding)."""
        return self._native.term_count

    @property
    def fold(self) -> bool:
        """Whether terms are folded."""
        return self._fold

    @property
    def video_count(self) -> int:
        """The number of distinct videos added so far."""
        return self._native.video_count

    @property
    def video_kind(self) -> Optional[str]:
        """What the videos are: ``"uuid"``, the caller's ``"str"`` or ``"int"``
        ids, or None before the first row."""
        kind: Optional[str] = self._native.video_kind
        return kind

    def add(self, term: str, video: VideoKey, count: int = 1) -> None:
        """Adds ``count`` views of ``video`` under ``term``.

        ``term`` is a non-empty str without NUL characters or lone
        surrogates; ``video`` a UUID or the caller's id (see the class);
        ``count`` a non-negative whole number: an int, anything with
        ``__index__`` (numpy's integers), or an integral float such as JSON's
        ``3.0`` (not a bool). A count of 0 still records the term and the
        video.
        """
        self._native.add(term, video, count)

    def add_rows(self, rows: Iterable[Tuple[str, VideoKey, int]]) -> None:
        """Adds (term, video, count) rows, all of them or, when one is bad,
        none: the ``ValueError`` names it by its position, counted from 0."""
        if PACK_ROWS and isinstance(rows, (list, tuple)):
            add_all_or_none(self._native, rows, _batches(rows))
        else:
            self._native.add_rows(rows)

    def add_columns(self, terms: Any, videos: Any, counts: Any = None) -> None:
        """Adds a row per position of three columns, all of them or none.

        A column is a Python sequence, a numpy array (text 'U'/'S', integers
        or floats, read in place without a Python object per row) or an
        Apache Arrow array; ``terms`` alone may also be an Arrow table (or
        anything with ``__arrow_c_stream__``: a pyarrow Table, a DuckDB or
        Polars result) whose columns are named term, video and count, or are
        the first two or three. ``counts`` left out counts 1 per row. The
        rules per value are those of ``add``.
        """
        _add_columns(self._native, terms, videos, counts, atomic=True)

    def build(self, video_top_n: int = DEFAULT_VIDEO_TOP_N, *, progress: Optional[ProgressHook] = None) -> Index:
        """Builds the index of everything added so far.

        ``video_top_n`` bounds every node's video list: a node keeps the
        ``video_top_n`` videos with the highest counts over its subtree.
        ``progress``, if given, is called with (phase, items) as each phase
        of the build starts.
        """
        return self._build(video_top_n, progress, consume=False)

    def _build(self, video_top_n: int, progress: Optional[ProgressHook], consume: bool) -> Index:
        """``build``; with ``consume`` the rows are let go as soon as they are
        read, leaving the builder empty, for a builder nobody else sees."""
        if isinstance(video_top_n, bool) or not isinstance(video_top_n, int):
            raise TypeError(f"video_top_n must be an int, not {type(video_top_n).__name__}")
        if not 0 <= video_top_n < 2**64:
            raise ValueError(f"video_top_n must be between 0 and 2**64 - 1, not {video_top_n}")
        return self._native.build(Index, video_top_n, progress, consume)


def build_index(
    rows: Iterable[Tuple[str, VideoKey, int]],
    video_top_n: int = DEFAULT_VIDEO_TOP_N,
    fold: bool = True,
    *,
    progress: Optional[ProgressHook] = None,
) -> Index:
    """Builds an index from (term, video, count) rows; see ``IndexBuilder``.

    A bad row raises ``ValueError`` naming the row and its position (counted
    from 0); no index is made.
    """
    builder = IndexBuilder(fold=fold)
    add_rows = builder._native.add_rows
    with _gc_paused():
        if hasattr(rows, "__arrow_c_stream__"):
            _add_columns(builder._native, rows, None, None, atomic=False)
        elif PACK_ROWS:
            add_packed_rows(builder._native, _batches(rows))
        elif isinstance(rows, (list, tuple)):
            # Nobody else sees this builder: a bad row discards it, so its
            # rows need not be held back until all are known to be good.
            add_rows(rows, 0, False)
        else:
            start = 0
            for batch in _batches(rows):
                add_rows(batch, start, False)
                start += len(batch)
    return builder._build(video_top_n, progress, consume=True)


def _batches(rows: Iterable[Any]) -> Iterator[Sequence[Any]]:
    if isinstance(rows, (list, tuple)):
        for start in range(0, len(rows), _BATCH_ROWS):
            yield rows[start : start + _BATCH_ROWS]
        return
    iterator = iter(rows)
    while True:
        batch = list(islice(iterator, _BATCH_ROWS))
        if not batch:
            return
        yield batch


def build_index_from_columns(
    terms: Any,
    videos: Any,
    counts: Any = None,
    video_top_n: int = DEFAULT_VIDEO_TOP_N,
    fold: bool = True,
    *,
    progress: Optional[ProgressHook] = None,
) -> Index:
    """Builds an index from columns; see ``IndexBuilder.add_columns``."""
    builder = IndexBuilder(fold=fold)
    _add_columns(builder._native, terms, videos, counts, atomic=False)
    return builder._build(video_top_n, progress, consume=True)


def _is_arrow(value: Any) -> bool:
    return hasattr(value, "__arrow_c_stream__") or hasattr(value, "__arrow_c_array__")


def _add_columns(native: Any, terms: Any, videos: Any, counts: Any, atomic: bool) -> None:
    if videos is None and counts is None and hasattr(terms, "__arrow_c_stream__"):
        native.add_arrow(terms.__arrow_c_stream__(), atomic)
        return
    if videos is None:
        raise TypeError("add_columns() needs the videos column, unless terms is an Arrow table")
    if _is_arrow(terms) or _is_arrow(videos) or _is_arrow(counts):
        # Given Arrow columns, pyarrow is there to put them in one table.
        pyarrow = importlib.import_module("pyarrow")

        columns = {"term": terms, "video": videos}
        if counts is not None:
            columns["count"] = counts
        table = pyarrow.table({name: _arrow_column(pyarrow, column) for name, column in columns.items()})
        native.add_arrow(table.__arrow_c_stream__(), atomic)
        return
    native.add_columns(terms, videos, counts, atomic)


def _arrow_column(pyarrow: Any, column: Any) -> Any:
    """An Arrow array or chunked array as it is; anything else (a list, a
    numpy array, another library's Arrow array) made one by pyarrow."""
    if isinstance(column, (pyarrow.Array, pyarrow.ChunkedArray)):
        return column
    return pyarrow.array(column)


@contextmanager
def _gc_paused() -> Iterator[None]:
    """Pauses the cycle collector while a build holds many Python objects.

    They hold no cycles, but CPython's collector would scan the growing heap
    again and again. PyPy's collector has no such cost, and there pausing it
    would only let garbage pile up, so it is left alone.
    """
    if not _PAUSE_GC:
        yield
        return
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()
