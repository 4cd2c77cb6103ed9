"""The build table: rows, time and peak memory per interpreter, with peers
building the same terms.

    python bench/build.py [--pypy PATH] [--big] [--cases NAME,...]

Every case runs in a child process of its own, which makes its rows first
(not timed) and then builds; its peak memory is the child's resident-set
high-water mark (``ru_maxrss``), printed beside what the rows alone held
before the build began. Cases:

- catalogue: the word list, each word on two rows (two videos of 1,000
  uuid.UUID objects), 695k rows as a list of tuples, folded: what
  ``IndexBuilder`` was measured on before it went native;
- 3M tuples / 3M columns: three million rows of single words and two-word
  phrases over 50,000 videos, as tuples (UUID text) and as an Arrow table;
- 3M TSV / 3M JSONL: the same rows in a file, through ``quellnor build``
  (reading, building, deriving what the file keeps, writing it to disk);
- 30M columns (``--big``, CPython, skipped with less than 20 GB free):
  thirty million rows, an Arrow table with int video ids.

Peers build the distinct terms only (they hold no videos): marisa-trie and
fuzzyfst, each where it is installed.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path
from typing import Dict, List, Optional

HERE = Path(__file__).resolve().parent
WORDS = Path("/usr/share/dict/british-english-huge")
SEED = 22


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def words() -> List[str]:
    return [w for w in WORDS.read_text(encoding="utf-8").split("\n") if w]


def catalogue_rows() -> list:
    videos = [uuid.UUID(int=i) for i in range(1, 1001)]
    rows = []
    for i, word in enumerate(words()):
        rows.append((word, videos[i % 1000], 1 + i % 7))
        rows.append((word, videos[(i * 7) % 1000], 2))
    return rows


def phrase_columns(count: int, videos: int, uuid_text: bool) -> Dict[str, list]:
    """Single words and two-word phrases, by a fixed linear congruential
    stream (the same on every interpreter), with Zipf-ish popular videos."""
    vocabulary = words()
    ids = [str(uuid.UUID(int=(i * 0x9E3779B97F4A7C15) % 2**128)) for i in range(videos)] if uuid_text else None
    state = SEED
    terms, chosen, counts = [], [], []
    for i in range(count):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        a = vocabulary[(state >> 20) % len(vocabulary)]
        term = a if i % 3 == 0 else a + " " + vocabulary[(state >> 40) % len(vocabulary)]
        video = ((state >> 8) % videos) * ((state >> 50) % 4 == 0) + ((state >> 30) % 500)
        terms.append(term)
        chosen.append(ids[video % videos] if ids else video % videos)
        counts.append(1 + (state >> 33) % 9)
    return {"term": terms, "video": chosen, "count": counts}


def big_table(count: int):
    """Thirty million rows made with numpy and pyarrow, no Python object per row."""
    import numpy
    import pyarrow
    import pyarrow.compute

    vocabulary = pyarrow.array(words())
    rng = numpy.random.default_rng(SEED)
    first = pyarrow.array(rng.integers(0, len(vocabulary), count))
    second = pyarrow.array(rng.integers(0, len(vocabulary), count))
    single = pyarrow.array(rng.random(count) < 0.3)
    one = pyarrow.compute.take(vocabulary, first)
    two = pyarrow.compute.binary_join_element_wise(one, pyarrow.compute.take(vocabulary, second), " ")
    terms = pyarrow.compute.if_else(single, one, two)
    videos = pyarrow.array(rng.zipf(1.3, count) % 500_000, pyarrow.int64())
    counts = pyarrow.array(rng.integers(1, 10, count), pyarrow.int64())
    table = pyarrow.table({"term": terms, "video": videos, "count": counts})
    del vocabulary, first, second, single, one, two, terms, videos, counts
    # Arrow's allocator keeps what the intermediate arrays freed; the rows
    # should hold only the table.
    pyarrow.default_memory_pool().release_unused()
    return table


def write_catalogue(path: Path, fmt: str) -> None:
    """The 3M rows as a TSV or JSONL file for ``quellnor build``."""
    columns = phrase_columns(3_000_000, 50_000, uuid_text=True)
    with open(path, "w", encoding="utf-8") as out:
        for term, video, count in zip(columns["term"], columns["video"], columns["count"]):
            if fmt == "tsv":
                out.write(f"{term}\t{video}\t{count}\n")
            else:
                out.write(json.dumps({"term": term, "video": video, "count": count}) + "\n")


def run_command(source: str) -> dict:
    """``quellnor build`` of a catalogue file, in this process."""
    import quellnor
    from quellnor._cli import main as command_line

    with tempfile.TemporaryDirectory(dir=os.path.dirname(source)) as scratch:
        target = os.path.join(scratch, "index.qidx")
        before = peak_mb()
        started = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):  # its summary line
            code = command_line(["build", source, "-o", target])
        if code != 0:
            raise SystemExit("quellnor build failed")
        seconds = time.perf_counter() - started
        peak = peak_mb()
        index = quellnor.open(target)
        rows = sum(1 for _ in open(source, "rb"))
        return {"rows": rows, "terms": len(index), "seconds": seconds, "peak_mb": peak, "rows_mb": before}


def run_case(name: str, source: str = "") -> dict:
    import quellnor

    if source:
        return run_command(source)
    if name == "catalogue":
        rows = catalogue_rows()
        made = lambda: quellnor.build_index(rows)  # noqa: E731
        size = len(rows)
    elif name == "3M tuples":
        columns = phrase_columns(3_000_000, 50_000, uuid_text=True)
        rows = list(zip(columns["term"], columns["video"], columns["count"]))
        del columns
        made = lambda: quellnor.build_index(rows)  # noqa: E731
        size = len(rows)
    elif name == "3M columns":
        import pyarrow

        table = pyarrow.table(phrase_columns(3_000_000, 50_000, uuid_text=True))
        made = lambda: quellnor.build_index(table)  # noqa: E731
        size = table.num_rows
    elif name == "30M columns":
        table = big_table(30_000_000)
        made = lambda: quellnor.build_index(table)  # noqa: E731
        size = table.num_rows
    else:
        raise SystemExit(f"unknown case {name}")
    before = peak_mb()
    started = time.perf_counter()
    index = made()
    seconds = time.perf_counter() - started
    return {"rows": size, "terms": len(index), "seconds": seconds, "peak_mb": peak_mb(), "rows_mb": before}


def run_peer(name: str, case: str) -> dict:
    """A peer building the distinct terms of a case."""
    if case == "catalogue":
        terms = sorted(set(words()))
    else:
        terms = sorted(set(phrase_columns(3_000_000, 50_000, uuid_text=False)["term"]))
    before = peak_mb()
    started = time.perf_counter()
    if name == "marisa-trie":
        import marisa_trie

        marisa_trie.Trie(terms)
    else:
        import fuzzyfst

        with tempfile.TemporaryDirectory() as scratch:
            fuzzyfst.build(os.path.join(scratch, "terms.fst"), terms, sort_input=False)
    return {"rows": len(terms), "terms": len(terms), "seconds": time.perf_counter() - started,
            "peak_mb": peak_mb(), "rows_mb": before}


# What the 30M case peaks at (17.4 GB), with some room: on a smaller machine
# it would only end in the kernel's out-of-memory killer.
BIG_NEEDS_GB = 20


def available_gb() -> float:
    """MemAvailable of /proc/meminfo, or infinity where there is none."""
    try:
        with open("/proc/meminfo", encoding="ascii") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) / 2**20
    except OSError:
        pass
    return float("inf")


def child(python: str, *args: str) -> Optional[dict]:
    done = subprocess.run([python, __file__, "--child", *args], capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(f"{' '.join(args)} on {python}: {done.stderr.strip().splitlines()[-1:]}\n")
        return None
    return json.loads(done.stdout)


def interpreter_name(python: str) -> str:
    return subprocess.run([python, "-c", "import platform; print(platform.python_implementation())"],
                          capture_output=True, text=True).stdout.strip()


# Cases read from a file by the command line, which writes the index file.
FILE_CASES = ("3M TSV", "3M JSONL")


def main() -> int:
    parser = argparse.ArgumentParser(description="The build table.")
    parser.add_argument("--pypy", help="a PyPy interpreter with quellnor installed")
    parser.add_argument("--big", action="store_true", help="also the 30M-row case (CPython)")
    parser.add_argument("--cases", default=",".join(["catalogue", "3M tuples", "3M columns", *FILE_CASES]))
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, *rest = args.child
        if kind == "write":
            write_catalogue(Path(rest[1]), rest[0])
            return 0
        result = run_case(*rest) if kind == "case" else run_peer(rest[0], rest[1])
        print(json.dumps(result))
        return 0

    cases = args.cases.split(",") + (["30M columns"] if args.big else [])
    if args.big and available_gb() < BIG_NEEDS_GB:
        sys.stderr.write(f"30M columns: skipped: it peaks near 18 GB, and only {available_gb():.1f} GB are free\n")
        cases.remove("30M columns")
    pythons = [sys.executable] + ([args.pypy] if args.pypy else [])
    scratch = tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/var/tmp"))
    files = {case: Path(scratch.name) / f"3m.{case.split()[1].lower()}" for case in FILE_CASES if case in cases}
    print(f"{'case':<14}{'interpreter':<13}{'rows':>12}{'terms':>12}{'seconds':>10}{'peak MB':>10}{'rows MB':>10}")
    for case in cases:
        for python in pythons:
            if case in ("3M columns", "30M columns") and python != sys.executable:
                continue  # pyarrow has no PyPy wheels
            if case in files and not files[case].exists():
                # In a child: a child's peak starts from its parent's.
                subprocess.run([sys.executable, __file__, "--child", "write", files[case].suffix[1:],
                                str(files[case])], check=True)
            result = child(python, "case", case, *([str(files[case])] if case in files else []))
            if result:
                print(f"{case:<14}{interpreter_name(python):<13}{result['rows']:>12,}{result['terms']:>12,}"
                      f"{result['seconds']:>10.2f}{result['peak_mb']:>10,.0f}{result['rows_mb']:>10,.0f}")
        if case in ("catalogue", "3M tuples"):
            for peer in ("marisa-trie", "fuzzyfst"):
                result = child(sys.executable, "peer", peer, case)
                if result:
                    print(f"{'  ' + peer:<14}{'CPython':<13}{'':>12}{result['terms']:>12,}"
                          f"{result['seconds']:>10.2f}{result['peak_mb']:>10,.0f}{result['rows_mb']:>10,.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
