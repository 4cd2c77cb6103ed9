"""What cutting the query would save the walks that need every node within
reach (suggest, suggest_videos, fuzzy_match_video's walk over every node),
counted on a plain model in Python, not timed.

    python bench/tail_cut_model.py [--queries N] [--every N]

Those walks report every node whose path lies within two edits of the
query, not only where terms end, so the reversed terms cannot serve them.
Cut the query into a head and a tail: an alignment within two edits spends
at most one on the head, or both on the head and none on the tail. The
first kind is found by a walk of the trie whose rows allow one edit before
the cut; the second ends at a node whose path ends with the tail, which an
index of the nodes by their paths read backwards (one entry per node) finds
at once, and the heads above those nodes are then walked upwards with the
reversed head of the query. This counts, per query, the nodes the plain
walk computes a row for, against the rows of the capped walk, the nodes the
tail finds and the rows of the upward walk (as a trie of the reversed
heads, each shared row counted once). It checks that the two ways find the
same nodes. Levenshtein distance; misspelt words of 6 to 16 letters, which
the walks take at distance 2.
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
from pathlib import Path
from typing import Dict, List, Set, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))
import workload  # noqa: E402

THRESHOLD = 2
Node = Dict[str, "Node"]


def step(row: List[int], label: str, query: str) -> List[int]:
    new = [row[0] + 1]
    for j in range(1, len(query) + 1):
        new.append(min(row[j] + 1, new[j - 1] + 1, row[j - 1] + (query[j - 1] != label)))
    return new


def distance(a: str, b: str) -> int:
    row = list(range(len(b) + 1))
    for label in a:
        row = step(row, label, b)
    return row[-1]


def trie_of(words: List[str]) -> Tuple[Node, List[str]]:
    root: Node = {}
    for word in words:
        node = root
        for label in word:
            node = node.setdefault(label, {})
    paths, stack = [], [(root, "")]
    while stack:
        node, path = stack.pop()
        paths.append(path)
        stack.extend((child, path + label) for label, child in node.items())
    return root, paths


def walk(root: Node, query: str, cut: int = -1, head_budget: int = THRESHOLD) -> Tuple[int, Set[str]]:
    """Rows computed, and the paths within the threshold, of a walk whose
    cells up to column `cut` count only while within `head_budget`."""
    def capped(row: List[int]) -> List[int]:
        return [x if j > cut or x <= head_budget else THRESHOLD + 1 for j, x in enumerate(row)]

    rows, found = 0, set()
    stack = [(root, capped(list(range(len(query) + 1))), "")]
    while stack:
        node, row, path = stack.pop()
        for label, child in node.items():
            below = capped(step(row, label, query))
            rows += 1
            if below[-1] <= THRESHOLD:
                found.add(path + label)
            if min(below) <= THRESHOLD:
                stack.append((child, below, path + label))
    return rows, found


def by_tail(tail: str, index: Dict[str, List[str]]) -> List[str]:
    return [p for p in index.get(tail[-3:], []) if p.endswith(tail)]


def upward(candidates: List[str], tail: str, head: str) -> Tuple[int, Set[str]]:
    """Rows of the walk up from the nodes that end with the tail, shared as a
    trie of their reversed heads, and the nodes within the threshold."""
    reversed_heads: Node = {}
    for path in candidates:
        node = reversed_heads
        for label in reversed(path[:len(path) - len(tail)]):
            node = node.setdefault(label, {})
    rows, _ = walk(reversed_heads, head[::-1])
    return rows, {p for p in candidates if distance(p, head + tail) <= THRESHOLD}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("--queries", type=int, default=150)
    parser.add_argument("--every", type=int, default=1, help="every Nth word of the list")
    args = parser.parse_args()

    words = sorted({w.lower() for w in workload.load_vocabulary(args.every)})
    root, paths = trie_of(words)
    index: Dict[str, List[str]] = {}
    for path in paths:
        if len(path) >= 3:
            index.setdefault(path[-3:], []).append(path)

    rng = random.Random(7)
    queries: List[str] = []
    while len(queries) < args.queries:
        word = rng.choice(words)
        for _ in range(rng.randrange(3)):
            word = workload._edit(word, rng)
        if 6 <= len(word) <= 16 and word.isalpha():
            queries.append(word.lower())

    plain_rows, capped_rows, tail_nodes, upward_rows, ratios = [], [], [], [], []
    for query in queries:
        cut = len(query) // 2
        rows, plain = walk(root, query)
        forward_rows, forward = walk(root, query, cut, THRESHOLD - 1)
        candidates = by_tail(query[cut:], index)
        up_rows, up = upward(candidates, query[cut:], query[:cut])
        if forward | up != plain:
            raise SystemExit(f"the cut misses or adds nodes for {query!r}")
        plain_rows.append(rows)
        capped_rows.append(forward_rows)
        tail_nodes.append(len(candidates))
        upward_rows.append(up_rows)
        ratios.append((forward_rows + len(candidates) + up_rows) / rows)

    mean = statistics.fmean
    print(f"{len(queries)} misspelt words of 6-16 letters at distance {THRESHOLD}, "
          f"{len(paths):,} nodes; per query, on average:")
    print(f"  plain walk: {mean(plain_rows):,.0f} rows")
    print(f"  cut: capped walk {mean(capped_rows):,.0f} rows + {mean(tail_nodes):,.0f} nodes ending with "
          f"the tail (at most {max(tail_nodes):,}) + upward walk {mean(upward_rows):,.0f} rows")
    ratios.sort()
    print(f"  cut / plain, per query: median {statistics.median(ratios):.2f}, worst {ratios[-1]:.2f}; "
          "both ways found the same nodes for every query")
    return 0


if __name__ == "__main__":
    sys.exit(main())
