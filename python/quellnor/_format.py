"""Counts what a saved index holds by walking its byte form.

The byte form (what ``PrefixSearch.to_bytes`` writes) is six arrays one after
another: node_shifts (u32), child_labels (one UTF-8 character each),
child_transitions (u32), payloads (tag 0 = absent, or tag 1 then a u32 total
and two u32 arrays of video ids and counts), video_index (16 raw bytes each)
and is_terminal (one byte, 0 or 1, each). Every array is a compact length
followed by its elements. A compact integer is one byte for 0..250, or a
marker FB, FC or FD followed by a little-endian u16, u32 or u64 (FD only for
lengths).

The walk skips over values rather than decoding each one, checking on the way
that every marker, character, tag and flag is well formed; it does not check
that the arrays agree with one another.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence, Tuple

__all__ = ["IndexStats", "scan"]

# Bytes taken by a compact integer, by its first byte; 0 marks an invalid one.
_U32_WIDTH = bytes([1] * 251 + [3, 5, 0, 0, 0])
_LENGTH_WIDTH = bytes([1] * 251 + [3, 5, 9, 0, 0])
# Bytes taken by a UTF-8 character, by its first byte; 0 marks an invalid one.
_CHAR_WIDTH = bytes([1] * 0x80 + [0] * 0x42 + [2] * 0x1E + [3] * 0x10 + [4] * 5 + [0] * 11)


@dataclass(frozen=True)
class IndexStats:
    """What a saved index holds."""

    nodes: int
    edges: int
    terms: int
    videos: int
    payload_entries: int  # (video, count) pairs over all node payloads
    root_total: int  # total_count of the root, the sum over every term; 0 if absent
    size: int  # bytes of the whole index


class _Truncated(Exception):
    pass


def scan(data: bytes) -> IndexStats:
    """Counts the nodes, edges, terms and videos of an index's bytes.

    Raises ``ValueError`` naming the section and byte offset where the bytes
    stop making sense.
    """
    view = bytes(data)
    size = len(view)
    pos = 0
    section = "node_shifts"

    def fail(what: str, at: int) -> ValueError:
        return ValueError(f"not an index: {what} in {section} at byte {at}")

    def length(at: int) -> Tuple[int, int]:
        if at >= size:
            raise _Truncated
        first = view[at]
        width = _LENGTH_WIDTH[first]
        if width == 0:
            raise fail(f"invalid length marker 0x{first:02X}", at)
        if at + width > size:
            raise _Truncated
        if width == 1:
            return first, at + 1
        return int.from_bytes(view[at + 1 : at + width], "little"), at + width

    def skip(count: int, at: int, widths: Sequence[int], marker: str) -> int:
        """Past `count` items whose width the first byte gives (0: invalid)."""
        if count > size - at:  # every item takes at least one byte
            raise _Truncated
        for _ in range(count):
            if at >= size:
                raise _Truncated
            width = widths[view[at]]
            if width == 0:
                raise fail(f"{marker} 0x{view[at]:02X}", at)
            at += width
        if at > size:
            raise _Truncated
        return at

    def skip_u32s(count: int, at: int) -> int:
        return skip(count, at, _U32_WIDTH, "invalid integer marker")

    try:
        shifts, pos = length(pos)
        pos = skip_u32s(shifts, pos)

        section = "child_labels"
        labels, pos = length(pos)
        start = pos
        pos = skip(labels, pos, _CHAR_WIDTH, "invalid UTF-8 lead byte")
        try:
            bytes(view[start:pos]).decode("utf-8")
        except UnicodeDecodeError as exc:
            raise fail("invalid UTF-8", start + exc.start) from None

        section = "child_transitions"
        edges, pos = length(pos)
        pos = skip_u32s(edges, pos)

        section = "payloads"
        payloads, pos = length(pos)
        if payloads > size - pos:
            raise _Truncated
        entries = 0
        root_total = 0
        for i in range(payloads):
            if pos >= size:
                raise _Truncated
            tag = view[pos]
            pos += 1
            if tag == 0:
                continue
            if tag != 1:
                raise fail(f"invalid payload tag {tag}", pos - 1)
            total_at = pos
            pos = skip_u32s(1, pos)
            if i == 0:
                root_total = _u32_at(view, total_at)
            count, pos = length(pos)
            pos = skip_u32s(count, pos)
            entries += count
            count, pos = length(pos)
            pos = skip_u32s(count, pos)

        section = "video_index"
        videos, pos = length(pos)
        if videos * 16 > size - pos:
            raise _Truncated
        pos += videos * 16

        section = "is_terminal"
        flags, pos = length(pos)
        if flags > size - pos:
            raise _Truncated
        terminal = bytes(view[pos : pos + flags])
        terms = terminal.count(1)
        if terms + terminal.count(0) != flags:
            bad = next(i for i, b in enumerate(terminal) if b > 1)
            raise fail(f"invalid flag byte {terminal[bad]}", pos + bad)
    except _Truncated:
        raise ValueError(f"not an index: the data ends inside {section} (after {size} bytes)") from None
    return IndexStats(labels, edges, terms, videos, entries, root_total, size)


def _u32_at(view: bytes, at: int) -> int:
    first = view[at]
    if first <= 250:
        return first
    return int.from_bytes(view[at + 1 : at + _U32_WIDTH[first]], "little")
