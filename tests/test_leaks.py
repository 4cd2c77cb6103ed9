"""Leak checks: every method, on its success path and on each of its error
paths, called thousands of times.

For each case the call runs in three equal rounds after a warm-up. Checked:

- the reference count of every object handed to the call (arguments, the
  items inside them, the instance) is the same afterwards;
- Python objects: the number of blocks the interpreter's allocator holds
  (``sys.getallocatedblocks``) does not grow in both measured rounds;
- native memory: bytes in use by malloc (glibc ``mallinfo2``, where there is
  one) and the resident set size (``/proc/self/statm``) do not grow in both
  rounds by more than allocator noise.

A leak grows every round by the same amount; noise (a pool or an arena
created once) grows one round at most, so a case fails only when both rounds
grow. Inputs are large enough that a leaked array or index is hundreds of
bytes or more per call.

CPython only: reference counts and allocator statistics mean nothing on PyPy.
Under the sanitizer run (HYPOTHESIS_PROFILE=asan) the rounds are shorter and
only reference counts are checked, since the sanitizer's quarantine holds
freed memory and the allocator statistics are not the interpreter's.
"""

import contextlib
import ctypes
import ctypes.util
import gc
import os
import pickle
import platform
import resource
import sys
import uuid

import pytest

from sanitizer import UNDER_SANITIZER
from trie_bytes import Index, Payload, encode
from tries import breadth_first

if platform.python_implementation() != "CPython":
    pytest.skip("reference counts and allocator statistics are CPython's", allow_module_level=True)

_quellnor = pytest.importorskip("_quellnor")
PrefixSearch = _quellnor.PrefixSearch
import quellnor  # noqa: E402
from quellnor import PanicException  # noqa: E402

QIndex = quellnor.Index

ROUND = 50 if UNDER_SANITIZER else 1000
MAX_U32 = 2**32 - 1
PAGE = resource.getpagesize()


# --- measurements -----------------------------------------------------------------

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


def _malloc_in_use_reader():
    if UNDER_SANITIZER:
        return None
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    try:
        mallinfo2 = libc.mallinfo2
    except AttributeError:  # glibc before 2.33
        return None
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd  # small and mmap'd chunks
    return in_use


malloc_in_use = _malloc_in_use_reader()


def snapshot():
    gc.collect()
    return {
        "blocks": sys.getallocatedblocks(),
        "malloc": malloc_in_use() if malloc_in_use else 0,
        "rss": rss(),
    }


# Growth that one round may show without a leak: the interpreter keeps a few
# blocks in caches, malloc and the page cache move in pages and arenas.
NOISE = {"blocks": 64, "malloc": 256 * 1024, "rss": 2 * 1024 * 1024}


def tracked_objects(*roots):
    """Every object inside the arguments whose reference count only this
    test changes: containers, their items and custom objects, but not the
    interpreter's shared singletons (small ints, one-character strings...)."""
    seen, out = set(), []

    def visit(obj, depth):
        if id(obj) in seen or depth > 3:
            return
        seen.add(id(obj))
        if obj is None or isinstance(obj, (bool, float)):
            return
        if isinstance(obj, int) and -5 <= obj <= 256:
            return
        if isinstance(obj, (str, bytes)) and len(obj) <= 1:
            return
        out.append(obj)
        if isinstance(obj, (list, tuple)):
            for item in obj:
                visit(item, depth + 1)
        elif isinstance(obj, dict):
            for item in obj.values():
                visit(item, depth + 1)

    for root in roots:
        visit(root, 0)
    return out


@contextlib.contextmanager
def quiet_stderr():
    """Internal faults write a short report to standard error per call."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    old_stderr = sys.stderr
    try:
        os.dup2(devnull, 2)
        sys.stderr = open(os.devnull, "w")
        yield
    finally:
        sys.stderr.close()
        sys.stderr = old_stderr
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def is_panic(error):
    return isinstance(error, PanicException) and not isinstance(error, Exception)


def check_no_leak(call, expected, objects, rounds=ROUND):
    """Runs call() in a warm-up and three equal rounds; `expected` is None for
    a call that must succeed, else the exception type or types (or "panic")."""

    def once():
        try:
            call()
        except BaseException as error:
            if expected is None:
                raise
            if expected == "panic":
                if not is_panic(error):
                    raise
            elif not isinstance(error, expected):
                raise
        else:
            assert expected is None, f"expected {expected}, got a result"

    def run():
        for _ in range(rounds):
            once()

    tracked = tracked_objects(*objects)
    with quiet_stderr():
        once()  # anything created once per process is created here
        counts = [sys.getrefcount(obj) for obj in tracked]
        run()
        first = snapshot()
        run()
        second = snapshot()
        run()
        third = snapshot()
    after = [sys.getrefcount(obj) for obj in tracked]
    changed = [(type(obj).__name__, b, a) for obj, b, a in zip(tracked, counts, after) if a != b]
    assert not changed, f"reference counts changed (type, before, after): {changed}"
    if UNDER_SANITIZER:
        return
    for key, noise in NOISE.items():
        growth = (second[key] - first[key], third[key] - second[key])
        assert min(growth) <= noise, f"{key} grew by {growth} in two rounds of {rounds} calls"


# --- inputs -------------------------------------------------------------------------

def flat_index(words):
    """Breadth-first flattening: (node_shifts, labels, payloads, transitions)."""
    return breadth_first(words, lambda i: (
        (i + 1) * 3 + 1000, [(i + 1) % 7, 7 + (i + 1) % 5], [(i + 1) * 2 + 1000, i + 1 + 1000]))


WORDS = [f"{a}{b}{c}" for a in "abcdefgh" for b in "aeiou" for c in "mnprst"]  # 240 terms
SHIFTS, LABELS, PAYLOADS, TRANSITIONS = flat_index(WORDS)
N = len(LABELS)
KEYS = [bytes(range(v, v + 16)) for v in range(12)]
ARGS = [SHIFTS, LABELS, PAYLOADS, TRANSITIONS, KEYS, 100]
INDEX = PrefixSearch.from_internal_data_v2(*ARGS)
DATA = INDEX.to_bytes()
# Labels but no node shifts: every walk faults on the root's range.
BROKEN = PrefixSearch.from_bytes(bytes.fromhex("00" "020061" "00" "00" "00" "00"))
FOLDED = QIndex._assemble(*ARGS, True, {"bam": "Bam"})
EXTRAS = FOLDED._extras()
LOADED = QIndex._load(DATA, EXTRAS)
# Two paths into node 3.
TANGLED = QIndex.from_bytes(encode(Index(
    node_shifts=[0, 2, 3, 3], child_labels=["\0", "a", "b", "c"], child_transitions=[1, 2, 3, 3],
    payloads=[None, None, None, Payload(1, [0], [1])], video_index=[b"\x01" * 16],
    is_terminal=[False, False, False, True])))


def replaced(position, value):
    args = list(ARGS)
    args[position] = value
    return args


def with_item(position, index, value):
    """ARGS with one item of one array replaced (a fresh copy of that array)."""
    array = list(ARGS[position])
    array[index] = value
    return replaced(position, array)


class Index_:
    """An int-like object with __index__, or one whose __index__ raises a new
    `error` (an exception type) on every call."""

    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error is not None:
            raise self.error("raised by __index__")
        return self.value


class Text(str):
    pass


class LenFails(list):
    """A sequence whose size hint fails; it converts all the same."""

    def __len__(self):
        raise RuntimeError("no size")


class FailsMidway:
    """A sequence whose iteration raises after some items were converted."""

    def __init__(self, items, at):
        self.items, self.at = items, at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.at:
            raise KeyError("midway")
        return self.items[i]


PANIC = PanicException


# --- cases ------------------------------------------------------------------------

build = PrefixSearch.from_internal_data_v2
load = PrefixSearch.from_bytes

# (id, function, positional args, keyword args, expected outcome)
BUILDER_ROWS = [(f"t{i % 40}\u00e9", uuid.UUID(int=i % 7 + 1), i % 5) for i in range(300)]
STR_ID_ROWS = [(f"t{i % 40}", f"video {i % 9}", i % 5) for i in range(300)]
BUILDER_COLUMNS = tuple(list(column) for column in zip(*STR_ID_ROWS))
STR_ID_INDEX = quellnor.build_index(STR_ID_ROWS)


def native_build_folding(rows, fold):
    builder = _quellnor.NativeBuilder(fold)
    builder.add_rows(rows)
    return builder.build(QIndex, 10)


def native_build(rows):
    return native_build_folding(rows, quellnor.fold)


def native_columns(columns):
    builder = _quellnor.NativeBuilder(quellnor.fold)
    builder.add_columns(*columns)
    return builder.build(QIndex, 10)


CASES = [
    # from_internal_data_v2
    ("build ok", build, ARGS, {}, None),
    ("build ok from tuples, ranges and a failing size hint",
     build, [tuple(SHIFTS), LenFails(LABELS), PAYLOADS, range(1, N), KEYS, Index_(3)], {}, None),
    ("build by keyword", build, [], dict(zip(
        ["node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "video_top_n"], ARGS)), None),
    ("build too many arguments", build, ARGS + [1], {}, TypeError),
    ("build missing arguments", build, ARGS[:3], {}, TypeError),
    ("build unexpected keyword", build, ARGS, {"extra": 1}, TypeError),
    ("build multiple values", build, ARGS, {"payloads": PAYLOADS}, TypeError),
    ("build str array", build, replaced(0, "abc"), {}, TypeError),
    ("build not a sequence", build, replaced(3, {1, 2}), {}, TypeError),
    ("build negative shift", build, with_item(0, N - 1, -1), {}, OverflowError),
    ("build shift not an int", build, with_item(0, N - 1, None), {}, TypeError),
    ("build label not a str", build, with_item(1, N - 1, 7), {}, TypeError),
    ("build label with a surrogate", build, with_item(1, N - 1, "\ud800"), {}, UnicodeEncodeError),
    ("build iteration fails midway", build, replaced(0, FailsMidway(SHIFTS, N - 2)), {}, KeyError),
    ("build payloads a str", build, replaced(2, "xyz"), {}, TypeError),
    ("build video key a str", build, with_item(4, 11, "k" * 16), {}, TypeError),
    ("build video key byte too large", build, with_item(4, 11, [256] * 16), {}, OverflowError),
    ("build video_top_n negative", build, replaced(5, -1), {}, OverflowError),
    ("build video_top_n raises in __index__", build, replaced(5, Index_(error=ValueError)), {}, ValueError),
    ("build shifts length", build, replaced(0, SHIFTS[:-1]), {}, ValueError),
    ("build payloads length", build, replaced(2, PAYLOADS[:-1]), {}, ValueError),
    ("build transition out of range", build, with_item(3, N - 2, N), {}, ValueError),
    ("build payload not a tuple", build, with_item(2, N - 1, [1, [1], [1]]), {}, TypeError),
    ("build payload of two items", build, with_item(2, N - 1, (1, [1])), {}, ValueError),
    ("build payload ids a str", build, with_item(2, N - 1, (1, "ab", [1])), {}, TypeError),
    ("build payload count negative", build, with_item(2, N - 1, (-1, [1], [1])), {}, OverflowError),
    ("build payload count too large", build, with_item(2, N - 1, (MAX_U32 + 1, [1], [1])), {}, OverflowError),
    ("build payload lengths differ", build, with_item(2, N - 1, (1, [1, 2], [1])), {}, ValueError),
    ("build video key of 15 bytes", build, with_item(4, 11, b"k" * 15), {}, ValueError),
    ("build propagation fault", build, [[0, 3], ["", "a"], [None, (1, [1], [1])], [1, 1], [], 5], {}, "panic"),
    # from_bytes
    ("load ok", load, [DATA], {}, None),
    ("load ok with trailing bytes", load, [DATA + b"\x00" * 64], {}, None),
    ("load bytearray", load, [bytearray(DATA)], {}, TypeError),
    ("load missing", load, [], {}, TypeError),
    ("load too many", load, [DATA, DATA], {}, TypeError),
    ("load unexpected keyword", load, [], {"data": DATA}, TypeError),
    ("load empty", load, [b""], {}, ValueError),
    ("load truncated near the end", load, [DATA[:-3]], {}, ValueError),
    ("load truncated in the payloads", load, [DATA[: len(DATA) // 2]], {}, ValueError),
    ("load length marker FE", load, [b"\xfe" + DATA], {}, ValueError),
    ("load 64-bit value marker", load, [b"\x01\xfd" + b"\x00" * 8], {}, ValueError),
    ("load invalid label", load, [b"\x00\x01\xed\xa0\x80"], {}, ValueError),
    ("load invalid payload tag", load, [b"\x00\x00\x00\x01\x02"], {}, ValueError),
    ("load invalid boolean", load, [b"\x00\x00\x00\x00\x00\x01\x02"], {}, ValueError),
    ("load huge declared length", load, [b"\xfd" + b"\xff" * 8 + b"\x01" * 64], {}, ValueError),
    # to_bytes
    ("to_bytes ok", INDEX.to_bytes, [], {}, None),
    ("to_bytes with an argument", INDEX.to_bytes, [1], {}, TypeError),
    # fuzzy_match
    ("match hits", INDEX.fuzzy_match, ["bam"], {}, None),
    ("match limit and threshold", INDEX.fuzzy_match, ["ba"], {"max_dist": 2, "limit": 5}, None),
    ("match long query", INDEX.fuzzy_match, ["bam" * 30], {"max_dist": 9}, None),
    ("match no hit", INDEX.fuzzy_match, ["zzzzzz"], {"max_dist": 0}, None),
    ("match exact hit", INDEX.fuzzy_match, ["bam"], {"max_dist": 0}, None),
    ("match exact hit, str subclass", INDEX.fuzzy_match, [Text("bam")], {"max_dist": 0}, None),
    ("match limit via __index__", INDEX.fuzzy_match, ["bam"], {"limit": Index_(2)}, None),
    ("match term bytes", INDEX.fuzzy_match, [b"bam"], {}, TypeError),
    ("match term surrogate", INDEX.fuzzy_match, ["b\ud800"], {}, UnicodeEncodeError),
    ("match max_dist negative", INDEX.fuzzy_match, ["bam", -1], {}, OverflowError),
    ("match max_dist None", INDEX.fuzzy_match, ["bam", None], {}, TypeError),
    ("match limit negative", INDEX.fuzzy_match, ["bam"], {"limit": -1}, OverflowError),
    ("match limit raises in __index__", INDEX.fuzzy_match, ["bam"], {"limit": Index_(error=LookupError)}, LookupError),
    ("match limit raises PanicException", INDEX.fuzzy_match, ["bam"], {"limit": Index_(error=PANIC)}, "panic"),
    ("match missing term", INDEX.fuzzy_match, [], {}, TypeError),
    ("match multiple values", INDEX.fuzzy_match, ["a"], {"term": "b"}, TypeError),
    ("match unexpected keyword", INDEX.fuzzy_match, ["a"], {"maxdist": 1}, TypeError),
    ("match internal fault", BROKEN.fuzzy_match, ["a"], {}, "panic"),
    # fuzzy_match_video
    ("video hits", INDEX.fuzzy_match_video, ["bam"], {}, None),
    ("video prefix nodes", INDEX.fuzzy_match_video, ["ba"], {"include_prefix_nodes": True, "limit": 3}, None),
    ("video term ends only", INDEX.fuzzy_match_video, ["ba"], {"include_prefix_nodes": False}, None),
    ("video no hit", INDEX.fuzzy_match_video, ["qqqq"], {"max_dist": 0}, None),
    ("video include not a bool", INDEX.fuzzy_match_video, ["bam"], {"include_prefix_nodes": 1}, TypeError),
    ("video limit a str", INDEX.fuzzy_match_video, ["bam"], {"limit": "3"}, TypeError),
    ("video too many arguments", INDEX.fuzzy_match_video, ["bam", 1, 2, True, 5], {}, TypeError),
    ("video internal fault", BROKEN.fuzzy_match_video, ["a"], {}, "panic"),
    # the class itself
    ("no constructor", PrefixSearch, [1], {"x": 2}, TypeError),
    # Index: its constructors, suggestions and conveniences
    ("index build", QIndex.from_internal_data_v2, ARGS, {}, None),
    ("index assemble", QIndex._assemble, ARGS + [True, {"bam": "Bam", "cem": "CEM"}], {}, None),
    ("index assemble, spelling of no term", QIndex._assemble, ARGS + [True, {"zzz": "Z"}], {}, ValueError),
    ("index load", QIndex._load, [DATA, EXTRAS], {}, None),
    ("index load, bad extras", QIndex._load, [DATA, EXTRAS + b"!"], {}, ValueError),
    ("index load, bad bytes", QIndex._load, [DATA[:-3], EXTRAS], {}, ValueError),
    ("index extras", FOLDED._extras, [], {}, None),
    ("index pickled", lambda: pickle.loads(pickle.dumps(FOLDED)), [], {}, None),
    ("index copy to PrefixSearch", FOLDED.prefix_search, [], {}, None),
    ("suggest", FOLDED.suggest, ["BAM"], {}, None),
    ("suggest typo, every threshold", FOLDED.suggest, ["abmtx"], {"k": 50, "max_dist": 4}, None),
    ("suggest Levenshtein", FOLDED.suggest, ["abm"], {"transpositions": False}, None),
    ("suggest empty text", FOLDED.suggest, [""], {"k": 300}, None),
    ("suggest bad k", FOLDED.suggest, ["bam", -1], {}, ValueError),
    ("suggest k raises in __index__", FOLDED.suggest, ["bam", Index_(error=LookupError)], {}, LookupError),
    ("suggest text bytes", FOLDED.suggest, [b"bam"], {}, TypeError),
    ("suggest_videos", FOLDED.suggest_videos, ["ba"], {}, None),
    ("suggest_videos typo", FOLDED.suggest_videos, ["abmtx"], {"max_dist": 3}, None),
    ("suggest_videos bad max_dist", FOLDED.suggest_videos, ["ba"], {"max_dist": "2"}, TypeError),
    ("index iteration, len, in, weight", lambda: (list(FOLDED), len(FOLDED), "bam" in FOLDED,
                                                  FOLDED.weight("BAM")), [], {}, None),
    ("index equality and repr", lambda: (FOLDED == LOADED, repr(FOLDED)), [], {}, None),
    ("suggest on a trie that is not a tree", TANGLED.suggest, ["a"], {}, "panic"),
    # the native builder: rows, columns, caller ids, and batches that fail
    ("builder rows", native_build, [BUILDER_ROWS], {}, None),
    ("builder rows of str ids", native_build, [STR_ID_ROWS], {}, None),
    ("builder columns", native_columns, [BUILDER_COLUMNS], {}, None),
    ("builder bad row rolls back", native_build, [BUILDER_ROWS + [("x", "not a uuid", 1)]], {}, ValueError),
    ("builder fold raises", native_build_folding, [BUILDER_ROWS, lambda text: 1 / 0], {}, ZeroDivisionError),
    ("builder fold returns no str", native_build_folding, [BUILDER_ROWS, lambda text: 3], {}, TypeError),
    ("builder caller ids queried", lambda: (STR_ID_INDEX.fuzzy_match_video("t1"),
                                            STR_ID_INDEX.suggest_videos("t")), [], {}, None),
]


_kept = []
_libc = ctypes.CDLL(ctypes.util.find_library("c"))
_libc.malloc.restype = ctypes.c_void_p


@pytest.mark.parametrize("leak, measured, report", [
    (lambda obj: _kept.append(obj), False, "reference counts changed"),
    (lambda obj: _kept.append([1, 2, 3]), True, "blocks grew"),
    (lambda obj: _libc.malloc(4096), True, "(malloc|rss) grew"),  # never freed
], ids=["reference", "python object", "native memory"])
def test_the_checker_sees_a_leak(leak, measured, report):
    """The checks above can fail: each kind of leak they look for, made on
    purpose, is reported by the check meant for it."""
    if measured and UNDER_SANITIZER:
        pytest.skip("memory is not measured under the sanitizers")
    victim = ["x" * 10]
    try:
        with pytest.raises(AssertionError, match=report):
            check_no_leak(lambda: leak(victim), None, [victim])
    finally:
        _kept.clear()


@pytest.mark.parametrize("name, function, args, kwargs, expected", CASES, ids=[c[0] for c in CASES])
def test_no_leak(name, function, args, kwargs, expected):
    owner = getattr(function, "__self__", None)
    objects = [args, kwargs] + ([owner] if isinstance(owner, (PrefixSearch, QIndex)) else [])
    check_no_leak(lambda: function(*args, **kwargs), expected, objects)


def test_objects_and_their_indexes_are_freed():
    """Building and dropping whole indexes: what one index holds comes back
    when it goes (an index here is tens of kilobytes, so a lost one shows)."""
    def cycle():
        ps = PrefixSearch.from_bytes(DATA)
        ps.fuzzy_match("bam")
        again = PrefixSearch.from_internal_data_v2(*ARGS)
        del ps, again

    check_no_leak(cycle, None, [DATA, ARGS], rounds=max(ROUND // 5, 50))


@pytest.mark.skipif(UNDER_SANITIZER, reason="each call takes seconds under the sanitizers")
def test_walk_over_its_memory_budget_releases_everything():
    """A cycle with no threshold to prune it: the term matcher builds one
    string per hit, each as long as the path, until the walk's memory budget
    (hundreds of megabytes) runs out and the call raises MemoryError. All of
    it must come back, every time. Each call takes about a second, so there
    are only three; a walk that kept its memory would keep hundreds of MB."""
    ix = Index(node_shifts=[0, 1], child_labels=["\0", "a"], child_transitions=[1, 1],
               payloads=[None, Payload(1, [0], [1])], video_index=[b"\x01" * 16], is_terminal=[False, True])
    ps = PrefixSearch.from_bytes(encode(ix))
    term = "a" * 16
    tracked = tracked_objects(ps, term)
    counts = [sys.getrefcount(obj) for obj in tracked]
    with pytest.raises(MemoryError):
        ps.fuzzy_match(term, MAX_U32)
    first = snapshot()
    for _ in range(2):
        with pytest.raises(MemoryError):
            ps.fuzzy_match(term, MAX_U32)
    second = snapshot()
    assert [sys.getrefcount(obj) for obj in tracked] == counts
    assert second["blocks"] - first["blocks"] <= NOISE["blocks"]
    assert second["malloc"] - first["malloc"] <= 64 * 2**20
    assert second["rss"] - first["rss"] <= 64 * 2**20
    assert ps.fuzzy_match("a", 0, 0) == [("a", 1, 0)]  # and the object still answers
