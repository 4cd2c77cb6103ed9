"""Several Python threads on one shared index, while others are built and
dropped.

A long walk lets go of the interpreter lock, so calls overlap on their own;
short ones keep it, and interleave only where they run Python code of their
own arguments: a limit's ``__index__`` or a sequence's ``__getitem__``. The
tests put such callbacks in, let them give the lock away (or wait for each
other), and so make calls on the same object overlap: several shared
borrows at once. Every result must equal the one the
same call gives on a single thread, and afterwards the objects must still
answer.
"""

import random
import sys
import threading
import time

import pytest
from tries import breadth_first

_quellnor = pytest.importorskip("_quellnor")
from quellnor import PanicException  # noqa: E402
PrefixSearch = _quellnor.PrefixSearch

THREADS = 6
JOIN_TIMEOUT = 120


def words(count, seed):
    rnd = random.Random(seed)
    out = set()
    while len(out) < count:
        out.add("".join(rnd.choice("aeioulmnrstkpé") for _ in range(rnd.randint(2, 8))))
    return sorted(out)


def arrays(terms, seed):
    """Breadth-first flattening with fixed-seed payloads."""
    rnd = random.Random(seed)

    def payload(node):
        ids = rnd.sample(range(40), rnd.randint(1, 4))
        counts = [rnd.randint(1, 500) for _ in ids]
        return (sum(counts), ids, counts)

    shifts, labels, payloads, transitions = breadth_first(terms, payload)
    keys = [bytes((v + i) % 256 for i in range(16)) for v in range(40)]
    return [shifts, labels, payloads, transitions, keys, 20]


TERMS = words(1500, seed=1)
ARRAYS = arrays(TERMS, seed=2)
SMALL_ARRAYS = arrays(words(60, seed=3), seed=4)


class YieldingIndex:
    """An int for `limit` whose conversion hands the interpreter lock to
    another thread in the middle of the call."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class YieldingSequence:
    """A sequence for the builder whose items hand the lock away now and then."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i % 16 == 0:
            time.sleep(0)
        return self.items[i]


def make_queries(seed, count=150):
    rnd = random.Random(seed)
    queries = []
    for _ in range(count):
        term = rnd.choice(TERMS)
        cut = rnd.randint(1, len(term))
        term = term[:cut] if rnd.random() < 0.3 else term
        if rnd.random() < 0.3:  # a typo
            i = rnd.randrange(len(term))
            term = term[:i] + rnd.choice("aek") + term[i + 1:]
        max_dist = rnd.choice([0, 1, 1, 2])
        limit = rnd.choice([None, None, 0, 3, 10])
        if rnd.random() < 0.5:
            queries.append(("fuzzy_match", term, max_dist, limit, None))
        else:
            queries.append(("fuzzy_match_video", term, max_dist, limit, rnd.choice([None, True, False])))
    return queries


def run(ps, query, yielding=False):
    method, term, max_dist, limit, include = query
    if yielding and limit is not None:
        limit = YieldingIndex(limit)
    if method == "fuzzy_match":
        return ps.fuzzy_match(term, max_dist, limit)
    return ps.fuzzy_match_video(term, max_dist, limit, include)


def run_threads(target, count=THREADS):
    """Starts `count` threads on target(i), all released at once; re-raises
    the first failure of any of them."""
    start = threading.Barrier(count)
    errors = []

    def body(i):
        try:
            start.wait()
            target(i)
        except BaseException as error:  # PanicException included
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(JOIN_TIMEOUT)
    finally:
        sys.setswitchinterval(old_interval)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    if errors:
        raise errors[0]


@pytest.fixture(scope="module")
def shared():
    return PrefixSearch.from_internal_data_v2(*ARRAYS)


def test_concurrent_queries_match_the_single_threaded_results(shared):
    queries = make_queries(seed=5)
    expected = [run(shared, q) for q in queries]
    small_bytes = PrefixSearch.from_internal_data_v2(*SMALL_ARRAYS).to_bytes()
    small_query = ("fuzzy_match_video", "ta", 2, None, None)
    small_expected = run(PrefixSearch.from_bytes(small_bytes), small_query)

    def worker(i):
        rnd = random.Random(100 + i)
        order = list(range(len(queries)))
        for round_ in range(5):
            rnd.shuffle(order)
            for k in order:
                got = run(shared, queries[k], yielding=k % 2 == 0)
                assert got == expected[k], (queries[k], got, expected[k])
            # Build and drop other indexes while the rest keep querying.
            built = PrefixSearch.from_internal_data_v2(
                YieldingSequence(SMALL_ARRAYS[0]), *SMALL_ARRAYS[1:])
            loaded = PrefixSearch.from_bytes(small_bytes)
            assert built.to_bytes() == small_bytes
            assert run(loaded, small_query) == small_expected
            assert run(built, small_query, yielding=True) == small_expected
            del built, loaded

    run_threads(worker)
    # Afterwards the shared object answers as before.
    assert [run(shared, q) for q in queries] == expected
    assert PrefixSearch.from_bytes(shared.to_bytes()).to_bytes() == shared.to_bytes()


def test_overlapping_calls_on_one_object_share_it(shared):
    """Every thread stops inside a call on the same object (in the
    conversion of `limit`) until all of them are inside: all borrows are held
    at once, and none is refused."""
    query = ("fuzzy_match", TERMS[7], 1, None, None)
    expected = run(shared, query)
    inside = threading.Barrier(THREADS)

    class Gate:
        def __index__(self):
            inside.wait(timeout=JOIN_TIMEOUT)
            return 1000

    results = [None] * THREADS

    def worker(i):
        if i % 2:
            results[i] = shared.fuzzy_match(query[1], 1, Gate())
        else:
            results[i] = shared.fuzzy_match_video(query[1], 1, Gate())

    run_threads(worker)
    assert results[0::2] == [shared.fuzzy_match_video(query[1], 1)] * (THREADS // 2)
    assert results[1::2] == [expected] * (THREADS // 2)
    assert run(shared, query) == expected


def test_errors_and_faults_in_some_threads_leave_the_others_alone(shared):
    """Threads that fail (bad arguments, an internal fault on a broken
    index, an exception from a callback) next to threads that succeed on the
    same objects; the objects work afterwards."""
    broken = PrefixSearch.from_bytes(bytes.fromhex("00" "020061" "00" "00" "00" "00"))
    queries = make_queries(seed=6, count=60)
    expected = [run(shared, q) for q in queries]

    class Raises:
        def __index__(self):
            time.sleep(0)
            raise LookupError("from __index__")

    def worker(i):
        for k, q in enumerate(queries):
            kind = (i + k) % 4
            if kind == 0:
                assert run(shared, q, yielding=True) == expected[k]
            elif kind == 1:
                with pytest.raises(LookupError):
                    shared.fuzzy_match(q[1], 1, Raises())
            elif kind == 2:
                with pytest.raises(PanicException):
                    broken.fuzzy_match(q[1], 1, YieldingIndex(3))
            else:
                with pytest.raises(TypeError):
                    shared.fuzzy_match_video(q[1], 1, YieldingIndex(3), 1)

    run_threads(worker)
    assert [run(shared, q) for q in queries] == expected
    assert broken.to_bytes() == bytes.fromhex("00" "020061" "00" "00" "00" "00")


def diamond_chain(depth=40):
    """Each node's two slots both lead to the next: a walk without pruning
    meets 2**depth paths and runs until its visit allowance ends it, a
    second or more of native work in one call."""
    from trie_bytes import Index as Arrays, encode
    return PrefixSearch.from_bytes(encode(Arrays(
        node_shifts=[2 * k for k in range(depth)] + [2 * depth], child_labels=["\0"] + ["a"] * depth,
        child_transitions=[k for k in range(1, depth + 1) for _ in (0, 1)], payloads=[None] * (depth + 1),
        video_index=[], is_terminal=[False, True] + [False] * (depth - 1))))


@pytest.mark.parametrize("long_call", [
    lambda ix: ix.fuzzy_match("b" * 200, 10**6),
    lambda ix: ix.fuzzy_match_video("b" * 200, 10**6, None, True),
])
def test_a_long_walk_lets_other_threads_answer_meanwhile(long_call):
    """While one thread is inside a long native walk, another runs Python
    code and completes queries on the same index: the walk runs without the
    interpreter lock, and both borrows are counted while they overlap."""
    index = diamond_chain()
    events = []
    started = threading.Event()

    def long_walk():
        started.set()
        with pytest.raises(PanicException, match="revisits nodes without end"):
            long_call(index)  # after a second or more of work
        events.append("long call returned")

    def short_queries():
        started.wait()
        time.sleep(0.2)  # the long call is deep in its walk by now
        for _ in range(3):
            assert index.fuzzy_match("a", 0) == [("a", 1, 0), ("a", 1, 0)]
        events.append("short queries answered")

    threads = [threading.Thread(target=long_walk), threading.Thread(target=short_queries)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert events == ["short queries answered", "long call returned"]
    assert index.fuzzy_match("a", 0) == [("a", 1, 0), ("a", 1, 0)]
