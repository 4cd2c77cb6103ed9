#!/usr/bin/env python3
"""Writes the sample catalogue that ``quellnor demo`` searches.

Source of the terms: Debian's word list /usr/share/dict/british-english-huge
(package wbritish-huge; the shipped file was made from version 2020.12.07-2).
The catalogue is a few thousand of its words, each with one to four made-up
videos and view counts: every word that starts with one of the featured
stems below (so the demo has families like photograph, photographer,
photography to find), plus a fixed-seed sample of other lower-case words.
Videos are random UUIDs grouped by topic (a featured stem, or a word's first
two letters), so that related words share videos and a query's ranking
gathers them.

The output is tab-separated, ``term<TAB>video<TAB>count`` after a header
line, gzip-compressed without a time stamp, so the same word list gives the
same bytes on every run.

    python3 scripts/make_sample_catalogue.py [--words FILE] [-o FILE]
"""

from __future__ import annotations

import argparse
import gzip
import io
import random
import sys
import uuid
from pathlib import Path
from typing import Dict, List, Tuple

WORDS = Path("/usr/share/dict/british-english-huge")
OUTPUT = Path(__file__).resolve().parent.parent / "python" / "quellnor" / "data" / "sample_catalogue.tsv.gz"
SEED = 20240607
SAMPLED_WORDS = 2600
VIDEOS_PER_TOPIC = 6
FEATURED = (
    "astronomy", "bicycle", "chocolate", "dinosaur", "football", "guitar", "keyboard",
    "knitting", "mountain", "origami", "photograph", "recipe", "skateboard", "telescope",
    "volcano",
)


def read_words(path: Path) -> List[str]:
    words = path.read_text(encoding="utf-8").split("\n")
    # Plain lower-case words: no possessives, capitals or accents.
    return [w for w in words if w.isascii() and w.isalpha() and w.islower() and 3 <= len(w) <= 14]


def choose_terms(words: List[str], rng: random.Random) -> List[str]:
    featured = [w for w in words if w.startswith(FEATURED)]
    others = sorted(set(words) - set(featured))
    return sorted(set(featured) | set(rng.sample(others, SAMPLED_WORDS)))


def topic_of(word: str) -> str:
    for stem in FEATURED:
        if word.startswith(stem):
            return stem
    return word[:2]


def make_rows(terms: List[str], rng: random.Random) -> List[Tuple[str, str, int]]:
    topics: Dict[str, List[str]] = {}
    rows = []
    for term in terms:
        pool = topics.get(topic_of(term))
        if pool is None:
            pool = topics[topic_of(term)] = [
                str(uuid.UUID(int=rng.getrandbits(128), version=4)) for _ in range(VIDEOS_PER_TOPIC)
            ]
        featured = topic_of(term) in FEATURED
        videos = rng.sample(pool, rng.randint(2, 4) if featured else rng.randint(1, 3))
        for video in videos:
            # Heavy-tailed view counts, larger for the featured topics.
            scale = 2000 if featured else 300
            rows.append((term, video, min(int(scale * rng.paretovariate(1.3)), 10**7)))
    return rows


def render(rows: List[Tuple[str, str, int]]) -> bytes:
    text = "term\tvideo\tcount\n" + "".join(f"{t}\t{v}\t{c}\n" for t, v, c in rows)
    out = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=0, compresslevel=9) as gz:
        gz.write(text.encode("utf-8"))
    return out.getvalue()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--words", type=Path, default=WORDS, help=f"word list (default {WORDS})")
    parser.add_argument("-o", "--output", type=Path, default=OUTPUT, help="where to write (default: the package's data)")
    args = parser.parse_args()
    try:
        words = read_words(args.words)
    except OSError as exc:
        print(f"cannot read the word list: {exc} (on Debian: apt-get install wbritish-huge)", file=sys.stderr)
        return 1
    rng = random.Random(SEED)
    terms = choose_terms(words, rng)
    rows = make_rows(terms, rng)
    data = render(rows)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_bytes(data)
    print(f"{args.output}: {len(terms)} terms, {len(rows)} rows, {len(data)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
