"""One table for the terminal, one JSON file and one plot, from the results
of every interpreter and of the native program."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from timing import paired_median_us

DISTANCES = ("0", "1", "2")
MISSING = "-"

# A row: label, the native cell, the cell of one interpreter. A cell is a
# function of the results (native N; interpreter P and native N) returning
# text; a missing figure anywhere in it leaves the cell as MISSING.
NativeCell = Optional[Callable[[Dict], str]]
PythonCell = Optional[Callable[[Dict, Dict], str]]
Row = Tuple[str, NativeCell, PythonCell]


def us(summary: Dict) -> str:
    """Median / p99 in microseconds."""
    return f"{_num(summary['median_us'])} / {_num(summary['p99_us'])}"


def ms(summary: Dict, key: str = "median_us") -> str:
    return _num(summary[key] / 1e3)


def x(ratio: float) -> str:
    return f"{ratio:.2f}x" if ratio < 10 else f"{ratio:.0f}x"


def _num(value: float) -> str:
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def per_term(kib_or_bytes: float, terms: int) -> str:
    return f"{kib_or_bytes / terms:.1f}"


def _resident_bytes(p: Dict, probe: str) -> float:
    return p["resident"][probe]["delta_kib"] * 1024


def conversion_ms(p: Dict, n: Dict) -> float:
    return (p["construction"]["from_internal_data_v2"]["median_us"] - n["build_trie"]["median_us"]) / 1e3


def peer_cell(name: str, d: str) -> PythonCell:
    def cell(p: Dict, _n: Dict) -> str:
        s = p["peers"][name][f"d{d}"]
        return f"{us(s)} (n={s['n']}, agree {s['agree']})"
    return cell


def construction_rows() -> List[Row]:
    total = lambda p: p["construction"]["from_internal_data_v2"]
    floor = lambda p: p["construction"]["list_floor"]
    return [
        ("CONSTRUCTION (ms, median)", None, None),
        ("from_internal_data_v2, total", None, lambda p, n: ms(total(p))),
        ("  argument conversion (Python total - native build)", None,
         lambda p, n: _num(conversion_ms(p, n))),
        ("  checks + assembly (native build - propagation)",
         lambda n: _num((n["build_trie"]["median_us"] - n["propagate"]["median_us"]) / 1e3), None),
        ("  propagation (native)", lambda n: ms(n["propagate"]), None),
        ("list() of the same lists (every list it walks)", None, lambda p, n: ms(floor(p))),
        ("  total / list() floor (target within 3x)", None,
         lambda p, n: x(total(p)["median_us"] / floor(p)["median_us"])),
        ("  conversion / list() floor", None,
         lambda p, n: x(conversion_ms(p, n) * 1e3 / floor(p)["median_us"])),
        ("IndexBuilder: add() every row, once", None,
         lambda p, n: f"{ms(p['construction']['index_builder']['add'])} "
                      f"({p['construction']['index_builder']['rows']:,} rows)"),
        ("IndexBuilder.build()", None, lambda p, n: ms(p["construction"]["index_builder"]["build"])),
        ("20,000-child root (target under 1,000 ms)", None,
         lambda p, n: ms(p["construction"]["wide_root"])),
        ("MEMORY (bytes per term)", None, None),
        ("index, heap in use (glibc mallinfo2, built)",
         lambda n: per_term(n["build_heap_bytes"], n["terms"]), None),
        ("index, heap in use (glibc mallinfo2, from_bytes)",
         lambda n: per_term(n["decode_heap_bytes"], n["terms"]), None),
        ("index, RSS delta of from_bytes in a fresh process", None,
         lambda p, n: per_term(_resident_bytes(p, "quellnor"), p["terms"])),
        ("  the same terms without videos (what symspellpy holds)", None,
         lambda p, n: per_term(_resident_bytes(p, "quellnor_terms"), p["terms"])),
        ("symspellpy, RSS delta of its build in a fresh process", None,
         lambda p, n: f"{per_term(_resident_bytes(p, 'symspellpy'), p['terms'])} "
                      f"({_resident_bytes(p, 'symspellpy') / _resident_bytes(p, 'quellnor_terms'):.1f}x "
                      f"terms alone, {_resident_bytes(p, 'symspellpy') / _resident_bytes(p, 'quellnor'):.1f}x "
                      f"with videos; target 20x)"),
        ("symspellpy build (ms)", None, lambda p, n: ms(p["peers"]["symspellpy"]["build"])),
    ]


def _ours(p: Dict, d: str) -> Dict:
    return p["queries"][f"fuzzy_match_d{d}"]


def _native(n: Dict, d: str) -> Dict:
    return n["fuzzy_match"][d]


def query_rows() -> List[Row]:
    rows: List[Row] = []
    for d in DISTANCES:
        rows += [
            (f"FUZZY_MATCH d={d} (us per call, median / p99)", None, None),
            ("quellnor fuzzy_match", lambda n, d=d: us(_native(n, d)["ours"]),
             lambda p, n, d=d: us(_ours(p, d))),
            ("  binding + result conversion (Python - native)", None,
             lambda p, n, d=d: _num(paired_median_us(_ours(p, d), _native(n, d)["ours"]))),
            ("literal walk (textbook, 16-bit rows)", lambda n, d=d: us(_native(n, d)["literal"]), None),
            ("  speed-up of fuzzy_match over it (total time)",
             lambda n, d=d: f"{x(_native(n, d)['speedup'])} ({_native(n, d)['mismatches']} mismatches)", None),
            ("nodes visited per query (median / mean)",
             lambda n, d=d: f"{_native(n, d)['rows']['median']:,.0f} / {_native(n, d)['rows']['mean']:,.0f}",
             None),
            ("terms found per query (mean)", lambda n, d=d: f"{_native(n, d)['hits_per_query']:.1f}", None),
            ("rapidfuzz process.extract, brute force", None, peer_cell("rapidfuzz", d)),
            ("symspellpy lookup, Verbosity.ALL", None, peer_cell("symspellpy", d)),
        ]
    return rows


def video_rows() -> List[Row]:
    video = lambda p: p["queries"]["fuzzy_match_video"]
    empty = lambda p: p["queries"]["fuzzy_match_video_empty"]
    return [
        ("FUZZY_MATCH_VIDEO d=1, prefixes of 2-5 chars (us, median)", None, None),
        ("call, median / p99", lambda n: us(n["ranking"]), lambda p, n: us(video(p))),
        ("  walk: fuzzy_match_nodes, automatic choice", lambda n: _num(n["walk"]["median_us"]), None),
        ("  accumulation: ranking - walk", lambda n: _num(paired_median_us(n["ranking"], n["walk"])), None),
        ("  result conversion: Python - the same call with limit=0", None,
         lambda p, n: _num(paired_median_us(video(p), empty(p)))),
        ("  call and arguments: limit=0 call - native", None,
         lambda p, n: _num(paired_median_us(empty(p), n["ranking"]))),
        ("nodes visited per query (median / mean)",
         lambda n: f"{n['video_rows']['median']:,.0f} / {n['video_rows']['mean']:,.0f}", None),
        ("videos returned per query (mean)", lambda n: f"{n['videos_per_query']:.1f}", None),
    ]


def codec_rows() -> List[Row]:
    c = lambda p: p["codec"]
    return [
        ("BYTE FORM (ms, median)", None, None),
        ("to_bytes", lambda n: ms(n["encode"]), lambda p, n: ms(c(p)["to_bytes"])),
        ("from_bytes", lambda n: ms(n["decode"]), lambda p, n: ms(c(p)["from_bytes"])),
        ("bytes(bytearray(data)), same size", None, lambda p, n: ms(c(p)["copy_floor"])),
        ("  to_bytes / copy, from_bytes / copy", None,
         lambda p, n: f"{x(c(p)['to_bytes']['median_us'] / c(p)['copy_floor']['median_us'])}, "
                      f"{x(c(p)['from_bytes']['median_us'] / c(p)['copy_floor']['median_us'])}"),
        ("pickle.dumps of the flat arrays", None, lambda p, n: ms(c(p)["pickle_dumps"])),
        ("pickle.loads of the flat arrays", None, lambda p, n: ms(c(p)["pickle_loads"])),
        ("  to_bytes / dumps, from_bytes / loads", None,
         lambda p, n: f"{x(c(p)['to_bytes']['median_us'] / c(p)['pickle_dumps']['median_us'])}, "
                      f"{x(c(p)['from_bytes']['median_us'] / c(p)['pickle_loads']['median_us'])}"),
        ("size: to_bytes / pickle (MB)", None,
         lambda p, n: f"{c(p)['bytes'] / 1e6:.1f} / {c(p)['pickle_bytes'] / 1e6:.1f}"),
        ("HARNESS", None, None),
        ("timing overhead of an empty call (us, median)", None,
         lambda p, n: _num(p["queries"]["harness"]["median_us"])),
    ]


def _cell(fn, *args) -> str:
    if fn is None:
        return ""
    try:
        return fn(*args)
    except (KeyError, TypeError, ZeroDivisionError):
        return MISSING


def table(interpreters: Sequence[Dict], native: Dict) -> str:
    header = ["", "native"] + [p["label"] for p in interpreters]
    lines = [header]
    for label, native_cell, python_cell in construction_rows() + query_rows() + video_rows() + codec_rows():
        if native_cell is None and python_cell is None:
            lines.append([label] + [""] * (len(header) - 1))
            continue
        lines.append([label, _cell(native_cell, native)] +
                     [_cell(python_cell, p, native) for p in interpreters])
    widths = [max(len(row[i]) for row in lines) for i in range(len(header))]
    out = []
    for row in lines:
        out.append("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                             for i, (cell, w) in enumerate(zip(row, widths))).rstrip())
        if row is header:
            out.append("-" * len(out[-1]))
    return "\n".join(out)


def plot(interpreters: Sequence[Dict], native: Dict, path: Path) -> str:
    """Median fuzzy_match latency by distance. Returns a note for the user."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib is not importable: no plot (pip install -r bench/requirements.txt)"
    series = {}
    if "fuzzy_match" in native:
        series["quellnor, native core"] = [native["fuzzy_match"][d]["ours"]["median_us"] for d in DISTANCES]
        series["literal walk, native"] = [native["fuzzy_match"][d]["literal"]["median_us"] for d in DISTANCES]
    for p in interpreters:
        series[f"quellnor, {p['label']}"] = [p["queries"][f"fuzzy_match_d{d}"]["median_us"] for d in DISTANCES]
        for name, peer in p["peers"].items():
            if "missing" not in peer:
                series[f"{name}, {p['label']}"] = [peer[f"d{d}"]["median_us"] for d in DISTANCES]
    fig, ax = plt.subplots(figsize=(8, 5))
    for label, values in series.items():
        ax.plot([int(d) for d in DISTANCES], values, marker="o", label=label,
                linestyle="--" if label.startswith(("rapidfuzz", "symspellpy")) else "-")
    ax.set_yscale("log")
    ax.set_xticks([int(d) for d in DISTANCES])
    ax.set_xlabel("max_dist")
    ax.set_ylabel("median latency per query (us, log scale)")
    terms = interpreters[0]["terms"] if interpreters else 0
    ax.set_title(f"fuzzy_match and peers, {terms:,} terms")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return f"plot: {path}"


def write_json(results: Dict, path: Path) -> str:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(results, indent=1, sort_keys=True))
    return f"results: {path}"
