"""Random and corrupted input through the Python surface.

``from_bytes`` gets random bytes, valid encodings with byte-level mutations
and encodings of structurally broken indexes (cycles, ranges past the end,
missing entries); ``from_internal_data_v2`` gets malformed arrays of every
kind. Whatever loads is queried with random arguments, valid and not.

Only the documented exceptions may come out: ValueError (UnicodeEncodeError
included), TypeError, OverflowError, MemoryError and PanicException. A
PanicException must leave the object as it was: ``to_bytes`` still gives the
same bytes, and repeating the call fails the same way.

The bytes decoder is also checked against the plain-Python reader of
trie_bytes.py: both accept or both reject every input, and what they accept
re-encodes to the same bytes.
"""

import math
import os
import struct

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from trie_bytes import Index, Payload, decode, encode
from tries import breadth_first

_quellnor = pytest.importorskip("_quellnor")
from quellnor import PanicException  # noqa: E402
PrefixSearch = _quellnor.PrefixSearch

MAX_U32 = 2**32 - 1
MAX_U64 = 2**64 - 1

# A multiple of the profile's example count (100 by default, 20 under the
# sanitizer profile, where a walk over a cycle takes a second), so that the
# asan run stays cheaper.
EXAMPLES = settings.default.max_examples * (2 if os.environ.get("HYPOTHESIS_PROFILE") == "asan" else 3)
fuzz_settings = settings(
    max_examples=EXAMPLES,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)

DOCUMENTED = (ValueError, TypeError, OverflowError, MemoryError)


def is_panic(error):
    return isinstance(error, PanicException) and not isinstance(error, Exception)


def outcome(call):
    """("ok", result), ("error", exception) for a documented exception, or
    ("panic", exception). Anything else is re-raised and fails the test."""
    try:
        return "ok", call()
    except DOCUMENTED as error:
        return "error", error
    except BaseException as error:
        if is_panic(error):
            return "panic", error
        raise


# --- strategies ---------------------------------------------------------------

LETTERS = "abcdeé中😀"


@st.composite
def term_sets(draw, max_terms=8):
    return draw(st.lists(st.text(LETTERS, min_size=1, max_size=6), max_size=max_terms, unique=True))


def flatten(terms, draw_payload):
    return breadth_first(terms, lambda node: draw_payload())


def small_u32(n):
    """Mostly in range for an index of n nodes, sometimes not at all."""
    return st.one_of(st.integers(0, n + 2), st.sampled_from([250, 251, 65535, 65536, MAX_U32]))


@st.composite
def valid_indexes(draw):
    """A byte-level index that satisfies every invariant."""
    videos = draw(st.integers(0, 4))

    def payload():
        ids = draw(st.lists(st.integers(0, max(videos - 1, 0)), max_size=3)) if videos else []
        counts = draw(st.lists(st.integers(0, 300), min_size=len(ids), max_size=len(ids)))
        return Payload(draw(st.integers(0, 1000)), ids, counts)

    shifts, labels, payloads, transitions = flatten(draw(term_sets()), payload)
    return Index(
        node_shifts=shifts,
        child_labels=[label or "\0" for label in labels],
        child_transitions=transitions,
        payloads=payloads,
        video_index=[bytes([v]) * 16 for v in range(videos)],
        is_terminal=[p is not None for p in payloads],
    )


@st.composite
def broken_indexes(draw):
    """A valid index with a few structural corruptions: the bytes decode,
    but the arrays no longer describe a tree."""
    ix = draw(valid_indexes())
    n = len(ix.child_labels)
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from([
            "transition", "shift", "drop", "append", "payload", "terminal", "label", "video_id"]))
        if kind == "transition" and ix.child_transitions:
            i = draw(st.integers(0, len(ix.child_transitions) - 1))
            ix.child_transitions[i] = draw(small_u32(n))  # cycles, shared subtrees, past the end
        elif kind == "shift" and ix.node_shifts:
            i = draw(st.integers(0, len(ix.node_shifts) - 1))
            ix.node_shifts[i] = draw(small_u32(len(ix.child_transitions)))
        elif kind in ("drop", "append"):
            field = draw(st.sampled_from(
                ["node_shifts", "child_labels", "child_transitions", "payloads", "video_index", "is_terminal"]))
            values = getattr(ix, field)
            if kind == "drop" and values:
                del values[draw(st.integers(0, len(values) - 1)):]
            elif kind == "append":
                values.append({
                    "node_shifts": 0, "child_labels": "z", "child_transitions": n,
                    "payloads": Payload(1, [0], [1]), "video_index": b"\xff" * 16, "is_terminal": True,
                }[field])
        elif kind == "payload" and ix.payloads:
            i = draw(st.integers(0, len(ix.payloads) - 1))
            ix.payloads[i] = draw(st.one_of(
                st.none(),
                st.builds(Payload, st.integers(0, MAX_U32),
                          st.lists(small_u32(len(ix.video_index)), max_size=3),
                          st.lists(st.integers(0, MAX_U32), max_size=3))))  # lengths may differ
        elif kind == "terminal" and ix.is_terminal:
            i = draw(st.integers(0, len(ix.is_terminal) - 1))
            ix.is_terminal[i] = not ix.is_terminal[i]
        elif kind == "label" and ix.child_labels:
            i = draw(st.integers(0, len(ix.child_labels) - 1))
            ix.child_labels[i] = draw(st.sampled_from(["\0", "a", "\U0010ffff", "\ud7ff"]))
        elif kind == "video_id":
            ix.video_index = ix.video_index[: draw(st.integers(0, len(ix.video_index)))]
    return ix


MARKERS = [0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0x00, 0x01, 0x02, 0xFA, 0x80, 0xC0, 0xED, 0xF4, 0xF5]


@st.composite
def mutated_encodings(draw):
    """A valid encoding with byte-level damage."""
    data = bytearray(encode(draw(valid_indexes())))
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["set", "insert", "delete", "truncate", "wide", "splice"]))
        at = draw(st.integers(0, len(data)))
        if kind == "set" and data:
            data[min(at, len(data) - 1)] = draw(st.one_of(st.sampled_from(MARKERS), st.integers(0, 255)))
        elif kind == "insert":
            data[at:at] = draw(st.binary(min_size=1, max_size=4))
        elif kind == "delete":
            del data[at:at + draw(st.integers(1, 4))]
        elif kind == "truncate":
            del data[at:]
        elif kind == "wide":
            # A compact integer in a longer form, or a huge length.
            data[at:at] = draw(st.sampled_from([
                b"\xfb\x05\x00", b"\xfc\x05\x00\x00\x00", b"\xfd" + struct.pack("<Q", MAX_U64),
                b"\xfd" + struct.pack("<Q", 2**40), b"\xfc\xff\xff\xff\xff", b"\xfb\xff\xff"]))
        elif kind == "splice" and data:
            start = draw(st.integers(0, len(data) - 1))
            data[at:at] = data[start:start + draw(st.integers(1, 8))]
    return bytes(data)


any_bytes = st.one_of(
    st.binary(max_size=64),
    mutated_encodings(),
    broken_indexes().map(encode),
    st.builds(lambda ix, tail: encode(ix) + tail, valid_indexes(), st.binary(max_size=8)),
)

JUNK = [-1, 2**32, MAX_U64 + 1, None, "1", 1.5, b"x", [], True]


def query_args(labels):
    """(term, kwargs) for a query: mostly valid, sometimes not."""
    alphabet = st.sampled_from(sorted(set(labels) - {"\0"}) or ["a"]) if labels else st.just("a")
    term = st.one_of(
        st.lists(alphabet, max_size=8).map("".join),
        st.text(max_size=8),
        st.sampled_from(["", "\ud800", "x" * 70]),  # lone surrogate; past 63 code points
        st.sampled_from([b"ab", None, 3]),
    )
    max_dist = st.one_of(st.integers(0, 3), st.sampled_from([8, 100, MAX_U32] + JUNK))
    limit = st.one_of(st.none(), st.integers(0, 4), st.sampled_from([MAX_U64] + JUNK))
    include = st.sampled_from([None, True, False, 1, "yes"])
    return st.tuples(term, st.fixed_dictionaries({}, optional={
        "max_dist": max_dist, "limit": limit, "include_prefix_nodes": include}))


# --- checks -------------------------------------------------------------------

def check_matches(result, kwargs):
    max_dist = kwargs.get("max_dist", 1)
    assert isinstance(result, list)
    for term, flag, distance in result:
        assert isinstance(term, str) and term
        assert flag == 1  # only term ends are reported
        assert 0 <= distance <= max_dist
    limit = kwargs.get("limit")
    if limit is not None:
        assert len(result) <= max(limit, 1)


def check_ranking(result, kwargs):
    assert isinstance(result, list)
    shares = [share for _, share in result]
    for key, share in result:
        assert isinstance(key, str) and len(key) == 36
        assert math.isfinite(share) and share >= 0.01
    assert shares == sorted(shares, reverse=True)
    limit = kwargs.get("limit")
    if limit is not None:
        assert len(result) <= limit


def query_everything(ps, queries):
    """Runs each query through both methods; a panic must change nothing."""
    before = ps.to_bytes()
    for term, kwargs in queries:
        match_kwargs = {k: v for k, v in kwargs.items() if k != "include_prefix_nodes"}
        for method, check, args in ((ps.fuzzy_match, check_matches, match_kwargs),
                                    (ps.fuzzy_match_video, check_ranking, kwargs)):
            kind, value = outcome(lambda: method(term, **args))
            event(f"{method.__name__}: {kind if kind != 'error' else type(value).__name__}")
            if kind == "ok":
                check(value, args)
            elif kind == "panic":
                assert ps.to_bytes() == before
                again_kind, again = outcome(lambda: method(term, **args))
                assert again_kind == "panic" and str(again) == str(value)
    assert ps.to_bytes() == before


# --- from_bytes ----------------------------------------------------------------

@fuzz_settings
@given(data=any_bytes, queries=st.data())
def test_from_bytes_on_damaged_input(data, queries):
    kind, ps = outcome(lambda: PrefixSearch.from_bytes(data))
    event(f"from_bytes: {kind}")
    try:
        reference = decode(data, allow_trailing=True)
    except ValueError:
        reference = None
    except MemoryError:
        # PyPy sizes the plain reader's list comprehensions from a huge
        # declared length up front; no verdict from it then.
        reference = unknown = object()
    else:
        unknown = None

    if kind == "error":
        # The decoder rejects exactly what the plain reader rejects, and
        # says so in its own words.
        assert isinstance(ps, ValueError) and str(ps).startswith("decode error: "), ps
        assert reference is None or reference is unknown
        return
    assert kind == "ok", ps  # decoding never faults: it checks no invariant
    assert reference is not None and reference is not unknown
    encoded = ps.to_bytes()
    assert encoded == encode(reference)
    assert PrefixSearch.from_bytes(encoded).to_bytes() == encoded

    labels = [c for c in reference.child_labels]
    query_everything(ps, queries.draw(st.lists(query_args(labels), min_size=1, max_size=4)))


@fuzz_settings
@given(ix=broken_indexes(), queries=st.data())
def test_broken_structure_faults_cleanly(ix, queries):
    ps = PrefixSearch.from_bytes(encode(ix))
    query_everything(ps, queries.draw(st.lists(query_args(ix.child_labels), min_size=1, max_size=4)))


# --- from_internal_data_v2 ---------------------------------------------------

def junk_sequence():
    return st.sampled_from(["abc", None, 5, {1, 2}, b"\x00\x01", (1, 2), range(3), [[1]], [None], [-1], [MAX_U32 + 1]])


@st.composite
def malformed_arrays(draw):
    """Six arguments for from_internal_data_v2: a consistent set with a few
    of its parts damaged."""
    terms = draw(term_sets())
    videos = draw(st.integers(0, 3))

    def payload():
        ids = draw(st.lists(st.integers(0, 5), max_size=3))
        return (draw(st.integers(0, 100)), ids, [1] * len(ids))

    shifts, labels, payloads, transitions = flatten(terms, payload)
    args = {
        "node_shifts": shifts,
        "child_labels": labels,
        "payloads": payloads,
        "child_transitions": transitions,
        "video_index": [bytes([v]) * 16 for v in range(videos)],
        "video_top_n": draw(st.sampled_from([0, 1, 2, 100, MAX_U64])),
    }
    n = len(labels)
    for _ in range(draw(st.integers(0, 4))):
        name = draw(st.sampled_from(sorted(args)))
        value = args[name]
        kind = draw(st.sampled_from(["whole", "item", "drop", "append"]))
        if name == "video_top_n":
            args[name] = draw(st.sampled_from([-1, MAX_U64 + 1, None, "3", 2.0, True]))
        elif kind == "whole":
            args[name] = draw(junk_sequence())
        elif not isinstance(value, list):
            continue
        elif kind == "drop" and value:
            del value[draw(st.integers(0, len(value) - 1))]
        elif kind in ("item", "append"):
            item = draw({
                "node_shifts": st.one_of(small_u32(n), st.sampled_from(JUNK)),
                "child_transitions": st.one_of(small_u32(n), st.sampled_from(JUNK)),
                "child_labels": st.one_of(st.text(max_size=3), st.sampled_from([None, 1, b"a", "\ud800"])),
                "payloads": st.sampled_from([
                    None, (1, [0], [1]), (1, [0, 1], [1]), (1, [0]), (1, [0], [1], 2), [1, [0], [1]],
                    (-1, [], []), (MAX_U32 + 1, [], []), (1, "ab", [1]), (1, [0], "a"), (1, [-1], [1]),
                    (1, None, None), (None, [], []), (1, [MAX_U32], [MAX_U32]), "abc", 5]),
                "video_index": st.sampled_from([
                    b"\x00" * 15, b"\x00" * 17, "x" * 16, list(range(16)), [256] * 16, bytearray(16),
                    None, 16, [-1] * 16, b""]),
            }[name])
            if kind == "append" or not value:
                value.append(item)
            else:
                value[draw(st.integers(0, len(value) - 1))] = item
    return args


@fuzz_settings
@given(args=malformed_arrays(), queries=st.data())
def test_from_internal_data_on_malformed_arrays(args, queries):
    kind, ps = outcome(lambda: PrefixSearch.from_internal_data_v2(**args))
    event(f"from_internal_data_v2: {kind if kind != 'error' else type(ps).__name__}")
    if kind != "ok":
        return
    encoded = ps.to_bytes()
    assert PrefixSearch.from_bytes(encoded).to_bytes() == encoded
    labels = decode(encoded).child_labels
    query_everything(ps, queries.draw(st.lists(query_args(labels), min_size=1, max_size=3)))


def test_a_cycle_with_a_huge_threshold_ends():
    """A trie that loops back on itself, walked without any threshold to
    prune it: the walk must end (in a fault or out of memory budget), not run
    for ever, and the object must answer afterwards."""
    ix = Index(node_shifts=[0, 1], child_labels=["\0", "a"], child_transitions=[1, 1],
               payloads=[None, Payload(1, [0], [1])], video_index=[b"\x01" * 16],
               is_terminal=[False, True])
    ps = PrefixSearch.from_bytes(encode(ix))
    for method in (ps.fuzzy_match, ps.fuzzy_match_video):
        kind, error = outcome(lambda: method("a", MAX_U32))
        assert kind in ("panic", "error"), kind
        assert kind == "panic" or isinstance(error, MemoryError)
    assert ps.fuzzy_match("a", 0, 0) == [("a", 1, 0)]
    assert ps.to_bytes() == encode(ix)
