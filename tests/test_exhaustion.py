"""Every method, with memory exhausted but for a sweep of headrooms, on the
calling thread and on a fresh one: each call ends in its result (or the
exception its arguments call for) or in MemoryError, and the process lives.

The calls run in a child process (memory_pressure.py) whose address space is
limited. On PyPy the interpreter's own memory management can give out first:
its collector, or cpyext as it makes the C copy of an object crossing into C
(a result, an item, the MemoryError itself), ends the process with a fatal
error of its own when that allocation fails. That is beyond the module's
reach; such a headroom is recorded as PYPY_GAVE_UP and the sweep goes on in a
new child from the next headroom.
"""

import platform
import re
import subprocess
import sys
from pathlib import Path

import pytest

import memory_pressure
from sanitizer import UNDER_SANITIZER

ON_PYPY = platform.python_implementation() == "PyPy"
CHILD = Path(__file__).with_name("memory_pressure.py")
PYPY_GAVE_UP = "PYPY_GAVE_UP"
# What PyPy prints when an allocation of its own fails where it cannot raise:
# its collector, and cpyext making the C copy of an object (or of the
# MemoryError itself) that crosses into C.
PYPY_OWN_FAILURES = re.compile(
    r"out of memory: couldn't allocate"
    r"|Fatal error in cpyext, CPython compatibility layer, calling \w+\n.*\n<(Memory|System)Error object")
REPORT = re.compile(r"^(\d+) (\w+)$", re.MULTILINE)

# Method: (the outcome with room enough, whether the sweep must run it out of memory).
METHODS = {
    "from_internal_data_v2": ("ok", True),
    "from_bytes": ("ok", True),
    "to_bytes": ("ok", True),
    "pickle": ("ok", True),
    "fuzzy_match": ("ok", False),
    "fuzzy_match_video": ("ok", False),
    "bad_argument": ("TypeError", False),
    "fault": ("PanicException", False),
}

if UNDER_SANITIZER:
    pytest.skip("the sanitizer reserves far more address space than any limit allows",
                allow_module_level=True)


def sweep(method, where):
    """(headroom, outcome) for every headroom of the sweep."""
    outcomes = run_from(method, where, [])
    # PyPy's JIT, compiling as a fresh child warms up, can give out now and
    # then even at the last headroom, which is room enough for the call: the
    # last headroom is then asked again, of two more fresh children at most.
    for _ in range(2):
        if outcomes[-1][1] != PYPY_GAVE_UP:
            break
        outcomes = run_from(method, where, outcomes[:-1])
    return outcomes


def run_from(method, where, outcomes):
    """`outcomes` with those of the headrooms after them."""
    outcomes = list(outcomes)
    while len(outcomes) < len(memory_pressure.HEADROOMS):
        done = subprocess.run([sys.executable, str(CHILD), method, where, str(len(outcomes))],
                              capture_output=True, text=True, timeout=300)
        outcomes += [(int(h), outcome) for h, outcome in REPORT.findall(done.stdout)]
        if done.returncode == 0:
            continue
        said = done.stdout + done.stderr
        gave_up = ON_PYPY and PYPY_OWN_FAILURES.search(said) is not None
        assert gave_up, f"the child died ({done.returncode}) after {outcomes}:\n{said[-3000:]}"
        outcomes.append((memory_pressure.HEADROOMS[len(outcomes)], PYPY_GAVE_UP))
    return outcomes


@pytest.mark.parametrize("where", ["main", "thread"])
@pytest.mark.parametrize("method", METHODS)
def test_memory_exhaustion_ends_in_a_result_or_memory_error(method, where):
    normal, runs_out = METHODS[method]
    outcomes = sweep(method, where)
    allowed = {normal, "MemoryError", PYPY_GAVE_UP}
    assert {outcome for _, outcome in outcomes} <= allowed, outcomes
    assert outcomes[-1][1] == normal, outcomes
    if runs_out:
        assert outcomes[0][1] != normal, outcomes
