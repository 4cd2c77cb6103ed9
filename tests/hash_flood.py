"""Video ids that all land in the same slots of the score table as it hashed
them until the hash was seeded (a fixed multiplier, the home slot being the
top bits of the product), and an index that floods a ranking with them.

The ids x below 2**32 whose product x * K mod 2**64 falls below
`slots << (64 - bits)` are the points of the lattice spanned by (1, K) and
(0, 2**64) in a box; a reduced basis of the lattice finds them all in a few
thousand steps instead of 2**32 tries.
"""

from __future__ import annotations

from typing import List

from trie_bytes import compact

MULTIPLIER = 0x9E3779B97F4A7C15
TABLE_BITS = 17  # a table with room for 65536 videos has 2**17 slots


def colliding_ids(bits: int = TABLE_BITS, slots: int = 2) -> List[int]:
    """Every 32-bit id whose home, in a table of 2**bits slots, is one of the
    first `slots` (and so also in every smaller table): ascending."""
    width = slots << (64 - bits)
    scale = width >> 32  # x * scale ranges over [0, width) as the product does
    u, v = (scale, MULTIPLIER), (0, 1 << 64)

    def dot(a, b):
        return a[0] * b[0] + a[1] * b[1]

    while True:  # Lagrange-Gauss reduction
        if dot(u, u) > dot(v, v):
            u, v = v, u
        q = (2 * dot(u, v) + dot(u, u)) // (2 * dot(u, u))
        if q == 0:
            break
        v = (v[0] - q * u[0], v[1] - q * u[1])
    det = u[0] * v[1] - u[1] * v[0]
    corners = [(0, 0), (width, 0), (0, width), (width, width)]
    first = [(c[0] * v[1] - c[1] * v[0]) / det for c in corners]
    found = set()
    for i in range(int(min(first)) - 1, int(max(first)) + 2):
        low, high = float("-inf"), float("inf")
        for a, b in ((u[0], v[0]), (u[1], v[1])):
            if b != 0:
                ends = sorted(((0 - i * a) / b, (width - i * a) / b))
                low, high = max(low, ends[0]), min(high, ends[1])
        for j in range(int(low) - 1, int(high) + 2):
            x = (i * u[0] + j * v[0]) // scale
            if 0 <= x < 1 << 32 and (x * MULTIPLIER % (1 << 64)) >> (64 - bits) < slots:
                found.add(x)
    return sorted(found)


def flooding_index(siblings: int, ids: List[int], keys: int = 0) -> bytes:
    """An index whose root has `siblings` children, all labelled "a" and all
    term ends, each listing every one of `ids` (the first as often as all the
    others together, they once each), and `keys` video keys: a ranking of "a"
    adds every id once per sibling."""
    def u32s(values):
        return compact(len(values)) + b"".join(map(compact, values))

    counts = [len(ids)] + [1] * (len(ids) - 1)
    payload = b"\x01" + compact(sum(counts)) + u32s(ids) + u32s(counts)
    return b"".join([
        u32s([0] + [siblings] * siblings),
        compact(siblings + 1), b"\x00", b"a" * siblings,
        u32s(list(range(1, siblings + 1))),
        compact(siblings + 1), b"\x00", payload * siblings,
        compact(keys), b"".join(bytes([k]) * 16 for k in range(keys)),
        compact(siblings + 1), b"\x00", b"\x01" * siblings,
    ])
