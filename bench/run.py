"""Benchmarks of quellnor against its peers, on CPython, PyPy and natively.

    python bench/run.py [--quick | --full] [--pypy PATH | --no-pypy]

Prints one table, writes bench/out/results.json and bench/out/latency.png.
See bench/README.md for what each figure means.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

from options import add_size_and_pypy, second_interpreter  # noqa: E402


def modes():
    from measure import Settings

    return {
        "quick": Settings(vocabulary_every=20, queries=200, repeat=3, peer_budget_s=1.0, warmup=50),
        "full": Settings(vocabulary_every=1, queries=2000, repeat=5, peer_budget_s=15.0, warmup=2000),
    }


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    add_size_and_pypy(parser, quick="smoke run: a 1-in-20 subset of the word list, 200 queries (under a minute)",
                      full="the figures: the whole word list, 2,000 queries (default)")
    parser.add_argument("--out", type=Path, default=HERE / "out", help="output directory (default: bench/out)")
    parser.add_argument("--native-build", type=Path, default=REPO / "build" / "bench",
                        help="CMake build directory of the native program (default: build/bench)")
    parser.add_argument("--worker", metavar="JSON", help=argparse.SUPPRESS)
    return parser.parse_args()


def run_worker(python: str, args: argparse.Namespace) -> Dict:
    """This script under another interpreter; its results, or why there are none."""
    log(f"\n[second interpreter] {python}")
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "results.json"
        command = [python, str(Path(__file__).resolve()), f"--{args.mode}", "--out", str(args.out),
                   "--worker", str(out)]
        try:
            done = subprocess.run(command, check=False)
        except OSError as error:
            return {"error": f"cannot run {python}: {error.strerror}"}
        if done.returncode != 0 or not out.exists():
            return {"error": f"{python} exited with status {done.returncode}"}
        return json.loads(out.read_text())


def stale_extensions(interpreters) -> list:
    """Warnings for extensions built before the last change under src/: the
    native program is built from src/ as it is now, so a split between the
    two would mix two versions of the core."""
    newest = max(p.stat().st_mtime for p in (REPO / "src").rglob("*") if p.is_file())
    return [f"WARNING: {p['label']}: {p['extension']} is older than src/; reinstall it, "
            "or the Python - native splits compare two versions of the core"
            for p in interpreters if Path(p["extension"]).stat().st_mtime < newest]


def run_notes(interpreters, native_results, native_module) -> list:
    """What the reader of the table must know about this run."""
    notes = [native_results["error"] if "error" in native_results else
             f"native column: the core in src/ as it is now, built Release {native_module.OPTIMISATION}; "
             "the installed extension is Release -O3"]
    notes += stale_extensions(interpreters)
    if len({p["digest"] for p in interpreters}) > 1:
        notes.append("WARNING: the interpreters built different indexes or queries")
    for p in interpreters:
        notes += [f"{p['label']}: {peer['missing']}" for peer in p["peers"].values() if "missing" in peer]
    return notes


def main() -> int:
    args = parse_args()
    try:
        import measure
    except ImportError as error:
        log(f"quellnor is not importable on {sys.executable} ({error}).\n"
            f"Install it first: pip install scikit-build-core && pip install --no-build-isolation {REPO}")
        return 1
    import native
    import report
    import workload

    settings = modes()[args.mode]
    files = measure.Files(args.out / "work" / args.mode)
    if args.worker:
        results = measure.measure(settings, files, primary=False, log=log)
        Path(args.worker).write_text(json.dumps(results))
        return 0

    interpreters = [measure.measure(settings, files, primary=True, log=log)]
    python = second_interpreter(args)
    second = run_worker(python, args) if python else None
    if second is not None and "error" not in second:
        interpreters.append(second)
    native_results = native.measure(args.native_build, files, settings.repeat, workload.VIDEO_TOP_N, log=log)
    notes = run_notes(interpreters, native_results, native)
    if second is not None and "error" in second:
        notes.insert(0, f"second interpreter: {second['error']}")

    first = interpreters[0]
    print(f"\nquellnor benchmark, {args.mode} mode: {first['terms']:,} terms, {first['nodes']:,} nodes, "
          f"{settings.queries:,} typo queries and {settings.queries:,} prefixes, "
          f"whole-index operations x{settings.repeat}\n")
    print(report.table(interpreters, native_results))
    results = {"mode": args.mode, "interpreters": interpreters, "native": native_results, "notes": notes}
    written = [report.write_json(results, args.out / "results.json"),
               report.plot(interpreters, native_results, args.out / "latency.png")]
    print("\n" + "\n".join(notes + written))
    return 0


if __name__ == "__main__":
    sys.exit(main())
