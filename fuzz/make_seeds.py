"""Writes the fuzz target's seed corpus into fuzz/seeds/.

Each seed is the ``to_bytes()`` encoding of a small index built with
``PrefixSearch.from_internal_data_v2``, followed by a trailer that chooses the
queries: the decoder ignores bytes after an index, and fuzz_index.cpp reads
its query parameters from the back of the input. Trailer, in the order the
target reads it (it is stored reversed, since reading starts at the end):

    flags                 bits 0-1: queries - 1; bit 2: also run the builder
    per query:
      max_dist byte       < 200: value % 4; < 240: value % 16; then larger
      limit byte          < 128: no limit; else one of 0, 1, 2, 3, 5, 17, ...
      prefix byte         0: automatic, 1: term ends only, 2: prefix nodes too
      length byte         number of characters (% 80)
      characters          one byte each: 16..127 is that ASCII character
    after the queries, when bit 2 is set: video_top_n byte, then one query

Run with the interpreter that has the extension installed:
    python fuzz/make_seeds.py [output-dir]
"""

from __future__ import annotations

import random
import sys
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

from _quellnor import PrefixSearch

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from hash_flood import colliding_ids  # noqa: E402

Payload = Tuple[int, List[int], List[int]]


def flatten(terms: Dict[str, Dict[int, int]]) -> Tuple[List[int], List[str], List[Optional[Payload]], List[int]]:
    """Breadth-first flattening: node 0 is the root, children in label order.

    Breadth-first numbering makes each node's children consecutive, so
    child_transitions is 1, 2, ..., N-1 and node n's children start at the
    number of children of the nodes before it.
    """
    root: dict = {}
    for term in terms:
        node = root
        for ch in term:
            node = node.setdefault(ch, {})
        node[None] = term  # marks a term end
    shifts: List[int] = []
    labels: List[str] = []
    payloads: List[Optional[Payload]] = []
    level = [("", root)]
    slots = 0
    while level:
        below = []
        for label, node in level:
            shifts.append(slots)
            labels.append(label)
            term = node.get(None)
            if term is None:
                payloads.append(None)
            else:
                videos = sorted(terms[term].items(), key=lambda kv: (-kv[1], kv[0]))
                payloads.append((sum(c for _, c in videos) & 0xFFFFFFFF, [v for v, _ in videos], [c for _, c in videos]))
            kids = sorted(k for k in node if k is not None)
            slots += len(kids)
            below.extend((k, node[k]) for k in kids)
        level = below
    return shifts, labels, payloads, list(range(1, len(labels)))


def build(terms: Dict[str, Dict[int, int]], videos: int, top_n: int = 100) -> bytes:
    shifts, labels, payloads, transitions = flatten(terms)
    keys = [bytes((v * 7 + i) & 0xFF for i in range(16)) for v in range(videos)]
    ps = PrefixSearch.from_internal_data_v2(shifts, labels, payloads, transitions, keys, top_n)
    data = ps.to_bytes()
    # The seed must decode to what was built.
    assert PrefixSearch.from_bytes(data).to_bytes() == data
    return data


def query(term: str, max_dist: int = 1, limit: Optional[int] = None, prefix: int = 0) -> List[int]:
    dist_byte = {0: 0, 1: 1, 2: 2, 3: 3}.get(max_dist)
    if dist_byte is None:  # 4..15 through the "% 16" band
        dist_byte = 200 + max_dist
    limits = [0, 1, 2, 3, 5, 17]
    limit_byte = 0 if limit is None else 128 + limits.index(limit)
    chars = [ord(c) for c in term]
    assert all(16 <= c < 128 for c in chars), term
    return [dist_byte, limit_byte, prefix, len(chars), *chars]


def trailer(queries: Sequence[List[int]], builder_top_n: Optional[int] = None, builder_query=None) -> bytes:
    assert 1 <= len(queries) <= 4
    params = [(len(queries) - 1) | (4 if builder_top_n is not None else 0)]
    for q in queries:
        params += q
    if builder_top_n is not None:
        params.append(builder_top_n)
        params += builder_query
    return bytes(reversed(params))


def seeds() -> Dict[str, bytes]:
    rng = random.Random(20240601)
    out: Dict[str, bytes] = {}

    out["empty"] = build({}, 0) + trailer([query("a")])

    small = {"cat": {0: 3, 1: 1}, "car": {1: 5}, "cart": {2: 2}, "dog": {0: 1}, "do": {3: 4}}
    out["small"] = build(small, 4) + trailer(
        [query("cat"), query("ca", 1, 2, 2), query("dgo", 2), query("", 3, 0)],
        builder_top_n=1,
        builder_query=query("car", 1),
    )

    unicode_terms = {"héllo": {0: 2}, "ß": {1: 1}, "中文": {2: 9}, "😀x": {0: 1}, "naïve": {3: 3}, "nai": {1: 1}}
    out["unicode"] = build(unicode_terms, 4) + trailer([query("nave", 2), query("hello", 1, None, 1)])

    words: Dict[str, Dict[int, int]] = {}
    try:
        with open("/usr/share/dict/words", encoding="utf-8") as f:
            pool = [w.strip() for w in f if w.strip().isalpha() and len(w.strip()) < 12]
    except OSError:
        pool = ["apple", "apply", "ample", "maple", "staple", "stable", "table", "cable", "fable"]
    for w in rng.sample(pool, min(40, len(pool))):
        words[w.lower()] = {rng.randrange(30): rng.randrange(1, 50) for _ in range(rng.randrange(1, 4))}
    some = sorted(words)
    out["words"] = build(words, 30, top_n=5) + trailer(
        [query(some[0], 1), query(some[1][:3], 2, 5, 2), query(some[2], 7), query(some[3], 9, 3)],
        builder_top_n=3,
        builder_query=query(some[4], 2),
    )

    long_term = "abcdefghij" * 7  # 70 code points: past the bit-parallel rows
    out["long"] = build({long_term: {0: 1}, long_term[:62]: {1: 2}, long_term[:64]: {0: 5}}, 2) + trailer(
        [query(long_term[:66], 3), query(long_term[:63], 1), query(long_term[:40], 12, 1)]
    )

    # Wide values: ids and counts past 250 and 65535 take the longer compact
    # forms, and many nodes push node numbers past 250.
    wide = {f"w{i:03d}": {300 + i: 70000 + i, i: 2**32 - 1 - i} for i in range(260)}
    out["wide"] = build(wide, 600, top_n=2) + trailer([query("w12", 1, None, 2), query("w259", 0)])

    # Ids that all share the first slots of the score table under its
    # multiplier: the ranking of "ab" adds them once per sibling, past the
    # table's probe bound, and the seeded hash takes over.
    flood = colliding_ids()[:1500]
    siblings = {term: {video: 1 + video % 3 for video in flood} for term in ("ab", "ac", "ad")}
    siblings["ab"][flood[0]] = siblings["ac"][flood[1]] = 2000
    out["flood"] = build(siblings, 40, top_n=len(flood)) + trailer(
        [query("ab", 1), query("a", 0, 5, 2), query("ab", 1, None, 1)])

    return out


def main() -> None:
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("seeds")
    target.mkdir(parents=True, exist_ok=True)
    for name, data in seeds().items():
        (target / f"seed-{name}").write_bytes(data)
        print(f"{target / f'seed-{name}'}: {len(data)} bytes")


if __name__ == "__main__":
    main()
