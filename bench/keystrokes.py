"""The keystroke benchmark: misspelt words typed one character at a time.

    python bench/keystrokes.py [--quick | --full] [--pypy PATH | --no-pypy]

Builds the benchmark's index (the word list with its videos, through
``build_index``, so folded and with display spellings), makes misspelt words
(0-2 edits each: insertion, deletion, substitution or a swap of neighbours),
and for every prefix of every word times ``suggest(prefix, 10)`` and
``suggest_videos(prefix, 10)``. Beside them, on the whole words,
symspellpy's ``lookup`` with ``Verbosity.CLOSEST`` at the same distances
(chosen by length as ``suggest`` chooses them; its default metric also
counts a swap as one edit), and ``suggest`` on the same whole words. Prints
p50 and p99 per call for this interpreter and a second one (PyPy, run as a
worker), and which keystrokes needed the walk at distance 2.
"""

from __future__ import annotations

import argparse
import json
import platform
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, List, Sequence

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import workload  # noqa: E402
from options import add_size_and_pypy, second_interpreter  # noqa: E402
from timing import describe, gc_paused, time_calls  # noqa: E402

SEED = workload.SEED + 3
K = 10
MODES = {"quick": {"every": 20, "words": 200, "warmup": 500},
         "full": {"every": 1, "words": 2000, "warmup": 5000}}


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def misspell(word: str, rng: random.Random) -> str:
    """One edit: an insertion, deletion or substitution, or two neighbours swapped."""
    if len(word) > 1 and rng.random() < 0.25:
        at = int(rng.random() * (len(word) - 1))
        return word[:at] + word[at + 1] + word[at] + word[at + 2:]
    return workload._edit(word, rng)


def misspelt_words(vocabulary: Sequence[str], count: int) -> List[str]:
    """Vocabulary words (lower case, as people type) with 0, 1 or 2 edits."""
    rng = random.Random(SEED)
    out = []
    for _ in range(count):
        word = workload._pick(vocabulary, rng).lower()
        for _ in range(int(rng.random() * 3)):
            word = misspell(word, rng)
        out.append(word)
    return out


def automatic_distance(text: str) -> int:
    return 0 if len(text) <= 2 else 1 if len(text) <= 5 else 2


def summary_us(samples_ns: Sequence[float]) -> Dict:
    stats = describe(samples_ns)
    return {"n": stats["n"], "p50": stats.get("median", 0) / 1e3, "p99": stats.get("p99", 0) / 1e3}


def symspell_series(index, words: List[str], warmup: int) -> Dict:
    try:
        from symspellpy import SymSpell, Verbosity
    except ImportError:
        return {"missing": "symspellpy not importable; pip install -r bench/requirements.txt"}
    started = time.perf_counter()
    peer = SymSpell(max_dictionary_edit_distance=2)
    for term, _, weight in index.suggest("", 10**9):
        peer.create_dictionary_entry(term.lower(), max(weight, 1))
    built = time.perf_counter() - started
    closest = Verbosity.CLOSEST
    samples = time_calls(lambda w: peer.lookup(w, closest, max_edit_distance=automatic_distance(w)),
                         words, warmup=warmup)
    return {"build_s": built, **summary_us(samples)}


def measure(mode: str) -> Dict:
    settings = MODES[mode]
    import quellnor

    vocabulary = workload.load_vocabulary(settings["every"])
    catalogue = workload.make_catalogue(vocabulary)
    log(f"[{platform.python_implementation()}] building the index of {len(vocabulary):,} words")
    started = time.perf_counter()
    with gc_paused():
        index = quellnor.build_index(catalogue.rows(), video_top_n=workload.VIDEO_TOP_N)
    build_s = time.perf_counter() - started
    words = misspelt_words(vocabulary, settings["words"])
    prefixes = [word[:end] for word in words for end in range(1, len(word) + 1)]
    log(f"[{platform.python_implementation()}] {len(words):,} words, {len(prefixes):,} keystrokes")

    results: List[object] = []
    suggest_ns = time_calls(lambda p: index.suggest(p, K), prefixes, warmup=settings["warmup"], results=results)
    videos_ns = time_calls(lambda p: index.suggest_videos(p, K), prefixes, warmup=settings["warmup"])
    # A walk at distance 2 runs when the text allows two edits and the
    # nearer levels leave fewer than k suggestions.
    far = [automatic_distance(p) == 2 and sum(1 for r in found if r[1] <= 1) < K
           for p, found in zip(prefixes, results)]
    whole_ns = time_calls(lambda w: index.suggest(w, K), words, warmup=settings["warmup"])
    return {
        "interpreter": f"{platform.python_implementation()} {platform.python_version()}",
        "terms": len(index), "nodes": index.node_count, "words": len(words), "keystrokes": len(prefixes),
        "build_s": build_s,
        "suggest": summary_us(suggest_ns),
        "suggest_videos": summary_us(videos_ns),
        "far_share": sum(far) / len(far),
        "suggest_far": summary_us([t for t, f in zip(suggest_ns, far) if f]),
        "suggest_near": summary_us([t for t, f in zip(suggest_ns, far) if not f]),
        "suggest_whole_words": summary_us(whole_ns),
        "symspell_whole_words": symspell_series(index, words, settings["warmup"] // 5),
    }


def run_worker(python: str, mode: str) -> Dict:
    log(f"\n[second interpreter] {python}")
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "keystrokes.json"
        done = subprocess.run([python, str(Path(__file__).resolve()), f"--{mode}", "--worker", str(out)],
                              check=False)
        if done.returncode != 0 or not out.exists():
            return {"error": f"{python} exited with status {done.returncode}"}
        return json.loads(out.read_text())


def cell(result: Dict, key: str) -> str:
    series = result.get(key, {})
    if "missing" in series:
        return "not importable"
    return f"{series['p50']:.1f} / {series['p99']:.1f} us"


def table(interpreters: List[Dict]) -> str:
    rows = [
        ("suggest(prefix, 10), every keystroke", "suggest"),
        ("suggest_videos(prefix, 10), every keystroke", "suggest_videos"),
        ("suggest, keystrokes that walk at distance 2", "suggest_far"),
        ("suggest, the other keystrokes", "suggest_near"),
        ("suggest(word, 10), whole words", "suggest_whole_words"),
        ("symspellpy lookup CLOSEST, whole words", "symspell_whole_words"),
    ]
    header = "| p50 / p99 per call | " + " | ".join(r["interpreter"] for r in interpreters) + " |"
    lines = [header, "|---" * (len(interpreters) + 1) + "|"]
    lines += [f"| {label} | " + " | ".join(cell(r, key) for r in interpreters) + " |" for label, key in rows]
    first = interpreters[0]
    lines.append("")
    lines.append(f"{first['terms']:,} terms, {first['nodes']:,} nodes; {first['words']:,} misspelt words, "
                 f"{first['keystrokes']:,} keystrokes; {first['far_share']:.0%} of the keystrokes walk at "
                 f"distance 2. Index built in " + ", ".join(f"{r['build_s']:.1f} s ({r['interpreter']})"
                                                          for r in interpreters) + ".")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    add_size_and_pypy(parser)
    parser.add_argument("--worker", metavar="JSON", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        Path(args.worker).write_text(json.dumps(measure(args.mode)))
        return 0
    interpreters = [measure(args.mode)]
    python = second_interpreter(args)
    if python:
        second_result = run_worker(python, args.mode)
        if "error" in second_result:
            log(second_result["error"])
        else:
            interpreters.append(second_result)
    print()
    print(table(interpreters))
    return 0


if __name__ == "__main__":
    sys.exit(main())
