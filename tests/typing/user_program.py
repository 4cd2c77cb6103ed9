"""A user's program, for ``mypy --strict`` run against an installed wheel.

It passes only where the types of quellnor, _quellnor and _quellnor_runtime
are seen: each ``assert_type`` fails on an ``Any``, and where the types are
``Any`` each ``type: ignore`` below is unused, an error under --strict.
It is type-checked, never run.
"""

import uuid
from typing import assert_type

import _quellnor
import quellnor
from _quellnor_runtime import PanicException

index = quellnor.build_index([("colour", uuid.UUID(int=1), 3)], video_top_n=10)
assert_type(index, quellnor.Index)
assert_type(index.fuzzy_match("colur", 1, limit=5), list[tuple[str, int, int]])
assert_type(index.fuzzy_match_video("col", 1, None, True), list[tuple[str, float]])
assert_type(quellnor.PrefixSearch.from_bytes(index.to_bytes()), quellnor.PrefixSearch)
index.fuzzy_match(b"colour")  # type: ignore[arg-type]

assert_type(index.suggest("COLUR"), list[tuple[str, int, int]])
assert_type(index.suggest_videos("col", 5, max_dist=1, transpositions=False), list[tuple[str, float]])
assert_type(index.weight("colour"), int)
assert_type(index.prefix_search(), _quellnor.PrefixSearch)
assert_type(quellnor.Index.from_bytes(index.to_bytes()), quellnor.Index)
assert_type(quellnor.fold("Colour"), str)
assert_type([term for term in index], list[str])
assert_type(len(index) + index.node_count + index.video_count, int)
assert_type(index.folded, bool)
index.suggest("colour", max_dist="1")  # type: ignore[arg-type]
index.suggest("colour", 10, 1)  # type: ignore[call-arg]

try:
    index.fuzzy_match("colour")
except quellnor.PanicException as fault:
    assert_type(fault, PanicException)
    not_an_exception: Exception = fault  # type: ignore[assignment]
