"""From raw search logs to an index: DuckDB aggregates, quellnor indexes.

A search log holds one event per query typed and per result clicked. The
index wants (term, video, count) rows: how often each video was clicked for
each term. Grouping a billion events is a job for an engine made for it:
DuckDB on one machine (embedded, it spills to disk when memory runs out),
Spark or a warehouse beyond. Each writes Parquet, which ``quellnor build``
reads. This script runs the whole way on one machine:

    python examples/duckdb_recipe.py [--events 1000000] [--workdir DIR]

1. writes a log of query and click events (a fixed seed) to log.parquet;
2. aggregates the clicks with DuckDB into clicks.parquet:
       COPY (SELECT term, video, count(*) AS count FROM 'log.parquet'
             WHERE kind = 'click' GROUP BY term, video) TO 'clicks.parquet'
3. runs ``quellnor build clicks.parquet -o clicks.idx``;
4. checks, for the most searched terms, that the index ranks first the
   video that the log says was clicked most for every term the query
   reaches (the term and the terms it begins).

Needs duckdb and pyarrow (``pip install duckdb 'quellnor[arrow]'``).
"""

from __future__ import annotations

import argparse
import random
import subprocess
import sys
import tempfile
import uuid
from collections import Counter, defaultdict
from pathlib import Path
from typing import Dict, List, Tuple

SEED = 22
TERMS = 3000
VIDEOS = 20000
CLICK_SHARE = 0.6
FAVOURITE_SHARE = 0.5


def make_log(events: int, seed: int = SEED) -> Dict[str, list]:
    """Query and click events: terms by Zipf popularity, each term with a
    favourite video that takes half its clicks, the rest spread widely."""
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    terms = sorted({"".join(rng.choice(letters) for _ in range(rng.randint(4, 9))) for _ in range(TERMS)})
    videos = [str(uuid.UUID(int=rng.getrandbits(128))) for _ in range(VIDEOS)]
    favourite = {term: rng.choice(videos) for term in terms}
    weights = [1.0 / (rank + 1) for rank in range(len(terms))]
    order = terms[:]
    rng.shuffle(order)
    chosen = rng.choices(order, weights=weights, k=events)
    log: Dict[str, list] = {"session": [], "kind": [], "term": [], "video": []}
    for i, term in enumerate(chosen):
        clicked = rng.random() < CLICK_SHARE
        video = None
        if clicked:
            video = favourite[term] if rng.random() < FAVOURITE_SHARE else videos[int(rng.paretovariate(1.2)) % VIDEOS]
        log["session"].append(i // 7)
        log["kind"].append("click" if clicked else "query")
        log["term"].append(term)
        log["video"].append(video)
    return log


def write_log(log: Dict[str, list], path: Path) -> None:
    import pyarrow
    import pyarrow.parquet

    pyarrow.parquet.write_table(pyarrow.table(log), path)


AGGREGATE = """
COPY (
    SELECT term, video, count(*) AS count
    FROM read_parquet(?)
    WHERE kind = 'click'
    GROUP BY term, video
) TO '{target}' (FORMAT parquet)
"""


def aggregate(log_path: Path, target: Path) -> None:
    """The clicks per (term, video), by DuckDB, which spills to disk beyond memory."""
    import duckdb

    with duckdb.connect() as connection:
        connection.execute(AGGREGATE.format(target=str(target).replace("'", "''")), [str(log_path)])


def most_clicked(log: Dict[str, list], queries: List[str]) -> Dict[str, str]:
    """For each query, the video clicked most over every term it begins."""
    clicks: Dict[str, Counter] = defaultdict(Counter)
    for kind, term, video in zip(log["kind"], log["term"], log["video"]):
        if kind == "click":
            clicks[term][video] += 1
    best = {}
    for query in queries:
        total: Counter = Counter()
        for term, counter in clicks.items():
            if term.startswith(query):
                total.update(counter)
        best[query] = total.most_common(1)[0][0]
    return best


def run(events: int, workdir: Path) -> List[Tuple[str, str, str]]:
    """Runs the recipe; returns (query, expected, found) for each checked query."""
    log = make_log(events)
    log_path, clicks_path, index_path = workdir / "log.parquet", workdir / "clicks.parquet", workdir / "clicks.idx"
    write_log(log, log_path)
    aggregate(log_path, clicks_path)
    subprocess.run([sys.executable, "-m", "quellnor", "build", str(clicks_path), "-o", str(index_path)], check=True)

    import quellnor

    index = quellnor.open(index_path)
    searched = [term for term, _ in Counter(log["term"]).most_common(20)]
    expected = most_clicked(log, searched)
    return [(query, expected[query], index.fuzzy_match_video(query, 0)[0][0]) for query in searched]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--workdir", type=Path, default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        checked = run(args.events, args.workdir or Path(scratch))
    wrong = [c for c in checked if c[1] != c[2]]
    for query, expected, found in checked:
        print(f"{query:<10} most clicked {expected}  index {'agrees' if found == expected else 'ranks ' + found}")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
