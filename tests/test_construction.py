"""Building an index from flat arrays: input checks and payload propagation.

Payloads have no getter, so results are read back through ``to_bytes()`` and
the plain-Python reader in ``trie_bytes``.
"""

import random
import time
from collections import namedtuple

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from trie_bytes import Index, Payload, decode, encode

_quellnor = pytest.importorskip("_quellnor")
from quellnor import PanicException  # noqa: E402
PrefixSearch = _quellnor.PrefixSearch

MAX_U32 = 2**32 - 1
KEYS = [bytes(range(16)), bytes(range(100, 116))]


def build(node_shifts, child_labels, payloads, child_transitions, video_index=(), video_top_n=10):
    return PrefixSearch.from_internal_data_v2(
        list(node_shifts), list(child_labels), list(payloads), list(child_transitions),
        list(video_index), video_top_n)


def index_of(ps) -> Index:
    return decode(ps.to_bytes())


def shifts_and_transitions(children):
    """Flattens per-node child lists into node_shifts and child_transitions."""
    shifts, transitions = [], []
    for kids in children:
        shifts.append(len(transitions))
        transitions.extend(kids)
    return shifts, transitions


def build_tree(children, payloads, video_top_n, labels=None, videos=0):
    """`videos` keys in video_index: merges add up the counts of ids below it
    through a table indexed by id, and sort any other ids."""
    shifts, transitions = shifts_and_transitions(children)
    labels = labels if labels is not None else ["x"] * len(children)
    keys = [bytes([v]) * 16 for v in range(videos)]
    return build(shifts, labels, payloads, transitions, keys, video_top_n)


# --- input checks --------------------------------------------------------

# A valid five-node trie (root -> 1 -> 3, root -> 2 -> 4) that each case
# below breaks in one or more places.
VALID = dict(
    node_shifts=[0, 2, 3, 4, 4],
    child_labels=["", "a", "b", "c", "d"],
    payloads=[None, None, None, (3, [0], [3]), (2, [1], [2])],
    child_transitions=[1, 2, 3, 4],
    video_index=KEYS,
    video_top_n=10,
)

BAD_CASES = [
    # Lengths come first; node_shifts is checked before payloads.
    (dict(node_shifts=[0] * 6, payloads=[None] * 3), ValueError,
     "node_shifts len 6 != child_labels len 5"),
    (dict(node_shifts=[0] * 4), ValueError, "node_shifts len 4 != child_labels len 5"),
    (dict(payloads=[None] * 4, child_transitions=[9]), ValueError,
     "payloads len 4 != child_labels len 5"),
    (dict(payloads=[None] * 6), ValueError, "payloads len 6 != child_labels len 5"),
    # Transitions: the first offending position, before any payload is read.
    (dict(child_transitions=[0, 5]), ValueError, "child_transitions[1] = 5 out of range [0..5)"),
    (dict(child_transitions=[1, 7, 5, 2]), ValueError,
     "child_transitions[1] = 7 out of range [0..5)"),
    (dict(child_transitions=[1, 2, 3, 4294967295], payloads=[[3, [1], [2]]] * 5), ValueError,
     "child_transitions[3] = 4294967295 out of range [0..5)"),
    # Payload tuples, in node order.
    (dict(payloads=[None, [3, [1], [2]], None, None, None]), TypeError,
     "'list' object cannot be converted to 'PyTuple'"),
    (dict(payloads=[None, None, 7, None, None]), TypeError,
     "'int' object cannot be converted to 'PyTuple'"),
    (dict(payloads=[None, (3, [1], [2], 4), None, None, None]), ValueError,
     "Payload tuple must have 3 elements"),
    (dict(payloads=[(3, [1]), None, None, None, None]), ValueError,
     "Payload tuple must have 3 elements"),
    (dict(payloads=[None, (3, [1, 2], [5]), None, None, [1]]), ValueError,
     "video_ids and video_counts length mismatch"),
    (dict(payloads=[None, (3, "ab", [5]), None, None, None]), TypeError,
     "Can't extract `str` to `Vec`"),
    (dict(payloads=[None, (3, [5], "a"), None, None, None]), TypeError,
     "Can't extract `str` to `Vec`"),
    (dict(payloads=[None, (3, [1], [-1]), None, None, None]), OverflowError,
     "out of range integral type conversion attempted"),
    (dict(payloads=[None, (-1, [1], [1]), None, None, None]), OverflowError,
     "out of range integral type conversion attempted"),
    (dict(payloads=[None, (2**32, [], []), None, None, None]), OverflowError,
     "out of range integral type conversion attempted"),
    (dict(payloads=[None, (1, [2**32], [1]), None, None, None]), OverflowError,
     "out of range integral type conversion attempted"),
    # Video keys come last, after every payload.
    (dict(video_index=[KEYS[0], bytes(15)]), ValueError,
     "video_index entries must be exactly 16 bytes"),
    (dict(video_index=[bytes(17)]), ValueError, "video_index entries must be exactly 16 bytes"),
    (dict(video_index=[b""]), ValueError, "video_index entries must be exactly 16 bytes"),
    (dict(video_index=[bytes(15)], payloads=[None, None, None, (3, [1, 2], [5]), None]),
     ValueError, "video_ids and video_counts length mismatch"),
    (dict(video_index=[bytes(17)], payloads=[None, None, None, None, [1, [], []]]),
     TypeError, "'list' object cannot be converted to 'PyTuple'"),
]


@pytest.mark.parametrize("changes, exc_type, message", BAD_CASES)
def test_builder_rejects_with_first_failing_check(changes, exc_type, message):
    args = {**VALID, **changes}
    with pytest.raises(BaseException) as info:
        PrefixSearch.from_internal_data_v2(**args)
    assert type(info.value) is exc_type
    assert str(info.value) == message


def test_valid_base_builds():
    # Guards the table above: every failure there comes from its own change.
    ix = index_of(PrefixSearch.from_internal_data_v2(**VALID))
    assert ix.child_labels == ["\0", "a", "b", "c", "d"]
    assert ix.payloads[0] == Payload(5, [0, 1], [3, 2])


@pytest.mark.parametrize(
    "payload",
    [(3, [1], [2]), (3, (1,), (2,)), (3, range(1, 2), range(2, 3)), (True, [1], [2])],
)
def test_payload_tuple_item_forms(payload):
    ix = index_of(build([0], ["a"], [payload], [], [], 5))
    expected_total = 1 if payload[0] is True else 3
    assert ix.payloads == [Payload(expected_total, [1], [2])]


def test_tuple_subclass_payload_accepted():
    P = namedtuple("P", "total ids counts")
    ix = index_of(build([0], ["a"], [P(4, [9], [4])], [], [], 5))
    assert ix.payloads == [Payload(4, [9], [4])]


@pytest.mark.parametrize("key", [bytes(range(16)), list(range(16)), bytearray(range(16))])
def test_video_key_forms(key):
    ix = index_of(build([0], ["a"], [None], [], [key], 1))
    assert ix.video_index == [bytes(range(16))]


def test_all_empty():
    ps = build([], [], [], [], [], 0)
    assert ps.to_bytes() == bytes(6)


@pytest.mark.parametrize(
    "labels, expected",
    [
        (["abc"], ["a"]),
        ([""], ["\0"]),
        (["é", "日本", "\U0001d11ex", "\0b"], ["é", "日", "\U0001d11e", "\0"]),
    ],
)
def test_labels_reduced_to_first_character(labels, expected):
    n = len(labels)
    ix = index_of(build([0] * n, labels, [None] * n, [], [], 1))
    assert ix.child_labels == expected


def test_terminal_exactly_where_payload_given():
    ix = index_of(build([0, 2, 2], ["", "a", "b"], [None, (0, [], []), None], [1, 2], [], 3))
    assert ix.is_terminal == [False, True, False]
    # Every node carries a payload afterwards, terminal or not.
    assert ix.payloads == [Payload(0, [], [])] * 3


# --- propagation ---------------------------------------------------------

E = Payload(0, [], [])

PROPAGATION_CASES = {
    "worked example": (
        [[1, 2], [], []],
        [None, (10, [7, 8], [6, 4]), (5, [8, 9], [3, 2])],
        2,
        [Payload(15, [8, 7], [7, 6]), Payload(10, [7, 8], [6, 4]), Payload(5, [8, 9], [3, 2])],
    ),
    "leaf keeps duplicates, parent sums them": (
        [[1], []],
        [None, (3, [5, 5], [1, 2])],
        10,
        [Payload(3, [5], [3]), Payload(3, [5, 5], [1, 2])],
    ),
    "leaf is cut without sorting": (
        [[]],
        [(10, [1, 2, 3, 4], [1, 2, 3, 4])],
        2,
        [Payload(10, [1, 2], [1, 2])],
    ),
    "own entries merge with children and are re-ranked": (
        [[1], []],
        [(4, [1, 2, 3, 4], [1, 2, 3, 4]), (1, [1], [5])],
        2,
        [Payload(5, [1, 4], [6, 4]), Payload(1, [1], [5])],
    ),
    "top_n 0 empties lists but keeps totals": (
        [[1, 2], [3], [], []],
        [(1, [3], [1]), (10, [7], [6]), (5, [8, 9], [3, 2]), (2, [1], [1])],
        0,
        [Payload(18, [], []), Payload(12, [], []), Payload(5, [], []), Payload(2, [], [])],
    ),
    "top_n beyond every list cuts nothing": (
        [[1, 2], [], []],
        [None, (10, [7, 8], [6, 4]), (5, [8, 9], [3, 2])],
        2**64 - 1,
        [Payload(15, [8, 7, 9], [7, 6, 2]), Payload(10, [7, 8], [6, 4]),
         Payload(5, [8, 9], [3, 2])],
    ),
    "a chain passes the cut list upwards": (
        [[1], [2], []],
        [None, None, (9, [1, 2, 3], [5, 4, 3])],
        1,
        [Payload(9, [1], [5]), Payload(9, [1], [5]), Payload(9, [1], [5])],
    ),
    "node listed as its only child is left unsorted": (
        [[0]],
        [(7, [1, 2, 3], [1, 5, 9])],
        2,
        [Payload(7, [1, 2], [1, 5])],
    ),
    "self entry adds nothing beside a real child": (
        [[0, 1, 0], []],
        [(7, [1, 2], [1, 5]), (1, [1], [1])],
        5,
        [Payload(8, [2, 1], [5, 2]), Payload(1, [1], [1])],
    ),
    "child listed twice counts twice": (
        [[1, 1], []],
        [None, (3, [4, 6], [3, 1])],
        5,
        [Payload(6, [4, 6], [6, 2]), Payload(3, [4, 6], [3, 1])],
    ),
    "shared child reaches both parents": (
        [[1, 2], [3], [3], []],
        [None, None, None, (2, [1], [2])],
        5,
        [Payload(4, [1], [4]), Payload(2, [1], [2]), Payload(2, [1], [2]),
         Payload(2, [1], [2])],
    ),
    "equal sums rank by ascending id": (
        [[1], []],
        [(0, [9], [2]), (0, [5, 3], [2, 2])],
        2,
        [Payload(0, [3, 5], [2, 2]), Payload(0, [5, 3], [2, 2])],
    ),
    "child numbered before its parent is read unpropagated": (
        [[2], [0], []],
        [(1, [4], [1]), (0, [], []), (2, [5], [2])],
        5,
        [Payload(3, [5, 4], [2, 1]), Payload(1, [4], [1]), Payload(2, [5], [2])],
    ),
}


@pytest.mark.parametrize("children, payloads, top_n, expected",
                         PROPAGATION_CASES.values(), ids=PROPAGATION_CASES.keys())
def test_propagation(children, payloads, top_n, expected):
    ix = index_of(build_tree(children, payloads, top_n))
    assert ix.payloads == expected
    assert ix.is_terminal == [p is not None for p in payloads]


def test_children_without_label_still_contribute():
    ps = build([0, 2, 2], ["", "", ""], [None, (4, [1], [4]), (2, [1, 2], [1, 2])], [1, 2])
    assert index_of(ps).payloads[0] == Payload(6, [1, 2], [5, 2])


def test_last_node_range_runs_to_end_of_transitions():
    # Node 2 is last, so its range is node_shifts[2]..len(child_transitions):
    # it lists itself (nothing) and node 0, which it reads before node 0 has
    # merged anything.
    ps = build([0, 1, 1], ["", "a", "b"], [(1, [4], [1]), None, (2, [5], [2])], [1, 2, 0], [], 5)
    assert index_of(ps).payloads == [Payload(1, [4], [1]), E, Payload(3, [5, 4], [2, 1])]


# --- saturation ------------------------------------------------------------

def test_totals_saturate():
    ix = index_of(build_tree([[1, 2], [], []],
                             [None, (4_000_000_000, [], []), (500_000_000, [], [])], 5))
    assert ix.payloads[0].total_count == MAX_U32


def test_counts_saturate_but_rank_by_full_sum():
    # Video 9 sums to 4.5e9, video 2 to exactly 2**32-1: both are stored as
    # 2**32-1, and 9 still ranks first although an id tie-break favours 2.
    children = [[1, 2, 3], [], [], []]
    payloads = [None, (1, [9], [4_000_000_000]), (1, [9], [500_000_000]), (1, [2], [MAX_U32])]
    ix = index_of(build_tree(children, payloads, 5))
    assert ix.payloads[0] == Payload(3, [9, 2], [MAX_U32, MAX_U32])
    ix = index_of(build_tree(children, payloads, 1))
    assert ix.payloads[0] == Payload(3, [9], [MAX_U32])


def test_saturated_values_stay_saturated_upwards():
    children = [[1, 3], [2], [], []]
    payloads = [None, (MAX_U32, [1], [MAX_U32]), (7, [1], [7]), (1, [1], [1])]
    ix = index_of(build_tree(children, payloads, 5))
    assert ix.payloads[1] == Payload(MAX_U32, [1], [MAX_U32])
    assert ix.payloads[0] == Payload(MAX_U32, [1], [MAX_U32])


def test_saturated_ties_rank_by_id_further_up_a_chain():
    # Node 1 ranks 9 (4.5e9) before 2 (2**32-1) by their full sums; node 0,
    # its only parent, sees both stored as 2**32-1 and breaks the tie by id.
    children = [[1], [2, 3], [], []]
    payloads = [None, None, (1, [9], [4_000_000_000]), (1, [9, 2], [500_000_000, MAX_U32])]
    ix = index_of(build_tree(children, payloads, 5))
    assert ix.payloads[1] == Payload(2, [9, 2], [MAX_U32, MAX_U32])
    assert ix.payloads[0] == Payload(2, [2, 9], [MAX_U32, MAX_U32])


@pytest.mark.parametrize("own", [None, (6, [], [])])
def test_a_chain_passes_its_ranking_up(own):
    # Nodes 0 and 1 each have one child and no videos of their own.
    children = [[1], [2], [3, 4], [], []]
    payloads = [own, None, None, (1, [3, 4], [2, 5]), (2, [4, 7], [1, 5])]
    ix = index_of(build_tree(children, payloads, 2))
    merged = Payload(3, [4, 7], [6, 5])
    assert ix.payloads[2] == ix.payloads[1] == merged
    assert ix.payloads[0] == (merged if own is None else Payload(9, [4, 7], [6, 5]))


# --- faults ------------------------------------------------------------------

def test_child_range_overrun_is_an_internal_fault():
    with pytest.raises(PanicException) as info:
        build([0, 3], ["", "a"], [None, (1, [1], [1])], [1, 1], [], 5)
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "index out of bounds: the len is 2 but the index is 2"
    # The module remains usable afterwards.
    assert index_of(build([0], ["a"], [(1, [1], [1])], [], [], 5)).payloads == [
        Payload(1, [1], [1])]


# --- size and speed --------------------------------------------------------------

def test_wide_root_is_not_quadratic():
    rnd = random.Random(7)
    kids = 20_000
    payloads = [None] + [
        (5, [rnd.randrange(50_000) for _ in range(m)], [rnd.randrange(1, 100) for _ in range(m)])
        for m in (rnd.randint(1, 5) for _ in range(kids))
    ]
    shifts = [0] + [kids] * kids
    args = (shifts, ["x"] * (kids + 1), payloads, list(range(1, kids + 1)), [], 100)
    start = time.perf_counter()
    ps = PrefixSearch.from_internal_data_v2(*args)
    elapsed = time.perf_counter() - start
    root = index_of(ps).payloads[0]
    assert root.total_count == 5 * kids
    assert len(root.video_ids) == 100
    # Re-ranking the growing list once per child would take tens of seconds.
    assert elapsed < 2.0


# --- against a model ----------------------------------------------------------

def model_propagate(children, payloads, top_n):
    """Child-by-child propagation, straight from the description: each merge
    sums into a fresh table and re-sorts; the cut comes after the last merge.
    Ties are broken by ascending id, the order the module promises."""
    slots = [(p[0], list(p[1]), list(p[2])) if p is not None else (0, [], [])
             for p in payloads]
    merged = [False] * len(slots)
    for n in reversed(range(len(slots))):
        total, ids, counts = slots[n]
        slots[n] = None
        for c in children[n]:
            if slots[c] is None:
                continue
            c_total, c_ids, c_counts = slots[c]
            total = min(total + c_total, MAX_U32)
            table = {}
            for v, k in zip(ids + c_ids, counts + c_counts):
                table[v] = table.get(v, 0) + k
            ranked = sorted(table.items(), key=lambda vk: (-vk[1], vk[0]))
            ids = [v for v, _ in ranked]
            counts = [min(k, MAX_U32) for _, k in ranked]
            merged[n] = True
        slots[n] = (total, ids[:top_n], counts[:top_n])
    return slots, merged


@st.composite
def random_tries(draw):
    n = draw(st.integers(1, 24))
    children = [[] for _ in range(n)]
    for node in range(1, n):
        children[draw(st.integers(0, node - 1))].append(node)
    # Extra edges: shared children, repeated children and self entries, all
    # numbered parent before child (or equal).
    for _ in range(draw(st.integers(0, 6))):
        parent = draw(st.integers(0, n - 1))
        children[parent].append(draw(st.integers(parent, n - 1)))
    for kids in children:
        kids[:] = draw(st.permutations(kids))
    entry = st.tuples(st.integers(0, 9), st.integers(0, 60))
    payload = st.one_of(
        st.none(),
        st.builds(lambda total, entries: (total, [v for v, _ in entries], [k for _, k in entries]),
                  st.integers(0, 1000), st.lists(entry, max_size=6)),
    )
    payloads = draw(st.lists(payload, min_size=n, max_size=n))
    labels = draw(st.lists(st.sampled_from(["", "a", "bc", "é"]), min_size=n, max_size=n))
    top_n = draw(st.one_of(st.integers(0, 6), st.just(2**64 - 1)))
    return children, payloads, labels, top_n


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(random_tries(), st.sampled_from([0, 5, 10]))
def test_propagation_matches_model(trie, videos):
    # Ids run from 0 to 9: all, some or none of them have a key.
    children, payloads, labels, top_n = trie
    data = build_tree(children, payloads, top_n, labels, videos).to_bytes()
    got = decode(data).payloads
    want, merged = model_propagate(children, payloads, top_n)
    for node, (g, (total, ids, counts), was_merged) in enumerate(zip(got, want, merged)):
        assert g.total_count == total, node
        if was_merged:
            # Up to the order of equal sums: same entries, non-increasing.
            assert sorted(zip(g.video_ids, g.video_counts)) == sorted(zip(ids, counts)), node
            assert all(a >= b for a, b in zip(g.video_counts, g.video_counts[1:])), node
            assert len(set(g.video_ids)) == len(g.video_ids), node
        else:
            assert (g.video_ids, g.video_counts) == (ids, counts), node


# --- persistence round trip ------------------------------------------------------

def test_reader_matches_documented_example():
    data = bytes.fromhex(
        "020001" "020061" "0101" "02" "010501000105" "010501000105"
        "01" "000102030405060708090a0b0c0d0e0f" "020001")
    ix = Index([0, 1], ["\0", "a"], [1], [Payload(5, [0], [5])] * 2, [bytes(range(16))],
               [False, True])
    assert decode(data) == ix
    assert encode(ix) == data


@settings(max_examples=100, deadline=None)
@given(random_tries(), st.lists(st.binary(min_size=16, max_size=16), max_size=3))
def test_save_load_resave_is_byte_identical(trie, keys):
    children, payloads, labels, top_n = trie
    shifts, transitions = shifts_and_transitions(children)
    ps = build(shifts, labels, payloads, transitions, keys, top_n)
    data = ps.to_bytes()
    again = PrefixSearch.from_bytes(data).to_bytes()
    assert again == data
    ix = decode(data)
    # The extension writes shortest forms, as the reference writer does.
    assert encode(ix) == data
    assert ix.node_shifts == shifts
    assert ix.child_transitions == transitions
    assert ix.child_labels == [label[:1] or "\0" for label in labels]
    assert ix.video_index == keys
    assert ix.is_terminal == [p is not None for p in payloads]


@pytest.mark.parametrize("value", [250, 251, 65_535, 65_536, MAX_U32])
def test_large_values_survive_round_trip(value):
    ps = build([0], ["a"], [(value, [value], [value])], [], [], 1)
    data = ps.to_bytes()
    assert decode(data).payloads == [Payload(value, [value], [value])]
    assert PrefixSearch.from_bytes(data).to_bytes() == data


# Payload pools of a few MiB and more take their memory from the large-array
# path (aligned blocks offered for huge pages, released with free), smaller
# ones from operator new; construction grows its pool from one into the
# other. Every value must come through building, propagation, encoding and
# decoding exactly.
@pytest.mark.parametrize("entries", [1_000, 300_000])
def test_payload_pools_of_any_size_keep_every_value(entries):
    ids = list(range(entries))
    counts = list(range(entries, 0, -1))  # distinct and falling: ranking keeps the order
    index = PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (7, ids, counts)], [1], [],
                                               entries)
    data = index.to_bytes()
    both = Payload(7, ids, counts)
    assert decode(data).payloads == [both, both]
    assert PrefixSearch.from_bytes(data).to_bytes() == data


@st.composite
def numbered_trees(draw):
    """A random tree (long chains, wide nodes) with payloads, as parent links
    in any numbering; counts reach past 32 bits when summed."""
    n = draw(st.integers(1, 40))
    parents = [None] + [draw(st.integers(max(0, node - 3), node - 1)) for node in range(1, n)]
    entry = st.tuples(st.integers(0, 12), st.sampled_from([0, 1, 7, 60, MAX_U32]))
    payload = st.one_of(
        st.none(),
        st.builds(lambda total, entries: (total, [v for v, _ in entries], [k for _, k in entries]),
                  st.sampled_from([0, 5, MAX_U32]), st.lists(entry, max_size=5, unique_by=lambda e: e[0])),
    )
    payloads = draw(st.lists(payload, min_size=n, max_size=n))
    top_n = draw(st.one_of(st.integers(0, 4), st.just(2**64 - 1)))
    return parents, payloads, top_n


def renumbered(parents, breadth_first):
    """The tree's nodes in breadth-first or depth-first order (children in
    their original order): the new number of each original node."""
    children = [[] for _ in parents]
    for node, parent in enumerate(parents):
        if parent is not None:
            children[parent].append(node)
    order, pending = [], [0]
    while pending:
        node = pending.pop(0) if breadth_first else pending.pop()
        order.append(node)
        pending.extend(children[node] if breadth_first else reversed(children[node]))
    new = {old: i for i, old in enumerate(order)}
    return new, [[new[c] for c in children[old]] for old in order]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(numbered_trees(), st.sampled_from([0, 13]))
def test_breadth_first_propagation_matches_any_other_numbering(tree, videos):
    # A tree numbered breadth first goes depth by depth; numbered depth first
    # the general way: node for node, both must give the same lists.
    parents, payloads, top_n = tree
    got = {}
    for breadth_first in (True, False):
        new, children = renumbered(parents, breadth_first)
        by_new = [None] * len(parents)
        for old, n in new.items():
            by_new[n] = payloads[old]
        stored = decode(build_tree(children, by_new, top_n, videos=videos).to_bytes()).payloads
        got[breadth_first] = [stored[new[old]] for old in range(len(parents))]
        want, _ = model_propagate(children, by_new, top_n)
        # The model saturates between merges, the module once at the end:
        # their lists agree while no count saturates.
        saturating = any(p and MAX_U32 in p[2] for p in payloads)
        for n, (total, ids, counts) in enumerate(want):
            assert stored[n].total_count == total
            if not saturating:
                assert sorted(zip(stored[n].video_ids, stored[n].video_counts)) == sorted(zip(ids, counts))
    assert got[True] == got[False]
