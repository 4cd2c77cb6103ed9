"""A plain-Python reader and writer for the byte form of an index.

Tests use it to look inside an index (there is no getter for payloads) and to
craft byte strings for ``PrefixSearch.from_bytes``. It is deliberately
independent of the extension: a second, simple reading of the same format.

Layout: six arrays one after another (node_shifts, child_labels,
child_transitions, payloads, video_index, is_terminal), each a compact length
followed by its elements. Compact integers are one byte for 0..250, otherwise
a marker (FB, FC, FD) followed by a little-endian u16, u32 or u64.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import List, NamedTuple, Optional

_WIDE = {0xFB: "<H", 0xFC: "<I", 0xFD: "<Q"}


class Payload(NamedTuple):
    total_count: int
    video_ids: List[int]
    video_counts: List[int]


@dataclass
class Index:
    node_shifts: List[int] = field(default_factory=list)
    child_labels: List[str] = field(default_factory=list)  # one character each; "\0" = none
    child_transitions: List[int] = field(default_factory=list)
    payloads: List[Optional[Payload]] = field(default_factory=list)
    video_index: List[bytes] = field(default_factory=list)  # 16 bytes each
    is_terminal: List[bool] = field(default_factory=list)


def compact(value: int) -> bytes:
    """Shortest compact form of a non-negative integer below 2**64."""
    if not 0 <= value < 1 << 64:
        raise ValueError(f"{value} has no compact form")
    if value <= 250:
        return bytes([value])
    if value <= 0xFFFF:
        return b"\xfb" + struct.pack("<H", value)
    if value <= 0xFFFFFFFF:
        return b"\xfc" + struct.pack("<I", value)
    return b"\xfd" + struct.pack("<Q", value)


def encode(index: Index) -> bytes:
    out = bytearray()

    def ints(values):
        out.extend(compact(len(values)))
        for v in values:
            out.extend(compact(v))

    ints(index.node_shifts)
    out += compact(len(index.child_labels))
    for label in index.child_labels:
        out += label.encode("utf-8")
    ints(index.child_transitions)
    out += compact(len(index.payloads))
    for p in index.payloads:
        if p is None:
            out.append(0)
        else:
            out.append(1)
            out += compact(p[0])
            ints(p[1])
            ints(p[2])
    out += compact(len(index.video_index))
    for key in index.video_index:
        if len(key) != 16:
            raise ValueError("video keys are 16 bytes")
        out += key
    out += compact(len(index.is_terminal))
    out += bytes(1 if t else 0 for t in index.is_terminal)
    return bytes(out)


class _Reader:
    def __init__(self, data: bytes):
        self.data = bytes(data)
        self.pos = 0

    def take(self, n: int) -> bytes:
        if self.pos + n > len(self.data):
            raise ValueError(f"input ends at {len(self.data)}, needs {self.pos + n}")
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk

    def compact(self, wide_ok: bool = False) -> int:
        first = self.take(1)[0]
        if first <= 250:
            return first
        fmt = _WIDE.get(first)
        if fmt is None or (fmt == "<Q" and not wide_ok):
            raise ValueError(f"invalid integer marker {first:#x} at {self.pos - 1}")
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))[0]

    def length(self) -> int:
        return self.compact(wide_ok=True)

    def u32s(self) -> List[int]:
        return [self.compact() for _ in range(self.length())]

    def char(self) -> str:
        first = self.take(1)[0]
        if first < 0x80:
            size = 1
        elif 0xC2 <= first <= 0xDF:
            size = 2
        elif 0xE0 <= first <= 0xEF:
            size = 3
        elif 0xF0 <= first <= 0xF4:
            size = 4
        else:
            raise ValueError(f"invalid UTF-8 lead byte {first:#x}")
        text = (bytes([first]) + self.take(size - 1)).decode("utf-8")  # strict
        if len(text) != 1:
            raise ValueError("label is not one character")
        return text

    def flag(self, what: str) -> int:
        value = self.take(1)[0]
        if value > 1:
            raise ValueError(f"invalid {what} byte {value}")
        return value


def decode(data: bytes, allow_trailing: bool = False) -> Index:
    r = _Reader(data)
    index = Index()
    index.node_shifts = r.u32s()
    index.child_labels = [r.char() for _ in range(r.length())]
    index.child_transitions = r.u32s()
    for _ in range(r.length()):
        if r.flag("payload tag"):
            index.payloads.append(Payload(r.compact(), r.u32s(), r.u32s()))
        else:
            index.payloads.append(None)
    index.video_index = [r.take(16) for _ in range(r.length())]
    index.is_terminal = [bool(r.flag("boolean")) for _ in range(r.length())]
    if not allow_trailing and r.pos != len(r.data):
        raise ValueError(f"{len(r.data) - r.pos} bytes after the index")
    return index
