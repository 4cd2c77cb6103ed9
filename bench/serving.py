"""Serving benchmark: the index file against the trie's byte form, the memory
of worker processes that map one file, and threads answering at once.

    python bench/serving.py [--pypy PATH] [--quick]

Two indexes: the word list (/usr/share/dict/british-english-huge, one row per
word) and a large one of 3 million rows (every word, then two-word phrases
of the same words), both with videos drawn at random. Both are built once
and cached under bench/out/ (the large one takes minutes). Figures go to
standard output as a table and to bench/out/serving.txt and serving.json.

- open: ``quellnor.open(path)`` against ``PrefixSearch.from_bytes`` and
  ``Index.from_bytes`` of the trie's byte form (which derive what a file
  stores), and the pickle path (the file's bytes copied into memory); the
  median of several runs. Beside it, open and a first query, which works
  out the trie's layout (one pass over two arrays).
- memory: N worker processes (1 and 8) each open the same file and answer a
  few queries; the sum of their PSS (/proc/PID/smaps_rollup) less that of as
  many workers that only imported quellnor, against the file's size. The
  same for workers that load the byte form instead, for contrast.
- threads: fuzzy_match at max_dist=2 for a fixed set of misspelt words, by 1
  and by 2 threads sharing one index; queries per second. The machine's
  load is printed beside it: on a busy machine two threads cannot show two
  cores' worth.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parent
OUT = ROOT / "out"
WORD_LIST = Path("/usr/share/dict/british-english-huge")
LARGE_ROWS = 3_000_000
VIDEOS = 5000
SEED = 20261208


def words() -> List[str]:
    return sorted(set(WORD_LIST.read_text(encoding="utf-8").split("\n")) - {""})


def video_keys() -> List[uuid.UUID]:
    rng = random.Random(SEED)
    return [uuid.UUID(int=rng.getrandbits(128)) for _ in range(VIDEOS)]


def rows(large: bool):
    """(term, video, count) rows: every word, then for the large index
    two-word phrases until there are LARGE_ROWS rows."""
    rng = random.Random(SEED)
    keys = video_keys()
    vocabulary = words()
    for word in vocabulary:
        yield word, keys[rng.randrange(VIDEOS)], 1 + rng.randrange(100)
    if large:
        for _ in range(LARGE_ROWS - len(vocabulary)):
            phrase = f"{vocabulary[rng.randrange(len(vocabulary))]} {vocabulary[rng.randrange(len(vocabulary))]}"
            yield phrase, keys[rng.randrange(VIDEOS)], 1 + rng.randrange(100)


def index_path(large: bool) -> Path:
    return OUT / ("serving-3m.qix" if large else "serving-words.qix")


def ensure_index(large: bool) -> Path:
    """The cached index file, built when missing (with its trie bytes beside it)."""
    import quellnor

    path = index_path(large)
    if path.exists() and path.with_suffix(".bytes").exists():
        return path
    started = time.perf_counter()
    print(f"building {path.name} ...", file=sys.stderr, flush=True)
    builder = quellnor.IndexBuilder()
    for term, video, count in rows(large):
        builder.add(term, video, count)
    index = builder.build()
    del builder
    index.save(path)
    path.with_suffix(".bytes").write_bytes(index.to_bytes())
    print(f"built {path.name}: {len(index):,} terms in {time.perf_counter() - started:.0f} s",
          file=sys.stderr, flush=True)
    return path


# --- open against loading ---------------------------------------------------


def median_seconds(call, runs: int) -> float:
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - started)
        del result
    return statistics.median(times)


def open_figures(path: Path, runs: int) -> Dict[str, float]:
    import quellnor
    from _quellnor import PrefixSearch

    data = path.with_suffix(".bytes").read_bytes()
    file_bytes = path.read_bytes()
    return {
        "file_mb": path.stat().st_size / 1e6,
        "bytes_mb": len(data) / 1e6,
        "open_ms": 1e3 * median_seconds(lambda: quellnor.open(path), max(runs, 20)),
        # The first query works out the trie's layout (one pass over two arrays).
        "open_and_first_query_ms": 1e3 * median_seconds(lambda: quellnor.open(path).fuzzy_match("helo", 1), runs),
        "prefix_search_from_bytes_ms": 1e3 * median_seconds(lambda: PrefixSearch.from_bytes(data), runs),
        "index_from_bytes_ms": 1e3 * median_seconds(lambda: quellnor.Index.from_bytes(data), runs),
        "file_bytes_load_ms": 1e3 * median_seconds(lambda: quellnor.Index._from_file_bytes(file_bytes, False), runs),
        "open_verify_ms": 1e3 * median_seconds(lambda: quellnor.open(path, verify=True), max(1, runs // 2)),
    }


# --- worker memory ----------------------------------------------------------

WORKER = """
import sys
import quellnor
mode, path = sys.argv[1], sys.argv[2]
if mode in ("open", "open-exact"):
    index = quellnor.open(path)
elif mode == "bytes":
    with open(path.replace(".qix", ".bytes"), "rb") as f:
        index = quellnor.Index.from_bytes(f.read())
else:
    index = None
if index is not None:
    # "open-exact" answers no query that needs the reversed terms.
    for text in ("lond", "guitar", "helo wrld", "acommodation", "zebra"):
        index.suggest(text, 10)
        index.suggest_videos(text, 10)
        index.fuzzy_match(text, 0 if mode == "open-exact" else 1)
        if mode != "open-exact":
            index.fuzzy_match(text, 2)
print("ready", flush=True)
sys.stdin.readline()
"""


def pss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    raise RuntimeError(f"no Pss in /proc/{pid}/smaps_rollup")


def workers_pss(python: str, mode: str, path: Path, count: int) -> int:
    """The summed PSS (KiB) of `count` workers, all alive at once."""
    procs = [subprocess.Popen([python, "-c", WORKER, mode, str(path)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) for _ in range(count)]
    try:
        for p in procs:
            if p.stdout.readline().strip() != "ready":
                raise RuntimeError(f"a {mode} worker failed")
        return sum(pss_kib(p.pid) for p in procs)
    finally:
        for p in procs:
            p.stdin.close()
            p.wait(timeout=60)


def memory_figures(python: str, path: Path, counts: Sequence[int], modes: Sequence[str]) -> List[Dict]:
    out = []
    size_mib = Path(path).stat().st_size / 2**20
    for count in counts:
        baseline = workers_pss(python, "none", path, count)
        for mode in modes:
            added = (workers_pss(python, mode, path, count) - baseline) / 1024
            out.append({"workers": count, "mode": mode, "added_pss_mib": added, "file_mib": size_mib,
                        "times_one_index": added / size_mib})
    return out


# --- threads ----------------------------------------------------------------

THREADS = """
import json, os, random, sys, threading, time
import quellnor
index = quellnor.open(sys.argv[1])
rng = random.Random(7)
terms = [t for t, _, _ in index.suggest("", 5000) if len(t) >= 5]
queries = []
for term in rng.sample(terms, min(len(terms), int(sys.argv[2]))):
    at = rng.randrange(len(term))
    queries.append(term[:at] + "q" + term[at + 1:])
def run(part):
    for q in part:
        index.fuzzy_match(q, 2)
run(queries[:20])  # warm
out = {}
cores = {}
for threads in (1, 2, 1, 2, 1, 2):
    parts = [queries[i::threads] for i in range(threads)]
    started, cpu = time.perf_counter(), os.times()
    workers = [threading.Thread(target=run, args=(p,)) for p in parts]
    for w in workers: w.start()
    for w in workers: w.join()
    wall, after = time.perf_counter() - started, os.times()
    rate = len(queries) / wall
    if rate > out.get(threads, 0.0):
        out[threads] = rate
        cores[threads] = (after.user - cpu.user + after.system - cpu.system) / wall
print(json.dumps({"rates": out, "cores": cores}))
"""


def thread_figures(python: str, path: Path, queries: int) -> Dict[str, float]:
    done = subprocess.run([python, "-c", THREADS, str(path), str(queries)], capture_output=True, text=True,
                          check=True)
    found = json.loads(done.stdout)
    rates = found["rates"]
    return {"one_thread_qps": rates["1"], "two_threads_qps": rates["2"], "speedup": rates["2"] / rates["1"],
            "two_threads_cores": found["cores"]["2"], "load_average": os.getloadavg()[0]}


# --- report -----------------------------------------------------------------


def interpreters(args: argparse.Namespace) -> List[Tuple[str, str]]:
    found = [("CPython", sys.executable)]
    pypy = args.pypy or shutil.which("pypy3")
    venv_pypy = ROOT.parent / ".venv-pypy" / "bin" / "python"
    if args.pypy is None and venv_pypy.exists():
        pypy = str(venv_pypy)
    if pypy:
        found.append(("PyPy", pypy))
    return found


def report(results: Dict) -> str:
    lines = ["open against loading (median ms)",
             f"  {'index':<8}{'file MB':>9}{'bytes MB':>10}{'open':>9}{'+1st query':>12}{'verify':>9}{'PS.from_bytes':>15}"
             f"{'Index.from_bytes':>18}{'pickle load':>13}{'x vs PS':>9}{'x vs Index':>11}"]
    for name, f in results["open"].items():
        lines.append(f"  {name:<8}{f['file_mb']:>9.1f}{f['bytes_mb']:>10.1f}{f['open_ms']:>9.3f}"
                     f"{f['open_and_first_query_ms']:>12.1f}"
                     f"{f['open_verify_ms']:>9.0f}{f['prefix_search_from_bytes_ms']:>15.1f}"
                     f"{f['index_from_bytes_ms']:>18.1f}{f['file_bytes_load_ms']:>13.1f}"
                     f"{f['prefix_search_from_bytes_ms'] / f['open_ms']:>9.0f}"
                     f"{f['index_from_bytes_ms'] / f['open_ms']:>11.0f}")
    lines.append("")
    lines.append("worker memory: PSS added by N workers over as many bare ones (MiB), against one index file")
    lines.append(f"  {'interpreter':<12}{'index':<8}{'mode':<7}{'workers':>8}{'added MiB':>11}{'file MiB':>10}"
                 f"{'x one index':>13}")
    for (interp, name), rows_ in results["memory"].items():
        for r in rows_:
            lines.append(f"  {interp:<12}{name:<8}{r['mode']:<7}{r['workers']:>8}{r['added_pss_mib']:>11.1f}"
                         f"{r['file_mib']:>10.1f}{r['times_one_index']:>13.2f}")
    lines.append("")
    lines.append("threads: fuzzy_match at max_dist=2 on the word index (queries/s, best of three runs;")
    lines.append("cores: CPU time over wall time of the best two-thread run)")
    lines.append(f"  {'interpreter':<12}{'1 thread':>10}{'2 threads':>11}{'speedup':>9}{'cores':>7}{'load avg':>10}")
    for interp, f in results["threads"].items():
        lines.append(f"  {interp:<12}{f['one_thread_qps']:>10.0f}{f['two_threads_qps']:>11.0f}"
                     f"{f['speedup']:>9.2f}{f['two_threads_cores']:>7.2f}{f['load_average']:>10.1f}")
    return "\n".join(lines)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pypy", help="the PyPy interpreter for the memory and thread figures")
    parser.add_argument("--quick", action="store_true", help="the word index only, fewer runs")
    parser.add_argument("--generate", action="store_true", help="only build the cached indexes")
    args = parser.parse_args(argv)
    OUT.mkdir(exist_ok=True)
    names = {"words": False} if args.quick else {"words": False, "3M rows": True}
    paths = {name: ensure_index(large) for name, large in names.items()}
    if args.generate:
        return 0
    runs = 3 if args.quick else 7
    results: Dict = {"open": {}, "memory": {}, "threads": {}}
    for name, path in paths.items():
        results["open"][name] = open_figures(path, runs if name == "words" else 3)
    for interp, python in interpreters(args):
        for name, path in paths.items():
            modes = ("open", "bytes") if name == "words" else ("open",)
            results["memory"][(interp, name)] = memory_figures(python, path, (1, 8), modes)
        results["threads"][interp] = thread_figures(python, paths["words"], 200 if args.quick else 1000)
    text = report(results)
    print(text)
    (OUT / "serving.txt").write_text(text + "\n")
    serialisable = dict(results, memory={f"{i} / {n}": r for (i, n), r in results["memory"].items()})
    (OUT / "serving.json").write_text(json.dumps(serialisable, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
