"""The pure-Python builder that the native one replaced, kept as the
reference that the native builder must match byte for byte.

It collects (term, video, count) rows and flattens them into an Index.

The flat layout handed to the index's constructor (the arrays of
``PrefixSearch.from_internal_data_v2``) is made
without a node object per trie node. The trie's nodes are the distinct
prefixes of the terms; numbering them breadth first, children in label order,
puts them in order of (length, text). Consequences:

- every node except the root is the child of exactly one earlier node, and
  children of one node are consecutive, so ``child_transitions`` is simply
  1, 2, ..., N-1 and ``node_shifts[n]`` is the number of children of the
  nodes before n;
- a term's node is its position among the prefixes of its length, plus the
  number of nodes on the shallower levels.

The work is linear in the characters of the terms, however long one term is:
no prefix is ever sliced out. In the sorted terms, term j shares its first
``shared[j]`` characters with term j-1 and brings the nodes at depths
``shared[j]+1 .. len(term j)``, so a node is named by its depth and the first
term that reaches it (its "owner"). At each depth the owners come in sorted
order, which is the order of the prefixes they stand for. A node's children
are its owner's next node, if the term goes on, and one node per later term
that leaves the owner's path right there.
"""

from __future__ import annotations

import gc
import operator
import re
import sys
import uuid
from collections import Counter
from contextlib import contextmanager
from itertools import accumulate, repeat
from operator import add, gt
from typing import Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Union

from quellnor._builder import _gc_paused
from quellnor._fold import fold as _fold
from quellnor._index import Index

__all__ = ["IndexBuilder", "build_index"]

#: Videos kept per node when none is asked for. A node's list keeps the
#: videos with the highest counts over its subtree; the node's total still
#: counts the videos that were cut, so shares stay honest. 100 is enough for
#: any ranking to fill a results page (a share must reach 1% to be reported,
#: so at most 100 videos can be reported for one query anyway).
DEFAULT_VIDEO_TOP_N = 100

#: Counts and totals are unsigned 32-bit values and saturate here.
MAX_COUNT = 2**32 - 1

#: What ``IndexBuilder.add`` takes as a video: a UUID, its 36-character
#: text form, or the 16 raw bytes.
VideoKey = Union[uuid.UUID, str, bytes]

_UUID_TEXT = re.compile(r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}")

Payload = Tuple[int, List[int], List[int]]

_PAUSE_GC = sys.implementation.name == "cpython"


class _Refused(Exception):
    """A row's value that cannot be stored; ``add`` names the row around it."""


def _row_text(term: object, video: object, count: object) -> str:
    return f"row ({_shown(term)}, {_shown(video)}, {_shown(count)})"


def _shown(value: object) -> str:
    """repr(value) for a message: cut short, and never failing itself."""
    try:
        text = str.__str__(repr(value))
    except Exception:
        text = f"<{type(value).__name__} object>"
    return text if len(text) <= 80 else text[:60] + f"... ({len(text):,} characters)"


def _exact_str(value: object, refusal: str) -> str:
    """The characters of a str, as a plain str.

    A subclass's ``__str__`` or ``__class__`` is never asked: only what the
    string holds is stored.
    """
    if type(value) is str:
        return value
    if isinstance(value, str):
        try:
            text = str.__str__(value)
        except Exception:
            text = None
        if type(text) is str:
            return text
    raise _Refused(refusal)


def _exact_count(value: object) -> int:
    """An integer count as a plain int: an int, or any integer type (numpy's too)."""
    if type(value) is int:
        return value
    if not isinstance(value, bool):
        try:
            # operator.index accepts what can stand for an integer; adding 0
            # through int's own method makes a plain int of what came back,
            # whatever a subclass says.
            number = int.__add__(operator.index(value), 0)  # type: ignore[arg-type]
        except Exception:
            number = None
        if type(number) is int:
            return number
    raise _Refused("the count must be an int")


class IndexBuilder:
    """The rows and their rules as quellnor.IndexBuilder documents them, for UUID videos."""

    __slots__ = ("_fold", "_terms", "_spellings", "_video_ids", "_video_keys", "_text_keys")

    def __init__(self, fold: bool = True) -> None:
        if not isinstance(fold, bool):
            raise TypeError(f"fold must be a bool, not {type(fold).__name__}")
        self._fold = fold
        # term -> {video id: count}; dicts keep first-insertion order, which
        # breaks ties between equal counts. Counts are kept whole and
        # saturate when the index is built.
        self._terms: Dict[str, Dict[int, int]] = {}
        # folded term -> {original spelling: sum of its counts}, kept only
        # for terms that some row spells otherwise than folded.
        self._spellings: Dict[str, Dict[str, int]] = {}
        self._video_ids: Dict[bytes, int] = {}
        self._video_keys: List[bytes] = []
        # Text keys already parsed, so a catalogue that names the same video
        # on many lines parses it once.
        self._text_keys: Dict[str, bytes] = {}

    def __len__(self) -> int:
        """The number of distinct terms added so far (after folding)."""
        return len(self._terms)

    @property
    def fold(self) -> bool:
        """Whether terms are folded."""
        return self._fold

    @property
    def video_count(self) -> int:
        """The number of distinct videos added so far."""
        return len(self._video_keys)

    def add(self, term: str, video: VideoKey, count: int = 1) -> None:
        """Adds ``count`` views of ``video`` under ``term``.

        ``term`` is a non-empty str without NUL characters or lone
        surrogates; ``video`` a ``uuid.UUID``, its 36-character text form
        (either case) or 16 raw bytes; ``count`` a non-negative integer (an
        int or another integer type such as numpy's, not a bool). A count of
        0 still records the term and the video.

        What is stored is a plain str, int and bytes made from the values
        given, and it is those that are checked, so no subclass can slip a
        value past the checks that would make ``build()`` fail later.
        """
        try:
            text = _exact_str(term, "the term must be a non-empty str")
            number = _exact_count(count)
            key = self._key_of(video)
            if not text:
                raise _Refused("the term must be a non-empty str")
            if number < 0:
                raise _Refused("the count must not be negative")
            stored = _fold(text) if self._fold else text
            # Folding keeps NUL and lone surrogates, so a term already stored
            # was checked, as was every spelling that folds to it.
            if stored not in self._terms:
                if "\x00" in text:
                    raise _Refused("the term contains a NUL character")
                try:
                    text.encode("utf-8")
                except UnicodeEncodeError:
                    raise _Refused("the term is not valid Unicode text") from None
                if not stored:
                    raise _Refused("the term folds to an empty text")
        except _Refused as exc:
            raise ValueError(f"{_row_text(term, video, count)}: {exc}") from None

        # Everything is checked: from here on nothing can fail.
        vid = self._video_ids.get(key)
        if vid is None:
            vid = self._video_ids[key] = len(self._video_keys)
            self._video_keys.append(key)
        videos = self._terms.get(stored)
        if stored != text or stored in self._spellings:
            self._count_spelling(stored, text, number, videos)
        if videos is None:
            self._terms[stored] = {vid: number}
        else:
            videos[vid] = videos.get(vid, 0) + number

    def _count_spelling(self, stored: str, text: str, number: int, videos: Optional[Dict[int, int]]) -> None:
        """Adds ``number`` to the spelling ``text`` of the term ``stored``."""
        spellings = self._spellings.get(stored)
        if spellings is None:
            # Every row before this one spelt the term as it is stored.
            spellings = self._spellings[stored] = {stored: sum(videos.values())} if videos else {}
        spellings[text] = spellings.get(text, 0) + number

    def _key_of(self, video: object) -> bytes:
        """The 16 bytes of a video key, as plain bytes."""
        if isinstance(video, str):
            text = _exact_str(video, "the video key must be a str")
            key = self._text_keys.get(text)
            if key is None:
                if len(text) != 36 or not _UUID_TEXT.fullmatch(text):
                    raise _Refused(
                        "the video key must be a UUID in its 36-character form (8-4-4-4-12 hexadecimal digits)")
                key = self._text_keys[text] = uuid.UUID(text).bytes
            return key
        if isinstance(video, uuid.UUID):
            try:
                key = video.bytes
            except Exception:
                key = None
            if type(key) is not bytes or len(key) != 16:
                raise _Refused("the video key is a uuid.UUID whose .bytes are not 16 bytes")
            return key
        if isinstance(video, (bytes, bytearray)):
            try:
                # The buffer holds what the object really is; bytes() would
                # ask a subclass's __bytes__.
                key = video if type(video) is bytes else bytes(memoryview(video))
            except Exception:
                raise _Refused("the video key does not hold bytes") from None
            if len(key) != 16:
                raise _Refused(f"a video key given as bytes must be 16 bytes long, not {len(key)}")
            return key
        raise _Refused(f"the video key must be a uuid.UUID, a str or 16 bytes, not {type(video).__name__}")

    def build(self, video_top_n: int = DEFAULT_VIDEO_TOP_N) -> Index:
        """Builds the index of everything added so far.

        ``video_top_n`` bounds every node's video list: a node keeps the
        ``video_top_n`` videos with the highest counts over its subtree.
        """
        if isinstance(video_top_n, bool) or not isinstance(video_top_n, int):
            raise TypeError(f"video_top_n must be an int, not {type(video_top_n).__name__}")
        if not 0 <= video_top_n < 2**64:
            raise ValueError(f"video_top_n must be between 0 and 2**64 - 1, not {video_top_n}")
        with _gc_paused():
            node_shifts, child_labels, payloads, child_transitions = self._layout()
            return Index._assemble(node_shifts, child_labels, payloads, child_transitions,
                                   self._video_keys, video_top_n, self._fold, self._display_spellings())

    def _display_spellings(self) -> Dict[str, str]:
        """Each term's most frequent spelling, where that is not the term itself."""
        shown = {}
        for stored, spellings in self._spellings.items():
            # max keeps the first of equal sums: the spelling added first.
            best = max(spellings, key=spellings.__getitem__)
            if best != stored:
                shown[stored] = best
        return shown

    def _layout(self) -> Tuple[List[int], List[str], List[Optional[Payload]], range]:
        """The flat trie: node_shifts, child_labels, payloads, child_transitions."""
        # Made in insertion order, which keeps memory access local: faster
        # than making each payload when its node is numbered.
        prepared = {term: _payload(videos) for term, videos in self._terms.items()}
        terms = sorted(prepared)
        lengths = list(map(len, terms))
        shared = [0]
        shared += map(_shared_length, terms, terms[1:])
        height = max(lengths, default=0)

        # owners[d]: the owners of the nodes at depth d, ascending (the root's
        # is -1); branches[d]: the owner that each term leaving a path at
        # depth d leaves from; path[d]: the owner of the current term's node
        # at depth d; ends[d]: {owner: payload} of the terms of length d.
        owners: List[List[int]] = [[] for _ in range(height + 2)]
        owners[0].append(-1)
        branches: List[List[int]] = [[] for _ in range(height + 1)]
        ends: Dict[int, Dict[int, Payload]] = {}
        path = [-1] * (height + 1)
        for j, (common, length) in enumerate(zip(shared, lengths)):
            branches[common].append(path[common])
            path[common + 1 : length + 1] = repeat(j, length - common)
            for level in owners[common + 1 : length + 1]:
                level.append(j)
            ends.setdefault(length, {})[j] = prepared[terms[j]]

        node_shifts: List[int] = []
        child_labels: List[str] = [""]
        payloads: List[Optional[Payload]] = [None]
        shift = 0
        for depth in range(height + 1):
            level = owners[depth]
            per_owner = Counter(branches[depth])
            # Children per node of this level; children of one node are
            # consecutive, so node_shifts is a running sum.
            children: Iterable[int]
            if depth:
                goes_on = map(gt, map(lengths.__getitem__, level), repeat(depth))
                children = map(add, goes_on, map(per_owner.get, level, repeat(0)))
            else:
                children = [per_owner[-1]]
            starts = list(accumulate(children, initial=shift))
            shift = starts.pop()
            node_shifts += starts
            below = owners[depth + 1]
            child_labels += map(str.__getitem__, map(terms.__getitem__, below), repeat(depth))
            ending = ends.get(depth + 1)
            payloads += map(ending.get, below) if ending else repeat(None, len(below))
        return node_shifts, child_labels, payloads, range(1, len(child_labels))


def _shared_length(a: str, b: str) -> int:
    """How many leading characters a and b share.

    Compares slices, doubling their length, and then halves the gap: the
    characters are compared in C, and neighbours in a sorted list, which
    mostly part early, cost a few comparisons each.
    """
    n = min(len(a), len(b))
    if a[:n] == b[:n]:
        return n
    same, differ = 0, n  # a[:same] == b[:same] and a[:differ] != b[:differ]
    step = 4
    while step < differ and a[:step] == b[:step]:
        same = step
        step *= 4
    differ = min(step, differ)
    while differ - same > 1:
        middle = (same + differ) // 2
        if a[:middle] == b[:middle]:
            same = middle
        else:
            differ = middle
    return same


def _payload(videos: Dict[int, int]) -> Payload:
    if len(videos) == 1:
        ((vid, count),) = videos.items()
        count = min(count, MAX_COUNT)
        return (count, [vid], [count])
    # A stable sort (reverse=True keeps it stable): equal counts stay in
    # first-insertion order.
    ranked = sorted(videos, key=videos.__getitem__, reverse=True)
    counts = [min(videos[v], MAX_COUNT) for v in ranked]
    return (min(sum(counts), MAX_COUNT), ranked, counts)


def build_index(
    rows: Iterable[Tuple[str, VideoKey, int]], video_top_n: int = DEFAULT_VIDEO_TOP_N, fold: bool = True
) -> Index:
    """Builds an index from (term, video, count) rows; see ``IndexBuilder``.

    A bad row raises ``ValueError`` naming the row and its position (counted
    from 0); no index is made.
    """
    builder = IndexBuilder(fold=fold)
    add = builder.add
    with _gc_paused():
        _add_rows(add, rows)
    return builder.build(video_top_n=video_top_n)


def _add_rows(add: Callable[[str, VideoKey, int], None], rows: Iterable[Tuple[str, VideoKey, int]]) -> None:
    for position, row in enumerate(rows):
        try:
            term, video, count = row
        except Exception:
            raise ValueError(f"row {position} ({_shown(row)}): expected (term, video, count)") from None
        try:
            add(term, video, count)
        except ValueError as exc:
            raise ValueError(f"row {position}: {exc}") from None
