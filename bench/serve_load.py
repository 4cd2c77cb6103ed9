"""The server under load: ``quellnor serve`` on the loopback address, driven by wrk.

    python bench/serve_load.py [--quick | --full] [--pypy PATH | --no-pypy]

Builds the benchmark's index file once (the word list with its videos; kept
in bench/out/), starts ``quellnor serve`` on it with 1 and with 2 worker
processes, and drives it with wrk: 64 connections for 30 s (--full) over the
keystrokes of misspelt words, each prefix asked of /api/suggest and of
/api/suggest_videos. Prints requests per second, p50 and p99 latency and the
errors per run, for this interpreter and for PyPy beside it; saves them in
bench/out/serve_load.json. --quick is the CI's smoke run: a small index, a
few seconds, and a failure only when a request failed, never on a timing.

wrk, Debian's package, is an existing load generator written in C: on a
2-core machine that it shares with the server, it takes far less of the CPU
than a Python load generator would, and its latency histogram is exact.
Nothing but 127.0.0.1 is ever sent a request.
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path
from typing import Dict, List

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
OUT = HERE / "out"
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(REPO / "tests"))

import keystrokes  # noqa: E402
import workload  # noqa: E402
from options import add_size_and_pypy, second_interpreter  # noqa: E402
from served import Served  # noqa: E402
from timing import gc_paused  # noqa: E402

MODES = {
    "quick": {"every": 40, "words": 100, "seconds": 3, "warmup": 1, "connections": 16},
    "full": {"every": 1, "words": 2000, "seconds": 30, "warmup": 5, "connections": 64},
}
WORKER_COUNTS = (1, 2)


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def index_file(mode: str) -> Path:
    """The benchmark's index, built once per mode and kept."""
    path = OUT / f"serve_index_{mode}.qix"
    if path.exists():
        return path
    import quellnor

    vocabulary = workload.load_vocabulary(MODES[mode]["every"])
    log(f"building the index of {len(vocabulary):,} words into {path}")
    with gc_paused():
        index = quellnor.build_index(workload.make_catalogue(vocabulary).rows(), video_top_n=workload.VIDEO_TOP_N)
    OUT.mkdir(exist_ok=True)
    index.save(path)  # written beside it and renamed over it
    return path


def request_paths(mode: str) -> List[str]:
    """Every keystroke of the misspelt words, for both suggestion endpoints, interleaved."""
    vocabulary = workload.load_vocabulary(MODES[mode]["every"])
    paths = []
    for word in keystrokes.misspelt_words(vocabulary, MODES[mode]["words"]):
        for end in range(1, len(word) + 1):
            q = urllib.parse.quote(word[:end])
            paths += [f"/api/suggest?q={q}", f"/api/suggest_videos?q={q}"]
    return paths


def drive(url: str, paths_file: str, seconds: int, connections: int) -> Dict:
    command = ["wrk", "-t2", f"-c{connections}", f"-d{seconds}s", "--timeout", "10s",
               "-s", str(HERE / "serve_load.lua"), url, "--", paths_file]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    last = [line for line in done.stdout.splitlines() if line.startswith("{")][-1]
    result: Dict = json.loads(last)
    result["errors"] = sum(result[key] for key in ("connect_errors", "read_errors", "write_errors",
                                                    "status_errors", "timeouts"))
    result["rps"] = result["requests"] / (result["duration_us"] / 1e6)
    return result


def run(python: str, index: Path, paths_file: str, mode: str, threads: int) -> List[Dict]:
    settings = MODES[mode]
    name = subprocess.run([python, "-c", "import platform; print(platform.python_implementation(), "
                           "platform.python_version())"], capture_output=True, text=True, check=True).stdout.strip()
    rows = []
    for workers in WORKER_COUNTS:
        log(f"[{name}] {workers} worker(s): {settings['connections']} connections for {settings['seconds']} s")
        with Served(str(index), workers=workers, threads=threads, python=python, timeout=300) as server:
            drive(server.url, paths_file, settings["warmup"], settings["connections"])  # JIT and caches
            result = drive(server.url, paths_file, settings["seconds"], settings["connections"])
            stopped = server.stop()
        rows.append({"interpreter": name, "workers": workers, "threads": threads, "server_exit": stopped, **result})
    return rows


def table(rows: List[Dict], connections: int, seconds: int) -> str:
    lines = ["| interpreter | workers x threads | requests/s | p50 | p99 | errors |", "|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['interpreter']} | {r['workers']} x {r['threads']} | {r['rps']:,.0f} | {r['p50_us'] / 1e3:.1f} ms "
                     f"| {r['p99_us'] / 1e3:.1f} ms | {r['errors']} |")
    lines.append("")
    lines.append(f"wrk, 2 threads, {connections} connections for {seconds} s per run on 127.0.0.1, "
                 "over the keystrokes of misspelt words (/api/suggest and /api/suggest_videos, k=10); "
                 "wrk shares the machine's cores with the server.")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    add_size_and_pypy(parser, quick="CI's smoke run: a small index, a few seconds, failing only on errors")
    parser.add_argument("--threads", type=int, default=4, metavar="T",
                        help="threads per worker (default 4, as quellnor serve's; 1: gunicorn's sync workers)")
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        log("wrk is not installed (Debian: apt-get install wrk)")
        return 1

    pythons = [sys.executable]
    python = second_interpreter(args)
    if python:
        pythons.append(python)

    index = index_file(args.mode)
    rows: List[Dict] = []
    with tempfile.NamedTemporaryFile("w", suffix=".paths") as paths:
        listed = request_paths(args.mode)
        paths.write("\n".join(listed) + "\n")
        paths.flush()
        log(f"{len(listed):,} request paths over {index} ({index.stat().st_size / 1e6:.1f} MB)")
        for python in pythons:
            rows += run(python, index, paths.name, args.mode, args.threads)
    settings = MODES[args.mode]
    print()
    print(table(rows, settings["connections"], settings["seconds"]))
    OUT.mkdir(exist_ok=True)
    (OUT / f"serve_load_{args.mode}.json").write_text(json.dumps(rows, indent=2) + "\n")
    failed = [r for r in rows if r["errors"] or r["requests"] == 0 or r["server_exit"] != 0]
    for r in failed:
        log(f"FAILED: {r['interpreter']} with {r['workers']} worker(s): {r['errors']} errors, "
            f"{r['requests']} requests, server exit status {r['server_exit']}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
