"""The native benchmark program: built with CMake on first use, then run on
the files the primary run wrote."""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, Optional, Tuple

from timing import describe, summarise

REPO = Path(__file__).resolve().parent.parent
TARGET = "quellnor_bench"
# The extension's own Release build compiles at -O3 (CMake's default), so the
# Python - native splits include the difference between the two levels.
OPTIMISATION = "-O2"


def find_cmake() -> Optional[str]:
    beside = Path(sys.executable).parent / "cmake"
    return str(beside) if beside.exists() else shutil.which("cmake")


def build(build_dir: Path, target: str = TARGET) -> Tuple[Optional[Path], str]:
    """The program's path, or None and the reason it could not be built."""
    cmake = find_cmake()
    if cmake is None:
        return None, "cmake not found (pip install cmake)"
    steps = [
        [cmake, "-S", str(REPO), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
         f"-DCMAKE_CXX_FLAGS_RELEASE={OPTIMISATION} -DNDEBUG", "-DQUELLNOR_BENCH=ON",
         f"-DPython_EXECUTABLE={sys.executable}"],
        [cmake, "--build", str(build_dir), "--target", target, "--parallel", "2"],
    ]
    for step in steps:
        run = subprocess.run(step, capture_output=True, text=True, check=False)
        if run.returncode != 0:
            tail = "\n    ".join((run.stdout + run.stderr).strip().splitlines()[-8:])
            return None, f"`{' '.join(step[:3])} ...` failed:\n    {tail}"
    return build_dir / "bench" / "native" / target, ""


def run(program: Path, files, repeat: int, video_top_n: int) -> Dict:
    """Raw output of the program: nanosecond samples per phase."""
    args = [str(program), str(files.index), str(files.raw_payloads), str(files.terms),
            str(files.prefixes), str(repeat), str(video_top_n)]
    done = subprocess.run(args, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def condense(raw: Dict) -> Dict:
    """Summaries of the raw samples, in the units report.py expects."""
    build, codec, video = raw["build"], raw["codec"], raw["video"]
    matches = {}
    for d, m in raw["fuzzy_match"].items():
        matches[d] = {
            "ours": summarise(m["ours_ns"], keep=True),
            "literal": summarise(m["literal_ns"]),
            "speedup": sum(m["literal_ns"]) / max(1, sum(m["ours_ns"])),
            "rows": describe(m["rows"]),
            "hits_per_query": m["hits"] / max(1, len(m["ours_ns"])),
            "mismatches": m["mismatches"],
        }
    return {
        "nodes": raw["nodes"], "terms": raw["terms"], "encoded_bytes": raw["encoded_bytes"],
        "build_trie": summarise(build["build_trie_ns"]),
        "propagate": summarise(build["propagate_ns"]),
        "build_heap_bytes": build["heap_bytes"],
        "rebuilt_equals_decoded": build["rebuilt_equals_decoded"],
        "decode": summarise(codec["decode_ns"]),
        "encode": summarise(codec["encode_ns"]),
        "decode_heap_bytes": codec["heap_bytes"],
        "fuzzy_match": matches,
        "walk": summarise(video["walk_ns"], keep=True),
        "ranking": summarise(video["ranking_ns"], keep=True),
        "video_rows": describe(video["rows"]),
        "videos_per_query": video["videos"] / max(1, len(video["ranking_ns"])),
    }


def measure(build_dir: Path, files, repeat: int, video_top_n: int, log=print) -> Dict:
    """Condensed native figures, or {"error": why} when there are none."""
    log("[native] building the benchmark program")
    program, why = build(build_dir)
    if program is None:
        return {"error": f"native benchmark not built: {why}"}
    log("[native] running")
    try:
        return condense(run(program, files, repeat, video_top_n))
    except subprocess.CalledProcessError as error:
        return {"error": f"native benchmark failed: {error.stderr.strip()}"}
