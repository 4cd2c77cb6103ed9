"""Everything timed from Python, on whichever interpreter runs this module.

``measure()`` returns plain summaries (see timing.summarise); the native
program's figures and the splits derived from both sides come later, in
report.py.
"""

from __future__ import annotations

import hashlib
import json
import pickle
import platform
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional, Sequence

import _quellnor
from _quellnor import PrefixSearch

try:  # the package's builder, timed when it is there
    from quellnor import IndexBuilder
except ImportError:
    IndexBuilder = None

import workload
from peers import PEERS, load_peer
from timing import summarise, time_calls, time_repeat

DISTANCES = (0, 1, 2)
VIDEO_DISTANCE = 1
HERE = Path(__file__).resolve().parent


@dataclass(frozen=True)
class Settings:
    vocabulary_every: int  # keep every n-th word of the word list
    queries: int           # typo queries, and as many prefixes
    repeat: int            # runs of each whole-index operation
    peer_budget_s: float   # time per peer and distance; a slow peer covers fewer queries
    warmup: int            # untimed calls before each query series, through its loop


class Files:
    """What the primary run leaves for the native program and the probes."""

    def __init__(self, directory: Path) -> None:
        self.directory = directory
        self.index = directory / "index.bin"
        self.terms_index = directory / "terms_index.bin"
        self.raw_payloads = directory / "raw_payloads.bin"
        self.terms = directory / "typo_queries.txt"
        self.prefixes = directory / "prefix_queries.txt"
        self.vocabulary = directory / "vocabulary.txt"


def interpreter_label() -> str:
    return f"{platform.python_implementation()} {platform.python_version()}"


# --- construction ----------------------------------------------------------------

def from_arrays(flat: workload.FlatIndex):
    return lambda: PrefixSearch.from_internal_data_v2(*flat.arguments())


def construction(catalogue: workload.Catalogue, flat: workload.FlatIndex,
                 settings: Settings) -> Dict:
    lists = flat.lists()
    return {
        "from_internal_data_v2": summarise(time_repeat(from_arrays(flat), settings.repeat)),
        "list_floor": summarise(time_repeat(lambda: [list(x) for x in lists], settings.repeat)),
        "wide_root": summarise(time_repeat(from_arrays(workload.wide_root()), settings.repeat)),
        "index_builder": index_builder(catalogue, settings),
    }


def index_builder(catalogue: workload.Catalogue, settings: Settings) -> Optional[Dict]:
    """Adding every row to the package's IndexBuilder, then build()."""
    if IndexBuilder is None:
        return None
    builder = IndexBuilder()
    rows = list(catalogue.rows())

    def add_all(_):
        for term, video, count in rows:
            builder.add(term, video, count)

    return {
        "rows": len(rows),
        "add": summarise(time_calls(add_all, [None])),
        "build": summarise(time_repeat(lambda: builder.build(workload.VIDEO_TOP_N), settings.repeat)),
    }


# --- queries ---------------------------------------------------------------------

def queries(index: PrefixSearch, typos: List[str], prefixes: List[str], settings: Settings) -> Dict:
    match, video = index.fuzzy_match, index.fuzzy_match_video
    out = {"harness": summarise(time_calls(lambda q: None, typos, warmup=settings.warmup))}
    for d in DISTANCES:
        out[f"fuzzy_match_d{d}"] = summarise(
            time_calls(lambda q: match(q, d), typos, warmup=settings.warmup), keep=True)
    out["fuzzy_match_video"] = summarise(
        time_calls(lambda q: video(q, VIDEO_DISTANCE), prefixes, warmup=settings.warmup), keep=True)
    # The same calls with an empty result: what the list of videos costs is
    # then a difference within this process, seconds apart, rather than one
    # against the native program, which runs minutes later.
    out["fuzzy_match_video_empty"] = summarise(
        time_calls(lambda q: video(q, VIDEO_DISTANCE, 0), prefixes, warmup=settings.warmup), keep=True)
    return out


def peer_queries(index: PrefixSearch, vocabulary: List[str], typos: List[str],
                 settings: Settings) -> Dict:
    out = {}
    for name in PEERS:
        peer, missing = load_peer(name)
        out[name] = {"missing": missing} if peer is None else one_peer(peer, index, vocabulary,
                                                                        typos, settings)
    return out


def one_peer(peer, index: PrefixSearch, vocabulary: List[str], typos: List[str],
             settings: Settings) -> Dict:
    result = {"note": peer.note,
              "build": summarise(time_calls(peer.build, [vocabulary]))}
    for d in DISTANCES:
        answers: List[object] = []
        samples = time_calls(lambda q: peer.lookup(q, d), typos, warmup=settings.warmup,
                             budget_s=settings.peer_budget_s, results=answers)
        agree = sum(peer.terms(a) == {t for t, _, _ in index.fuzzy_match(q, d)}
                    for q, a in zip(typos, answers))
        result[f"d{d}"] = dict(summarise(samples), agree=agree)
    peer.build([])  # let the peer's index go before the next one is built
    return result


# --- byte form -------------------------------------------------------------------

def codec(index: PrefixSearch, flat: workload.FlatIndex, settings: Settings) -> Dict:
    data = index.to_bytes()
    arrays = flat.arguments()
    pickled = pickle.dumps(arrays, protocol=pickle.HIGHEST_PROTOCOL)
    timed = lambda call: summarise(time_repeat(call, settings.repeat))
    return {
        "bytes": len(data),
        "pickle_bytes": len(pickled),
        "to_bytes": timed(index.to_bytes),
        "from_bytes": timed(lambda: PrefixSearch.from_bytes(data)),
        "copy_floor": timed(lambda: bytes(bytearray(data))),
        "pickle_dumps": timed(lambda: pickle.dumps(arrays, protocol=pickle.HIGHEST_PROTOCOL)),
        "pickle_loads": timed(lambda: pickle.loads(pickled)),
    }


# --- resident size ---------------------------------------------------------------

def resident(files: Files) -> Dict:
    """Resident size of each index alone, each in a fresh interpreter: ours
    with its video lists, ours with the terms alone, and symspellpy's."""
    out = {}
    probes = (("quellnor", "quellnor", files.index), ("quellnor_terms", "quellnor", files.terms_index),
              ("symspellpy", "symspellpy", files.vocabulary))
    for name, kind, path in probes:
        if kind != "quellnor" and load_peer(kind)[0] is None:
            continue
        run = subprocess.run([sys.executable, str(HERE / "probe.py"), kind, str(path)],
                             capture_output=True, text=True, check=False)
        if run.returncode != 0:
            out[name] = {"error": run.stderr.strip().splitlines()[-1:]}
            continue
        probe = json.loads(run.stdout)
        out[name] = {"delta_kib": probe["after_kib"] - probe["before_kib"], **probe}
    return out


# --- the whole run ----------------------------------------------------------------

def write_files(files: Files, data: bytes, flat: workload.FlatIndex, vocabulary: Sequence[str],
                typos: Sequence[str], prefixes: Sequence[str]) -> None:
    files.directory.mkdir(parents=True, exist_ok=True)
    files.index.write_bytes(data)
    files.terms_index.write_bytes(from_arrays(flat.terms_only())().to_bytes())
    workload.write_raw_payloads(files.raw_payloads, flat.payloads)
    workload.write_lines(files.terms, typos)
    workload.write_lines(files.prefixes, prefixes)
    workload.write_lines(files.vocabulary, vocabulary)


def digest(data: bytes, *texts: Sequence[str]) -> str:
    """Fingerprint of the index and the queries, compared across interpreters."""
    h = hashlib.sha256(data)
    for lines in texts:
        h.update("\n".join(lines).encode("utf-8"))
    return h.hexdigest()[:16]


def measure(settings: Settings, files: Files, primary: bool, log=print) -> Dict:
    """All Python-side figures. The primary run also writes the files that the
    native program and the memory probes read."""
    log(f"[{interpreter_label()}] building the workload")
    vocabulary = workload.load_vocabulary(settings.vocabulary_every)
    catalogue = workload.make_catalogue(vocabulary)
    flat = catalogue.flatten()
    typos = workload.typo_queries(vocabulary, settings.queries)
    prefixes = workload.prefix_queries(vocabulary, settings.queries)

    log(f"[{interpreter_label()}] construction")
    result = {"label": interpreter_label(), "extension": _quellnor.__file__, "terms": len(vocabulary),
              "nodes": len(flat.child_labels), "settings": settings.__dict__}
    result["construction"] = construction(catalogue, flat, settings)
    index = from_arrays(flat)()
    data = index.to_bytes()
    result["digest"] = digest(data, typos, prefixes)
    if primary:
        write_files(files, data, flat, vocabulary, typos, prefixes)

    log(f"[{interpreter_label()}] queries")
    result["queries"] = queries(index, typos, prefixes, settings)
    log(f"[{interpreter_label()}] byte form")
    result["codec"] = codec(index, flat, settings)
    log(f"[{interpreter_label()}] peers")
    result["peers"] = peer_queries(index, vocabulary, typos, settings)
    log(f"[{interpreter_label()}] resident size probes")
    result["resident"] = resident(files)
    return result
