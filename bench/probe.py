"""Resident size of one index in a fresh interpreter.

    python bench/probe.py quellnor INDEX_FILE
    python bench/probe.py symspellpy VOCABULARY_FILE

Prints JSON: the process's resident set before the index was made (modules
imported, input file read) and after (garbage collected). The input file
stays in memory on both sides, so the difference is the index alone; for
symspellpy that includes the term strings, as it does for quellnor.
"""

from __future__ import annotations

import gc
import json
import sys
from pathlib import Path


def resident_kib() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def load_quellnor(path: Path):
    from _quellnor import PrefixSearch

    data = path.read_bytes()
    # PyPy keeps a C copy of a bytes object for as long as the object lives,
    # once the object has been handed to C. One index made and dropped first
    # puts that copy on the "before" side, with the input it copies.
    PrefixSearch.from_bytes(data)
    gc.collect()
    before = resident_kib()
    return (PrefixSearch.from_bytes(data), data), before


def load_symspellpy(path: Path):
    from peers import SymmetricDelete

    text = path.read_text(encoding="utf-8")
    peer = SymmetricDelete()
    gc.collect()
    before = resident_kib()
    peer.build(text.splitlines())
    return (peer, text), before


def main() -> None:
    kind, path = sys.argv[1], Path(sys.argv[2])
    loader = {"quellnor": load_quellnor, "symspellpy": load_symspellpy}[kind]
    held, before = loader(path)  # the index and its input, kept alive
    gc.collect()
    after = resident_kib()
    print(json.dumps({"before_kib": before, "after_kib": after}))
    del held


if __name__ == "__main__":
    main()
