"""The benchmark's data: vocabulary, payloads, flat arrays and queries.

Everything is drawn from ``random.Random(seed)`` through ``random()`` and
``getrandbits()`` only, whose streams are the same on every interpreter and
version, so CPython and PyPy build byte-identical indexes.
"""

from __future__ import annotations

import array
import bisect
import itertools
import random
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, List, Optional, Sequence, Tuple

WORD_LIST = Path("/usr/share/dict/british-english-huge")
SEED = 20240611
VIDEO_COUNT = 5000
ZIPF_EXPONENT = 1.1
VIDEOS_PER_TERM = (1, 5)
VIDEO_TOP_N = 100
LETTERS = "abcdefghijklmnopqrstuvwxyz"

Payload = Tuple[int, List[int], List[int]]


@dataclass
class FlatIndex:
    """The arguments of ``PrefixSearch.from_internal_data_v2``, in its order."""

    node_shifts: List[int]
    child_labels: List[str]
    payloads: List[Optional[Payload]]
    child_transitions: List[int]
    video_index: List[bytes]
    video_top_n: int = VIDEO_TOP_N

    def arguments(self) -> tuple:
        return (self.node_shifts, self.child_labels, self.payloads, self.child_transitions,
                self.video_index, self.video_top_n)

    def terms_only(self) -> "FlatIndex":
        """The same trie and terms without any videos: what a spelling
        corrector such as symspellpy holds."""
        payloads: List[Optional[Payload]] = [None if p is None else (0, [], []) for p in self.payloads]
        return FlatIndex(self.node_shifts, self.child_labels, payloads, self.child_transitions, [],
                         self.video_top_n)

    def lists(self) -> List[list]:
        """Every Python list a conversion has to walk: the five top-level
        lists and the two inner lists of every payload."""
        inner = [part for p in self.payloads if p is not None for part in (p[1], p[2])]
        return [self.node_shifts, self.child_labels, self.payloads, self.child_transitions,
                self.video_index] + inner


def load_vocabulary(every: int = 1) -> List[str]:
    """The word list, sorted and deduplicated; every ``every``-th word."""
    words = sorted(set(WORD_LIST.read_text(encoding="utf-8").split("\n")) - {""})
    return words[::every]


def _zipf_cumulative(n: int, exponent: float) -> List[float]:
    return list(itertools.accumulate(1.0 / (rank + 1) ** exponent for rank in range(n)))


def make_payloads(terms: Sequence[str], rng: random.Random) -> List[Payload]:
    """1-5 videos per term, drawn by Zipf popularity; Pareto-tailed counts."""
    cumulative = _zipf_cumulative(VIDEO_COUNT, ZIPF_EXPONENT)
    top = cumulative[-1]
    low, high = VIDEOS_PER_TERM
    payloads = []
    for _ in terms:
        k = low + int(rng.random() * (high - low + 1))
        videos = list(dict.fromkeys(bisect.bisect_left(cumulative, rng.random() * top) for _ in range(k)))
        counts = [min(10**6, int(1.0 / (1.0 - rng.random()) ** 0.8)) for _ in videos]
        payloads.append((sum(counts), videos, counts))
    return payloads


def make_video_keys(rng: random.Random) -> List[bytes]:
    return [rng.getrandbits(128).to_bytes(16, "big") for _ in range(VIDEO_COUNT)]


@dataclass
class Catalogue:
    """Terms with their videos, before any trie exists."""

    terms: List[str]
    payloads: List[Payload]
    video_keys: List[bytes]

    def rows(self) -> Iterator[Tuple[str, bytes, int]]:
        """(term, video key, count), as an IndexBuilder takes them."""
        for term, (_total, videos, counts) in zip(self.terms, self.payloads):
            for video, count in zip(videos, counts):
                yield term, self.video_keys[video], count

    def flatten(self) -> FlatIndex:
        """Breadth-first numbering: nodes are the distinct prefixes ordered by
        (length, text), so parents come before children and the children of
        one node are consecutive, in label order."""
        prefixes = {t[:i] for t in self.terms for i in range(1, len(t) + 1)}
        nodes = [""] + sorted(prefixes, key=lambda p: (len(p), p))
        number = {p: i for i, p in enumerate(nodes)}
        children = [0] * len(nodes)
        for p in nodes[1:]:
            children[number[p[:-1]]] += 1
        node_shifts = list(itertools.accumulate(children, initial=0))[:-1]
        node_payloads: List[Optional[Payload]] = [None] * len(nodes)
        for term, payload in zip(self.terms, self.payloads):
            node_payloads[number[term]] = payload
        return FlatIndex(node_shifts, [p[-1:] for p in nodes], node_payloads,
                         list(range(1, len(nodes))), self.video_keys)


def make_catalogue(terms: Sequence[str], seed: int = SEED) -> Catalogue:
    rng = random.Random(seed)
    return Catalogue(list(terms), make_payloads(terms, rng), make_video_keys(rng))


def wide_root(children: int = 20000) -> FlatIndex:
    """A root with ``children`` one-letter terms below it, one video each."""
    rng = random.Random(SEED)
    payloads: List[Optional[Payload]] = [None]
    for i in range(children):
        count = 1 + int(rng.random() * 1000)
        payloads.append((count, [i % VIDEO_COUNT], [count]))
    labels = [""] + [chr(0x4E00 + i) for i in range(children)]
    return FlatIndex([0] + [children] * children, labels, payloads,
                     list(range(1, children + 1)), make_video_keys(rng))


# --- queries -----------------------------------------------------------------

def _pick(seq: Sequence, rng: random.Random):
    return seq[int(rng.random() * len(seq))]


def _edit(word: str, rng: random.Random) -> str:
    op = int(rng.random() * 3)
    if op == 2 and len(word) > 1:  # delete
        at = int(rng.random() * len(word))
        return word[:at] + word[at + 1:]
    letter = _pick(LETTERS, rng)
    if op == 1 and word:  # substitute
        at = int(rng.random() * len(word))
        return word[:at] + letter + word[at + 1:]
    at = int(rng.random() * (len(word) + 1))  # insert
    return word[:at] + letter + word[at:]


def typo_queries(vocabulary: Sequence[str], count: int, seed: int = SEED + 1) -> List[str]:
    """Vocabulary terms with 0, 1 or 2 random letter edits."""
    rng = random.Random(seed)
    queries = []
    for _ in range(count):
        word = _pick(vocabulary, rng)
        for _ in range(int(rng.random() * 3)):
            word = _edit(word, rng)
        queries.append(word)
    return queries


def prefix_queries(vocabulary: Sequence[str], count: int, seed: int = SEED + 2) -> List[str]:
    """What a user has typed so far: the first 2-5 characters of a term."""
    rng = random.Random(seed)
    longer = [w for w in vocabulary if len(w) >= 2]
    return [_pick(longer, rng)[:2 + int(rng.random() * 4)] for _ in range(count)]


# --- files for the native program and the memory probes ------------------------

def write_lines(path: Path, lines: Sequence[str]) -> None:
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")


def write_raw_payloads(path: Path, payloads: Sequence[Optional[Payload]]) -> None:
    """Little-endian 32-bit words: node count, then per node a presence flag
    and, when present, total, k, k ids, k counts."""
    words = array.array("I", [len(payloads)])
    for payload in payloads:
        if payload is None:
            words.append(0)
            continue
        total, ids, counts = payload
        words.extend((1, total, len(ids)))
        words.extend(ids)
        words.extend(counts)
    if sys.byteorder != "little":
        words.byteswap()
    path.write_bytes(words.tobytes())
