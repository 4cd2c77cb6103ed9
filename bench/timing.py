"""The one way everything is timed, and the one way samples are summarised.

Like ``timeit``, the garbage collector is paused while samples are taken, so
a collection triggered by earlier allocations does not land on a random call.
"""

from __future__ import annotations

import gc
import itertools
import math
import time
from contextlib import contextmanager
from typing import Callable, Dict, Iterator, List, Optional, Sequence


@contextmanager
def gc_paused() -> Iterator[None]:
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def time_calls(call: Callable, items: Sequence, *, warmup: int = 0,
               budget_s: Optional[float] = None, minimum: int = 5,
               results: Optional[List[object]] = None) -> List[int]:
    """Nanoseconds of ``call(item)`` for each item, in order.

    ``warmup`` calls come first, cycling through ``items``, and their
    samples are dropped. They run through the very loop that takes the
    samples: PyPy's JIT compiles a loop, and the calls inside it, only once
    the loop has run about a thousand times, and until then a sample times
    its interpreter's way of making the call, not the call that a
    long-running worker makes. With a ``budget_s``, the samples stop once that
    much time was spent, after at least ``minimum`` items, and then cover a
    prefix of ``items``; the warm-up stops after a fifth of it. ``results``,
    when given, receives each timed call's result, appended outside the
    timed region.
    """
    if warmup > 0 and len(items) > 0:
        warm_items = list(itertools.islice(itertools.cycle(items), warmup))
        _sample(call, warm_items, None if budget_s is None else budget_s / 5, 0, None)
    return _sample(call, items, budget_s, minimum, results)


def _sample(call: Callable, items: Sequence, budget_s: Optional[float], minimum: int,
            results: Optional[List[object]]) -> List[int]:
    samples: List[int] = []
    clock = time.perf_counter_ns
    deadline = None if budget_s is None else clock() + int(budget_s * 1e9)
    with gc_paused():
        for item in items:
            start = clock()
            result = call(item)
            end = clock()
            if results is not None:
                results.append(result)
            del result  # freed outside the timed region
            samples.append(end - start)
            if deadline is not None and end > deadline and len(samples) >= minimum:
                break
    return samples


def time_repeat(call: Callable[[], object], repeat: int) -> List[int]:
    """Nanoseconds of ``repeat`` runs of ``call()``; the result of each run
    is dropped outside the timed region."""
    return time_calls(lambda _: call(), range(repeat))


def percentile(sorted_samples: Sequence[float], fraction: float) -> float:
    """Nearest-rank percentile of already sorted samples."""
    rank = max(1, math.ceil(fraction * len(sorted_samples)))
    return sorted_samples[rank - 1]


def describe(values: Sequence[float]) -> Dict[str, float]:
    """Count, median, p99 and mean of any values."""
    if not values:
        return {"n": 0}
    ordered = sorted(values)
    return {"n": len(ordered), "median": percentile(ordered, 0.5),
            "p99": percentile(ordered, 0.99), "mean": sum(ordered) / len(ordered)}


def summarise(samples_ns: Sequence[float], keep: bool = False) -> Dict:
    """``describe`` of nanosecond samples, in microseconds; with ``keep``, the
    samples too, for pairing with another series over the same inputs."""
    stats = describe(samples_ns)
    out: Dict = {"n": stats["n"], **{f"{k}_us": v / 1e3 for k, v in stats.items() if k != "n"}}
    if keep:
        out["samples_ns"] = list(samples_ns)
    return out


def paired_median_us(a: Dict, b: Dict) -> float:
    """Median over inputs of (a - b), for two kept series timed on the same
    inputs in the same order: robust to the outliers that a difference of
    means picks up on a busy machine."""
    return describe([x - y for x, y in zip(a["samples_ns"], b["samples_ns"])])["median"] / 1e3
