"""Soak run: one million mixed calls against the benchmark index, with the
resident set size sampled as it goes.

    python bench/soak.py [--queries N] [--every N] [--max-growth-mb MB] [--json PATH]

The index is the benchmark's (bench/workload.py): the Debian word list
/usr/share/dict/british-english-huge, about 348,000 terms, with fixed-seed
payloads, flattened breadth first. The calls are a fixed-seed mix of:

- fuzzy_match on typed-with-typos terms at max_dist 0, 1 and 2, some with a
  limit;
- fuzzy_match_video on typed prefixes, with each choice of nodes;
- calls that fail: arguments of the wrong type or out of range, and
  internal faults on a deliberately broken index;
- now and then, a small index built from arrays and one loaded from bytes,
  queried and dropped; and to_bytes of the big index.

The resident set size is read from /proc/self/statm every --every calls. The
report gives it after building, after the warm-up (the first tenth of the
calls), at the end, the growth from the warm-up to the end and the slope of a
least-squares line through the samples after the warm-up. The exit status
is 1 when the growth exceeds --max-growth-mb.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import resource
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

try:
    import workload
except ImportError as error:  # pragma: no cover - a broken checkout
    sys.exit(f"soak: bench/workload.py is needed for the index and the queries ({error})")

from _quellnor import PrefixSearch

SEED = 20240707
PAGE = resource.getpagesize()
BROKEN_BYTES = bytes.fromhex("00" "020061" "00" "00" "00" "00")  # labels, no node shifts


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def mb(n: float) -> str:
    return f"{n / 2**20:.1f} MB"


def parse_args() -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--queries", type=int, default=1_000_000, help="number of calls (default 1,000,000)")
    p.add_argument("--every", type=int, default=10_000, help="sample the RSS every N calls")
    p.add_argument("--every-nth-word", type=int, default=1,
                   help="keep every N-th word of the list (default 1: all of them)")
    p.add_argument("--max-growth-mb", type=float, default=32.0,
                   help="fail when the RSS grows more than this after the warm-up")
    p.add_argument("--json", type=Path, help="write the samples and the summary here")
    return p.parse_args()


def build_index(every_nth_word: int):
    vocabulary = workload.load_vocabulary(every_nth_word)
    flat = workload.make_catalogue(vocabulary).flatten()
    ps = PrefixSearch.from_internal_data_v2(*flat.arguments())
    return vocabulary, ps


def small_arrays(rng: random.Random, vocabulary):
    terms = sorted({rng.choice(vocabulary) for _ in range(50)})
    return workload.make_catalogue(terms, seed=rng.randrange(2**32)).flatten().arguments()


class Mix:
    """A fixed-seed stream of calls; each call returns what it made, so that
    the result is alive until the next call replaces it."""

    def __init__(self, ps, vocabulary, rng: random.Random):
        self.ps = ps
        self.rng = rng
        self.vocabulary = vocabulary
        self.typos = workload.typo_queries(vocabulary, 20_000, seed=SEED)
        self.prefixes = workload.prefix_queries(vocabulary, 20_000, seed=SEED + 1)
        self.broken = PrefixSearch.from_bytes(BROKEN_BYTES)
        self.small = [small_arrays(rng, vocabulary) for _ in range(8)]
        self.small_bytes = [PrefixSearch.from_internal_data_v2(*a).to_bytes() for a in self.small]
        self.counts: dict = {}

    def call(self, i: int):
        rng = self.rng
        r = rng.random()
        if i % 100_000 == 99_999:
            kind, result = "to_bytes", self.ps.to_bytes()
        elif r < 0.40:
            term = self.typos[rng.randrange(len(self.typos))]
            max_dist = rng.choice((0, 1, 1, 1))
            limit = rng.choice((None, None, 1, 10))
            kind, result = "fuzzy_match", self.ps.fuzzy_match(term, max_dist, limit)
        elif r < 0.45:
            term = self.typos[rng.randrange(len(self.typos))]
            kind, result = "fuzzy_match d2", self.ps.fuzzy_match(term, 2, rng.choice((None, 20)))
        elif r < 0.90:
            term = self.prefixes[rng.randrange(len(self.prefixes))]
            include = rng.choice((None, None, True, False))
            kind, result = "fuzzy_match_video", self.ps.fuzzy_match_video(
                term, 1, rng.choice((None, 10)), include)
        elif r < 0.97:
            kind, result = self.failing(rng)
        else:
            k = rng.randrange(len(self.small))
            built = PrefixSearch.from_internal_data_v2(*self.small[k])
            loaded = PrefixSearch.from_bytes(self.small_bytes[k])
            term = self.prefixes[rng.randrange(len(self.prefixes))]
            kind, result = "build and drop", (built.fuzzy_match_video(term), loaded.fuzzy_match(term))
        self.counts[kind] = self.counts.get(kind, 0) + 1
        return result

    def failing(self, rng: random.Random):
        which = rng.randrange(5)
        try:
            if which == 0:
                self.ps.fuzzy_match(b"bytes")
            elif which == 1:
                self.ps.fuzzy_match("term", -1)
            elif which == 2:
                self.ps.fuzzy_match_video("term", 1, None, 1)
            elif which == 3:
                PrefixSearch.from_bytes(self.small_bytes[0][: rng.randrange(len(self.small_bytes[0]))])
            else:
                self.broken.fuzzy_match("a")
        except (TypeError, OverflowError, ValueError) as error:
            return "error", type(error).__name__
        except BaseException as error:
            if type(error).__name__ != "PanicException":
                raise
            return "error", "PanicException"
        raise AssertionError(f"failing call {which} succeeded")


def slope(samples):
    """Least-squares growth of the RSS, bytes per 100,000 calls."""
    n = len(samples)
    if n < 2:
        return 0.0
    xs = [s[0] for s in samples]
    ys = [s[1] for s in samples]
    mx, my = sum(xs) / n, sum(ys) / n
    var = sum((x - mx) ** 2 for x in xs)
    return 0.0 if var == 0 else sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / var * 100_000


def main() -> int:
    args = parse_args()
    start_rss = rss()
    t0 = time.perf_counter()
    vocabulary, ps = build_index(args.every_nth_word)
    gc.collect()
    built_rss = rss()
    print(f"soak: {platform.python_implementation()} {platform.python_version()}, "
          f"{len(vocabulary):,} terms, index built in {time.perf_counter() - t0:.1f} s; "
          f"RSS {mb(start_rss)} before, {mb(built_rss)} after", flush=True)

    mix = Mix(ps, vocabulary, random.Random(SEED))
    # The internal faults of the mix each write a short report to standard
    # error; the run keeps its own output readable.
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved_stderr = os.dup(2)
    os.dup2(devnull, 2)

    samples = []
    warmup = max(args.queries // 10, 1)
    t1 = time.perf_counter()
    result = None
    try:
        for i in range(args.queries):
            result = mix.call(i)
            done = i + 1
            if done % args.every == 0 or done == args.queries:
                samples.append((done, rss()))
                if done % (args.every * 10) == 0 or done == args.queries:
                    print(f"  {done:>9,} calls  {time.perf_counter() - t1:7.1f} s  RSS {mb(samples[-1][1])}",
                          file=sys.stdout, flush=True)
    finally:
        os.dup2(saved_stderr, 2)
        os.close(saved_stderr)
        os.close(devnull)
    del result
    elapsed = time.perf_counter() - t1

    after_warmup = [s for s in samples if s[0] >= warmup]
    warm_rss = after_warmup[0][1] if after_warmup else built_rss
    end_rss = samples[-1][1] if samples else rss()
    growth = end_rss - warm_rss
    summary = {
        "interpreter": f"{platform.python_implementation()} {platform.python_version()}",
        "terms": len(vocabulary),
        "calls": args.queries,
        "seconds": round(elapsed, 1),
        "calls_per_second": round(args.queries / elapsed) if elapsed else None,
        "rss_before_build": start_rss,
        "rss_after_build": built_rss,
        "rss_after_warmup": warm_rss,
        "rss_end": end_rss,
        "rss_peak_sampled": max((s[1] for s in samples), default=end_rss),
        "growth_after_warmup": growth,
        "growth_per_100k_calls": round(slope(after_warmup)),
        "mix": mix.counts,
    }
    print(f"soak: {args.queries:,} calls in {elapsed:.0f} s ({summary['calls_per_second']:,}/s)")
    print(f"  RSS after build {mb(built_rss)}, after warm-up ({warmup:,} calls) {mb(warm_rss)}, "
          f"end {mb(end_rss)}, peak sampled {mb(summary['rss_peak_sampled'])}")
    print(f"  growth after warm-up {mb(growth)}; trend {summary['growth_per_100k_calls'] / 1024:.1f} KB "
          f"per 100,000 calls")
    print("  mix: " + ", ".join(f"{k} {v:,}" for k, v in sorted(mix.counts.items())))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"summary": summary, "samples": samples}, indent=1))
    if growth > args.max_growth_mb * 2**20:
        print(f"soak: FAILED: RSS grew by {mb(growth)} after the warm-up (limit {args.max_growth_mb} MB)",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
