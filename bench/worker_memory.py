"""PSS of N worker processes that each open one index file, by the queries
they answer: none (bare interpreters), suggestions and exact matches only, or
fuzzy_match at one and two edits too, which derives the reversed terms in
each worker's own memory.

    python bench/worker_memory.py INDEX_FILE [--workers 1 8]

Prints, per kind of traffic and worker count, the PSS the workers add over
as many bare ones, against the file's size.
"""

import argparse
import os
import subprocess
import sys

WORKER = r"""
import sys, time
import quellnor
traffic, path = sys.argv[1], sys.argv[2]
if traffic != "bare":
    index = quellnor.open(path)
    for text in ("mountian", "choclate", "londn", "guitr", "telefone", "abbreviaton"):
        index.fuzzy_match(text, 0)
        index.suggest(text)
        index.suggest_videos(text)
        if traffic == "fuzzy":
            index.fuzzy_match(text, 1)
            index.fuzzy_match(text, 2)
print("ready", flush=True)
sys.stdin.readline()
"""


def pss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/smaps_rollup") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Pss:"))


def workers_pss(traffic: str, count: int, path: str) -> int:
    workers = [subprocess.Popen([sys.executable, "-c", WORKER, traffic, path], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True) for _ in range(count)]
    try:
        for worker in workers:
            if worker.stdout is None or worker.stdout.readline() != "ready\n":
                raise RuntimeError("a worker did not start")
        return sum(pss_kib(worker.pid) for worker in workers)
    finally:
        for worker in workers:
            worker.kill()
            worker.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("index")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 8])
    args = parser.parse_args()
    file_mib = os.path.getsize(args.index) / 2**20
    print(f"{'traffic':<28}{'workers':>8}{'added MiB':>11}{'x file':>8}   (file {file_mib:.1f} MiB)")
    for count in args.workers:
        bare = workers_pss("bare", count, args.index)
        for traffic, label in (("plain", "suggestions, d=0"), ("fuzzy", "and fuzzy_match d=1, d=2")):
            added = (workers_pss(traffic, count, args.index) - bare) / 1024
            print(f"{label:<28}{count:>8}{added:>11.1f}{added / file_mib:>8.2f}")


if __name__ == "__main__":
    main()
