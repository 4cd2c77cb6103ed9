"""How arguments are converted, and the exact errors a caller sees."""

import gc
import platform
import uuid
import weakref

import pytest

from _quellnor import PrefixSearch

ON_PYPY = platform.python_implementation() == "PyPy"
KEY = bytes(range(16))


def build(**overrides):
    arrays = dict(node_shifts=[0, 1], child_labels=["", "a"], payloads=[None, (5, [0], [5])],
                  child_transitions=[1], video_index=[KEY], video_top_n=10)
    arrays.update(overrides)
    return PrefixSearch.from_internal_data_v2(**arrays)


@pytest.fixture(scope="module")
def index():
    return build()


def error(call):
    with pytest.raises(BaseException) as caught:
        call()
    return type(caught.value), str(caught.value)


OUT_OF_RANGE = (OverflowError, "out of range integral type conversion attempted")


@pytest.mark.parametrize("max_dist", [-1, 2**32])
def test_max_dist_out_of_range_has_no_argument_name(index, max_dist):
    assert error(lambda: index.fuzzy_match("a", max_dist)) == OUT_OF_RANGE


def test_max_dist_accepts_bools_and_ints(index):
    assert index.fuzzy_match("b", True) == index.fuzzy_match("b", 1) == [("a", 1, 1)]
    assert index.fuzzy_match("b", False) == []
    assert index.fuzzy_match("b") == [("a", 1, 1)]


@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video"])
def test_explicit_none_max_dist_fails_like_a_non_integer(index, method):
    kind, text = error(lambda: getattr(index, method)("a", None))
    assert kind is TypeError and text.startswith("argument 'max_dist': ")
    assert "NoneType" in text


def test_huge_ints_fail_in_the_interpreter_unprefixed(index):
    kind, text = error(lambda: index.fuzzy_match("a", 2**100))
    assert kind is OverflowError and not text.startswith("argument")


def test_limit_conversion(index):
    assert index.fuzzy_match("a", limit=None) == [("a", 1, 0)]
    assert index.fuzzy_match("a", limit=2**64 - 1) == [("a", 1, 0)]
    kind, text = error(lambda: index.fuzzy_match("a", limit=-1))
    assert kind is OverflowError and not text.startswith("argument")
    kind, _ = error(lambda: index.fuzzy_match("a", limit=2**64))
    assert kind is OverflowError


def test_limit_takes_index_objects(index):
    class Two:
        def __index__(self):
            return 2

    class Broken:
        def __index__(self):
            raise TypeError("no index today")

    assert index.fuzzy_match("a", limit=Two()) == [("a", 1, 0)]
    assert error(lambda: index.fuzzy_match("a", limit=Broken())) == (
        TypeError, "argument 'limit': no index today")
    kind, text = error(lambda: index.fuzzy_match("a", limit=1.5))
    assert kind is TypeError and text.startswith("argument 'limit': ")


def test_typeerror_subclasses_pass_unprefixed(index):
    class Special(TypeError):
        pass

    class Raises:
        def __index__(self):
            raise Special("special")

    assert error(lambda: index.fuzzy_match("a", limit=Raises())) == (Special, "special")


def test_prefix_keeps_the_original_cause(index):
    class Raises:
        def __index__(self):
            try:
                raise KeyError("root")
            except KeyError as root:
                raise TypeError("wrapped") from root

    with pytest.raises(TypeError) as caught:
        index.fuzzy_match("a", limit=Raises())
    assert str(caught.value) == "argument 'limit': wrapped"
    assert isinstance(caught.value.__cause__, KeyError)


@pytest.mark.parametrize("term, expected", [
    (b"abc", "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
    (1, "argument 'term': 'int' object cannot be converted to 'PyString'"),
    (None, "argument 'term': 'NoneType' object cannot be converted to 'PyString'"),
])
def test_term_must_be_text(index, term, expected):
    assert error(lambda: index.fuzzy_match(term)) == (TypeError, expected)
    assert error(lambda: index.fuzzy_match_video(term)) == (TypeError, expected)


def test_term_subclass_of_str_is_text(index):
    class Text(str):
        pass

    [(term, terminal, distance)] = index.fuzzy_match(Text("a"), 0)
    assert (term, terminal, distance) == ("a", 1, 0)
    assert type(term) is str  # an exact hit is plain text, never the caller's subclass


@pytest.mark.parametrize("query, expected", [("a", [("a", 1, 0)]), ("ab", [("a", 1, 1)]), ("b", [("a", 1, 1)])])
def test_hit_text_is_the_term_not_the_query(index, query, expected):
    """An exact hit may hand back the query string itself; any other hit has
    the term's own text, however often the two alternate."""
    for _ in range(3):
        assert index.fuzzy_match(query, 1) == expected


def test_lone_surrogate_fails_without_argument_name(index):
    kind, text = error(lambda: index.fuzzy_match("a\ud800"))
    assert kind is UnicodeEncodeError and not text.startswith("argument")


@pytest.mark.parametrize("value, expected", [
    (1, "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
    (0, "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
    ("yes", "argument 'include_prefix_nodes': 'str' object cannot be converted to 'PyBool'"),
])
def test_include_prefix_nodes_must_be_a_bool(index, value, expected):
    assert error(lambda: index.fuzzy_match_video("a", include_prefix_nodes=value)) == (TypeError, expected)


def test_include_prefix_nodes_none_is_automatic(index):
    assert index.fuzzy_match_video("a", include_prefix_nodes=None) == index.fuzzy_match_video("a")


def test_numpy_bools_convert():
    numpy = pytest.importorskip("numpy")
    index = build()
    for flag in (True, False):
        assert (index.fuzzy_match_video("a", include_prefix_nodes=numpy.bool_(flag))
                == index.fuzzy_match_video("a", include_prefix_nodes=flag))


def test_numpy_lookalike_types():
    def fake(name, body):
        kind = type(name, (), body)
        kind.__module__ = "numpy"
        return kind

    index = build()
    assert index.fuzzy_match_video("a", include_prefix_nodes=fake("bool_", {"__bool__": lambda self: True})()) \
        == index.fuzzy_match_video("a", include_prefix_nodes=True)
    no_bool = fake("bool", {})()
    kind, text = error(lambda: index.fuzzy_match_video("a", include_prefix_nodes=no_bool))
    assert kind is TypeError
    assert text.startswith("argument 'include_prefix_nodes': object of type '")
    assert text.endswith("' does not define a '__bool__' conversion")
    not_a_bool = fake("bool_", {"__bool__": lambda self: 1})()
    assert error(lambda: index.fuzzy_match_video("a", include_prefix_nodes=not_a_bool)) == (
        TypeError, "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'")
    other_name = fake("boolean", {"__bool__": lambda self: True})()
    assert error(lambda: index.fuzzy_match_video("a", include_prefix_nodes=other_name)) == (
        TypeError, "argument 'include_prefix_nodes': 'boolean' object cannot be converted to 'PyBool'")


def test_from_bytes_type_rule():
    data = build().to_bytes()

    class Data(bytes):
        pass

    assert PrefixSearch.from_bytes(Data(data)).to_bytes() == data
    assert PrefixSearch.from_bytes(b=data).to_bytes() == data
    for other, name in [(bytearray(data), "bytearray"), (memoryview(data), "memoryview"), ("x", "str")]:
        assert error(lambda: PrefixSearch.from_bytes(other)) == (
            TypeError, f"argument 'b': '{name}' object cannot be converted to 'PyBytes'")


SEQUENCE_ERRORS = [
    (dict(node_shifts="abc"), (TypeError, "argument 'node_shifts': Can't extract `str` to `Vec`")),
    (dict(node_shifts=(x for x in [0, 1])),
     (TypeError, "argument 'node_shifts': 'generator' object cannot be converted to 'Sequence'")),
    (dict(node_shifts={0, 1}), (TypeError, "argument 'node_shifts': 'set' object cannot be converted to 'Sequence'")),
    (dict(node_shifts=[1, -1]), OUT_OF_RANGE),
    (dict(node_shifts=[1, 2**32]), OUT_OF_RANGE),
    (dict(child_labels=["a", 1]), (TypeError, "argument 'child_labels': 'int' object cannot be converted to 'PyString'")),
    (dict(child_labels="ab"), (TypeError, "argument 'child_labels': Can't extract `str` to `Vec`")),
    (dict(payloads="ab"), (TypeError, "argument 'payloads': Can't extract `str` to `Vec`")),
    (dict(child_transitions=["1"]), None),
    (dict(video_index=["0123456789abcdef"]), (TypeError, "argument 'video_index': Can't extract `str` to `Vec`")),
    (dict(video_index=[5]), (TypeError, "argument 'video_index': 'int' object cannot be converted to 'Sequence'")),
    (dict(video_index=[[256] * 16]), OUT_OF_RANGE),
    (dict(video_top_n=-1), None),
]


@pytest.mark.parametrize("overrides, expected", SEQUENCE_ERRORS)
def test_array_conversion_errors(overrides, expected):
    kind, text = error(lambda: build(**overrides))
    if expected is None:  # the interpreter's own error, prefixed only when exactly TypeError
        name = next(iter(overrides))
        assert kind in (TypeError, OverflowError)
        assert text.startswith(f"argument '{name}': ") == (kind is TypeError)
    else:
        assert (kind, text) == expected


def test_first_failing_argument_decides():
    assert error(lambda: build(child_labels=[1], node_shifts="x")) == (
        TypeError, "argument 'node_shifts': Can't extract `str` to `Vec`")


@pytest.mark.parametrize("shifts", [[0, 1], (0, 1), range(2), bytes([0, 1]), bytearray([0, 1])])
def test_any_sequence_converts_like_a_list(shifts):
    assert build(node_shifts=shifts).to_bytes() == build().to_bytes()


@pytest.mark.parametrize("key", [KEY, list(KEY), bytearray(KEY), tuple(KEY)])
def test_video_keys_in_any_sequence_form(key):
    assert build(video_index=[key]).to_bytes() == build().to_bytes()


def test_size_hint_failures_are_ignored_and_iteration_errors_propagate():
    class NoLen:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, position):
            return self.items[position]

    assert build(node_shifts=NoLen([0, 1])).to_bytes() == build().to_bytes()

    class HugeLen(NoLen):
        def __len__(self):
            return 2**62

    assert build(node_shifts=HugeLen([0, 1])).to_bytes() == build().to_bytes()

    class Failing(NoLen):
        def __getitem__(self, position):
            if position == 1:
                raise KeyError("boom")
            return self.items[position]

    kind, _ = error(lambda: build(node_shifts=Failing([0, 1])))
    assert kind is KeyError


def test_empty_sequences_convert_to_empty_arrays():
    empty = PrefixSearch.from_internal_data_v2((), [], range(0), b"", [], 0)
    assert empty.to_bytes() == bytes(6)
    assert empty.fuzzy_match("") == []


def test_results_are_fresh_lists_of_tuples(index):
    first = index.fuzzy_match("a")
    assert first == [("a", 1, 0)] and type(first) is list and type(first[0]) is tuple
    assert index.fuzzy_match("zzz", 0) == []
    ranked = index.fuzzy_match_video("a")
    assert ranked == [("00010203-0405-0607-0809-0a0b0c0d0e0f", 1.0)]
    assert type(ranked[0][1]) is float



# A ranking is built from C for a few videos and by a Python helper for many
# (on PyPy); every size on either side of the switch must come out alike, also
# when the same key strings are handed out a second time.
@pytest.mark.parametrize("videos", [1, 2, 7, 8, 9, 12])
def test_rankings_of_any_size_convert_alike(videos):
    counts = [20 - i for i in range(videos)]
    keys = [bytes([i]) * 16 for i in range(videos)]
    index = PrefixSearch.from_internal_data_v2(
        [0, 1], ["", "a"], [None, (sum(counts), list(range(videos)), counts)], [1], keys, 100)
    expected = [(str(uuid.UUID(bytes=k)), c / sum(counts)) for k, c in zip(keys, counts)]
    for _ in range(2):
        ranked = index.fuzzy_match_video("a", 0)
        assert ranked == expected
        assert all(type(t) is tuple and type(t[0]) is str and type(t[1]) is float for t in ranked)
    assert index.fuzzy_match_video("a", 0, limit=videos - 1) == expected[:videos - 1]

# --- Exact lists, tuples, ints, ASCII str and bytes take shortcuts; anything
# else goes through the sequence and iterator protocols. Both must convert
# alike, and the protocols must still be used wherever a caller can see them.

import sys

from hypothesis import given
from hypothesis import strategies as st

WIDE = 40  # children of the root: more than any shortcut's minimum length


def wide_arrays():
    """A root with WIDE one-letter children, each a term with one video."""
    return dict(
        node_shifts=[0] + [WIDE] * WIDE,
        child_labels=[""] + [chr(ord("a") + i % 26) for i in range(WIDE)],
        payloads=[None] + [(i + 1, [i % 2], [i + 1]) for i in range(WIDE)],
        child_transitions=list(range(1, WIDE + 1)),
        video_index=[KEY, bytes(range(16, 32))],
        video_top_n=10,
    )


class Plain(list):
    """Changes nothing, but is not exactly a list."""


class PlainTuple(tuple):
    pass


class Recording(list):
    """Iterates over other items than it stores, and counts its iterations."""

    def __init__(self, stored, iterated):
        super().__init__(stored)
        self.iterated = list(iterated)
        self.iterations = 0

    def __iter__(self):
        self.iterations += 1
        return iter(self.iterated)


def wrapped_everywhere(arrays, wrap):
    """The same arrays with every list, payload tuple and key wrapped."""
    out = {name: wrap(value) if isinstance(value, list) else value for name, value in arrays.items()}
    out["payloads"] = wrap([None if p is None else PlainTuple((p[0], wrap(p[1]), wrap(p[2])))
                            for p in arrays["payloads"]])
    out["video_index"] = wrap([wrap(list(key)) for key in arrays["video_index"]])
    return out


@pytest.mark.parametrize("arrays", [build, wide_arrays], ids=["small", "wide"])
def test_subclasses_convert_like_exact_lists(arrays):
    exact = wide_arrays() if arrays is wide_arrays else dict(
        node_shifts=[0, 1], child_labels=["", "a"], payloads=[None, (5, [0], [5])],
        child_transitions=[1], video_index=[KEY], video_top_n=10)
    expected = PrefixSearch.from_internal_data_v2(**exact).to_bytes()
    for wrap in (Plain, tuple):
        assert PrefixSearch.from_internal_data_v2(**wrapped_everywhere(exact, wrap)).to_bytes() == expected


@pytest.mark.parametrize("name", ["node_shifts", "child_transitions", "child_labels", "payloads",
                                  "video_index"])
def test_list_subclass_is_iterated_not_read(name):
    arrays = wide_arrays()
    expected = PrefixSearch.from_internal_data_v2(**arrays).to_bytes()
    decoy = {"child_labels": "z", "payloads": None, "video_index": bytes(16)}.get(name, 10**12)
    arrays[name] = Recording([decoy] * 3, arrays[name])
    assert PrefixSearch.from_internal_data_v2(**arrays).to_bytes() == expected
    assert arrays[name].iterations == 1


def test_payload_lists_and_keys_of_subclasses_are_iterated():
    arrays = wide_arrays()
    expected = PrefixSearch.from_internal_data_v2(**arrays).to_bytes()
    total, ids, counts = arrays["payloads"][7]
    arrays["payloads"][7] = (total, Recording([2**40], ids), Recording([-1, -1], counts))

    class Key(bytes):
        def __iter__(self):
            return iter(KEY)

    arrays["video_index"][0] = Key(bytes(16))
    assert PrefixSearch.from_internal_data_v2(**arrays).to_bytes() == expected
    assert arrays["payloads"][7][1].iterations == arrays["payloads"][7][2].iterations == 1


def test_lists_resized_during_conversion_end_where_their_iterator_ends():
    class Appends:
        def __init__(self, target):
            self.target = target

        def __index__(self):
            self.target.append(0)
            return 0

    class Truncates(Appends):
        def __index__(self):
            del self.target[1:]
            return 0

    shifts = [0]
    shifts.append(Appends(shifts))
    assert error(lambda: build(node_shifts=shifts)) == (
        ValueError, "node_shifts len 3 != child_labels len 2")
    shifts = [0, 0, 0, 0]
    shifts[0] = Truncates(shifts)
    assert error(lambda: build(node_shifts=shifts)) == (
        ValueError, "node_shifts len 1 != child_labels len 2")


def test_items_replaced_ahead_during_conversion_are_seen():
    class Replaces:
        def __init__(self, target):
            self.target = target

        def __index__(self):
            self.target[1] = 99
            return 1

    transitions = [0, 1]
    transitions[0] = Replaces(transitions)
    assert error(lambda: build(child_transitions=transitions)) == (
        ValueError, "child_transitions[1] = 99 out of range [0..2)")


def test_payloads_are_held_as_given_but_their_lists_read_when_converted():
    arrays = wide_arrays()
    payloads = arrays["payloads"]
    ids, counts = payloads[5][1], payloads[5][2]
    expected_arrays = wide_arrays()
    expected_arrays["payloads"][5] = (5, [0, 1], [5, 1000])
    expected = PrefixSearch.from_internal_data_v2(**expected_arrays).to_bytes()

    class Meddles:
        def __index__(self):
            payloads.clear()  # the references taken already keep every payload
            ids.append(1)     # but a payload's lists are read only when it converts
            counts.append(1000)
            return 1

    arrays["child_transitions"][0] = Meddles()
    assert PrefixSearch.from_internal_data_v2(**arrays).to_bytes() == expected


@pytest.mark.parametrize("position", ["total", "ids"])
def test_a_payload_can_change_later_payloads_before_their_turn(position):
    arrays = wide_arrays()
    later = arrays["payloads"][30]
    expected_arrays = wide_arrays()
    expected_arrays["payloads"][30] = (30, [1, 0], [30, 500])
    expected = PrefixSearch.from_internal_data_v2(**expected_arrays).to_bytes()

    class Meddles:
        def __index__(self):
            later[1].append(0)
            later[2].append(500)
            return 2 if position == "total" else 1

    total, ids, counts = arrays["payloads"][2]
    arrays["payloads"][2] = (Meddles(), ids, counts) if position == "total" else (total, [Meddles()], counts)
    assert PrefixSearch.from_internal_data_v2(**arrays).to_bytes() == expected


def outcome(call):
    try:
        return call().to_bytes()
    except Exception as failure:  # noqa: BLE001 - the outcome is what is compared
        return type(failure), str(failure)


@pytest.mark.parametrize("value, expected", [
    (-1, OUT_OF_RANGE),
    (2**32, OUT_OF_RANGE),
    (2**70, OverflowError),
    ("1", TypeError),
    (None, TypeError),
    (True, None),
    (1.0, None),  # whatever the interpreter's PyLong_AsLong makes of it
])
@pytest.mark.parametrize("name", ["node_shifts", "child_transitions"])
def test_one_odd_value_in_a_long_list(name, value, expected):
    arrays = wide_arrays()
    arrays[name][25] = value
    result = outcome(lambda: PrefixSearch.from_internal_data_v2(**arrays))
    assert result == outcome(lambda: PrefixSearch.from_internal_data_v2(**{**arrays, name: Plain(arrays[name])}))
    if isinstance(expected, tuple):
        assert result == expected
    elif expected is not None:
        assert result[0] is expected and result[1].startswith(f"argument '{name}': ") == (expected is TypeError)


@pytest.mark.parametrize("value", [7, 2**32])
def test_index_of_an_item_in_a_long_list_is_asked_once(value):
    class Index:
        calls = 0

        def __index__(self):
            Index.calls += 1
            return value

    arrays = wide_arrays()
    arrays["child_transitions"][10] = Index()
    result = outcome(lambda: PrefixSearch.from_internal_data_v2(**arrays))
    assert Index.calls == 1
    assert (result == OUT_OF_RANGE) == (value == 2**32)


PAYLOAD_FAULTS = [
    ((9, [1], [-1]), OUT_OF_RANGE),
    ((9, [2**32], [1]), OUT_OF_RANGE),
    ((9, [1], [2**70]), (OverflowError, None)),
    ((9, ["1"], [1]), (TypeError, None)),
    ((-1, [1], [1]), OUT_OF_RANGE),
    ((9, [1, 0], [1]), (ValueError, "video_ids and video_counts length mismatch")),
    ((9, [1], [1], 0), (ValueError, "Payload tuple must have 3 elements")),
    ([9, [1], [1]], (TypeError, "'list' object cannot be converted to 'PyTuple'")),
    ((9, "1", [1]), (TypeError, "Can't extract `str` to `Vec`")),
]


@pytest.mark.parametrize("fault, expected", PAYLOAD_FAULTS)
def test_the_first_faulty_payload_in_node_order_decides(fault, expected):
    arrays = wide_arrays()
    arrays["payloads"][12] = fault
    arrays["payloads"][31] = PAYLOAD_FAULTS[0][0] if fault is not PAYLOAD_FAULTS[0][0] else PAYLOAD_FAULTS[7][0]
    kind, text = error(lambda: PrefixSearch.from_internal_data_v2(**arrays))
    assert kind is expected[0]
    if expected[1] is not None:
        assert text == expected[1]
    assert not text.startswith("argument")


@pytest.mark.parametrize("value", [1.0, 2.5, True, 2**63, -(2**63), None, "1", b"1"])
def test_odd_payload_values_fail_or_pass_as_item_by_item(value):
    for position in range(3):
        arrays = wide_arrays()
        total, ids, counts = arrays["payloads"][20]
        items = [total, [value] if position == 1 else ids, [value] if position == 2 else counts]
        if position == 0:
            items[0] = value
        arrays["payloads"][20] = tuple(items)
        slow = wrapped_everywhere(arrays, Plain)
        assert outcome(lambda: PrefixSearch.from_internal_data_v2(**arrays)) == \
            outcome(lambda: PrefixSearch.from_internal_data_v2(**slow))


def test_payloads_after_the_first_faulty_one_are_not_read():
    arrays = wide_arrays()
    arrays["payloads"][3] = (3, [0, 1], [3])
    total, ids, counts = arrays["payloads"][7]
    arrays["payloads"][7] = (total, Recording(ids, ids), Recording(counts, counts))
    assert error(lambda: PrefixSearch.from_internal_data_v2(**arrays)) == (
        ValueError, "video_ids and video_counts length mismatch")
    assert arrays["payloads"][7][1].iterations == arrays["payloads"][7][2].iterations == 0


def test_payload_values_that_count_as_ints():
    class Count(int):
        pass

    arrays = wide_arrays()
    expected = PrefixSearch.from_internal_data_v2(**arrays).to_bytes()
    arrays["payloads"][3] = (Count(3), [False], [Count(3)])
    arrays["payloads"][4] = (4, (True,), range(4, 5))
    shared = [0]
    arrays["payloads"][9] = (9, shared, [9])
    arrays["payloads"][11] = (11, shared, [11])
    assert PrefixSearch.from_internal_data_v2(**arrays).to_bytes() == expected


@pytest.mark.parametrize("labels, expected", [
    (["", "abc"], ["\0", "a"]),
    (["", "é"], ["\0", "é"]),
    (["", "a€"], ["\0", "a"]),
    (["", "€a"], ["\0", "€"]),
    (["", "\U0001F600"], ["\0", "\U0001F600"]),
    (("", "a"), ["\0", "a"]),
])
def test_labels_take_their_first_character(labels, expected):
    class Text(str):
        pass

    index = build(child_labels=labels)
    assert build(child_labels=[Text(label) for label in labels]).to_bytes() == index.to_bytes()
    reference = build(child_labels=["", expected[1]])
    assert index.to_bytes() == reference.to_bytes()


@pytest.mark.parametrize("label", ["a\ud800", "\udc80", "abc\udfff"])
def test_a_lone_surrogate_anywhere_in_a_label_fails(label):
    kind, text = error(lambda: build(child_labels=["", label]))
    assert kind is UnicodeEncodeError and not text.startswith("argument")


def test_video_keys_of_bytes():
    class Key(bytes):
        pass

    assert build(video_index=[Key(KEY)]).to_bytes() == build().to_bytes()
    for size in (0, 15, 17):
        assert error(lambda: build(video_index=[KEY, bytes(size)])) == (
            ValueError, "video_index entries must be exactly 16 bytes")


@pytest.mark.skipif(ON_PYPY, reason="reference counts are not observable on PyPy")
@pytest.mark.parametrize("fails", [False, True])
def test_argument_references_are_given_back(fails):
    arrays = wide_arrays()
    arrays["payloads"][6] = (7, [10**6], [10**7])
    arrays["child_labels"][3] = "déjà"
    if fails:
        arrays["payloads"][30] = (1, [1], [-1])
    watched = [value for value in arrays.values() if isinstance(value, list)]
    watched += [item for value in watched for item in value]
    watched += [part for p in arrays["payloads"] if p is not None for part in p]
    watched += [item for p in arrays["payloads"] if p is not None for item in p[1] + p[2]]
    # Small ints and one-character strings are shared with the whole interpreter.
    watched = [item for item in watched if not (type(item) is int and item <= 256)
               and not (type(item) is str and len(item) <= 1)]
    before = [sys.getrefcount(item) for item in watched]
    for _ in range(3):
        try:
            PrefixSearch.from_internal_data_v2(**arrays)
        except OverflowError:
            assert fails
    assert [sys.getrefcount(item) for item in watched] == before


@pytest.mark.skipif(not ON_PYPY, reason="list storage strategies are PyPy's")
def test_the_callers_lists_keep_their_storage():
    import __pypy__

    arrays = wide_arrays()
    lists = [arrays["node_shifts"], arrays["child_transitions"], arrays["payloads"][5][1]]
    before = [__pypy__.strategy(value) for value in lists]
    PrefixSearch.from_internal_data_v2(**arrays)
    assert [__pypy__.strategy(value) for value in lists] == before


small_ints = st.integers(0, 2**32 - 1) | st.integers(0, 5)


@given(st.lists(st.tuples(small_ints, st.lists(small_ints, max_size=4)), min_size=1, max_size=60),
       st.integers(0, 40))
def test_shortcuts_agree_with_the_iterator(terms, cut):
    """Random valid arrays, as exact lists and as list subclasses."""
    n = len(terms) + 1
    exact = dict(
        node_shifts=[0] + [n - 1] * (n - 1),
        child_labels=[""] + ["k"] * (n - 1),
        payloads=[None] + [(total, ids, [total] * len(ids)) if total % 3 else None
                           for total, ids in terms],
        child_transitions=list(range(1, n)),
        video_index=[KEY] * 3,
        video_top_n=cut,
    )
    expected = PrefixSearch.from_internal_data_v2(**exact).to_bytes()
    assert PrefixSearch.from_internal_data_v2(**wrapped_everywhere(exact, Plain)).to_bytes() == expected


def lying(base, value, length):
    """A `base` holding `value` whose __len__ answers `length`."""
    kind = type(f"Lying{base.__name__.capitalize()}", (base,), {"__len__": lambda self: length})
    return kind(value)


KEY_TEXT = str(uuid.UUID(bytes=KEY))
LIES = [0, 1, 10**6]


@pytest.mark.parametrize("lie", LIES)
@pytest.mark.parametrize("key_type", [bytes, tuple])
def test_text_and_keys_are_read_whatever_their_len_says(lie, key_type):
    index = build(child_labels=["", lying(str, "\u00e9a", lie)], video_index=[lying(key_type, KEY, lie)])
    for query in ("\u00e9", lying(str, "\u00e9", lie)):
        assert index.fuzzy_match(query, 0) == [("\u00e9", 1, 0)]
        assert index.fuzzy_match_video(query, 0) == [(KEY_TEXT, 1.0)]
    assert index.fuzzy_match(lying(str, "\u00e9\u00e9\u00e9", lie), 1) == []


@pytest.mark.parametrize("extra", [1, 10**6])
@pytest.mark.parametrize("cut", [0, 1])
def test_bytes_whose_len_overstates_them_load_as_they_are(extra, cut):
    """(PyPy refuses bytes whose __len__ understates them before the call begins.)"""
    data = build().to_bytes()
    data = data[:len(data) - cut]
    assert outcome(lambda: PrefixSearch.from_bytes(lying(bytes, data, len(data) + extra))) == \
        outcome(lambda: PrefixSearch.from_bytes(data))


@pytest.mark.parametrize("lie", LIES)
@pytest.mark.parametrize("where", ["node_shifts", "child_labels", "payload total", "payload ids", "payload"])
@pytest.mark.parametrize("kind", [bytes, tuple])
def test_misplaced_values_whose_len_lies_fail_as_type_errors(lie, where, kind):
    odd = lying(kind, b"\x01\x02\x03" if kind is bytes else (1, 2, 3), lie)
    arrays = {
        "node_shifts": dict(node_shifts=[0, odd]),
        "child_labels": dict(child_labels=["", odd]),
        "payload total": dict(payloads=[None, (odd, [0], [5])]),
        "payload ids": dict(payloads=[None, (5, [odd], [5])]),
        "payload": dict(payloads=[None, odd]),
    }[where]
    with pytest.raises((TypeError, ValueError)):
        build(**arrays)


class Held:
    """Something an exception holds, to see whether the exception is freed."""


def raising(kind, cause=False):
    """A function that raises a `kind`, or a TypeError caused by one, that its
    own frame refers to (a cycle only the collector can free), and a weak
    reference to what the last `kind` held."""
    last = []

    def run(*_):
        error = kind("from a callback")
        error.held = Held()
        last[:] = [weakref.ref(error.held)]
        if not cause:
            raise error
        try:
            raise error
        except kind as inner:
            wrapped = TypeError("wrapped")
            raise wrapped from inner
    return run, last


@pytest.mark.parametrize("kind, cause", [(ValueError, False), (TypeError, False), (KeyError, True)])
@pytest.mark.parametrize("argument", ["limit", "node_shifts"])
def test_exceptions_from_callbacks_are_released(index, kind, cause, argument):
    run, last = raising(kind, cause)
    if argument == "limit":
        call = lambda: index.fuzzy_match("a", limit=type("Index", (), {"__index__": run})())  # noqa: E731
    else:
        call = lambda: build(node_shifts=type("Iter", (list,), {"__iter__": run})())  # noqa: E731
    for _ in range(3):
        try:
            call()
        except (kind, TypeError):
            pass
        else:
            pytest.fail("the callback's exception was lost")
    for _ in range(3):
        gc.collect()
    assert last[0]() is None
