"""Rows handed to the native builder as a few buffers per chunk, on PyPy.

PyPy gives every object that C code reads a C copy of its own, which lives as
long as the object does: reading three million (term, video, count) tuples
from C made some 1.4 GB of copies there and took 9 s. Python code, which
PyPy compiles, packs each chunk of rows into bytes and int64 arrays instead,
and only those cross. The native reader then sees exactly the values the
rows hold, so the index is the same byte for byte.

A chunk packs only when every row is a plain tuple of an exact str, a video
of one exact type for the whole chunk (str, int, uuid.UUID or 16 bytes) and
an exact int count; any other chunk goes to the native row reader as it is,
in its place in the order, so that what each row may be and the messages for
bad ones stay that reader's.
"""

from __future__ import annotations

import sys
import uuid
from array import array
from itertools import accumulate
from typing import Any, Iterable, List, Optional, Sequence, Tuple

PACK_ROWS = sys.implementation.name == "pypy"

# Chunks per native call. The second core sums one batch of rows while the
# next is read only within a call, and a call holds its chunks' buffers and
# rows (for the messages of a bad one) until it returns.
_CHUNKS_PER_CALL = 16

_VIDEO_TYPES = (str, int, uuid.UUID, bytes)

Packed = Tuple[bytes, "array[int]", Any, Optional["array[int]"], bool, "array[int]"]


def _ends(parts: List[bytes]) -> array[int]:
    return array("q", accumulate(map(len, parts)))


def _pack(rows: Sequence[Any]) -> Optional[Packed]:
    """The chunk as add_packed takes it, or None if it does not pack."""
    if not rows or type(rows[0]) is not tuple or len(rows[0]) != 3:
        return None
    video_type = type(rows[0][1])
    if video_type not in _VIDEO_TYPES:
        return None
    terms: List[bytes] = []
    videos: List[Any] = []
    counts = array("q")
    try:
        for row in rows:
            if type(row) is not tuple or len(row) != 3:
                return None
            term, video, count = row
            if type(term) is not str or type(video) is not video_type or type(count) is not int:
                return None
            terms.append(term.encode())
            videos.append(video)
            counts.append(count)
        term_blob, term_ends = b"".join(terms), _ends(terms)
        if video_type is int:
            return term_blob, term_ends, array("q", videos), None, False, counts
        if video_type is str:
            texts = [video.encode() for video in videos]
            return term_blob, term_ends, b"".join(texts), _ends(texts), False, counts
        keys = [video.bytes for video in videos] if video_type is uuid.UUID else videos
        if any(len(key) != 16 for key in keys):
            return None
        return term_blob, term_ends, b"".join(keys), _ends(keys), True, counts
    except (UnicodeEncodeError, OverflowError):
        # Text with lone surrogates, or a number past int64: the row reader's.
        return None


def add_all_or_none(native: Any, rows: Sequence[Any], chunks: Iterable[Sequence[Any]]) -> None:
    """Adds a list's rows, cut into `chunks`, all or none: packed where
    every chunk packs."""
    packed = []
    for chunk in chunks:
        packed_chunk = _pack(chunk)
        if packed_chunk is None:
            native.add_rows(rows, 0, True)
            return
        packed.append(packed_chunk)
    try:
        native.add_packed(packed, 0, True)
        return
    except (ValueError, TypeError):
        pass
    # Nothing was added: the row reader has the last word, and its message.
    native.add_rows(rows, 0, True)


def add_packed_rows(native: Any, chunks: Iterable[Sequence[Any]]) -> None:
    """Adds the chunks' rows in order to a builder nobody else sees: a bad
    row raises, and the builder is then thrown away."""
    group: List[Tuple[Packed, Sequence[Any]]] = []
    start = 0

    def flush() -> None:
        nonlocal start
        if not group:
            return
        refused: Optional[Exception] = None
        try:
            native.add_packed([packed for packed, _ in group], start, False)
        except (ValueError, TypeError) as error:
            refused = error
        if refused is not None:
            # The row reader names the bad row as build_index always has.
            native.add_rows([row for _, chunk in group for row in chunk], start, False)
            raise refused
        start += sum(len(chunk) for _, chunk in group)
        group.clear()

    for chunk in chunks:
        packed = _pack(chunk)
        if packed is None:
            flush()
            native.add_rows(chunk, start, False)
            start += len(chunk)
            continue
        group.append((packed, chunk))
        if len(group) == _CHUNKS_PER_CALL:
            flush()
    flush()
