"""How arguments are converted, and the exact errors a caller sees."""

import platform

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

    assert index.fuzzy_match(Text("a"), 0) == [("a", 1, 0)]


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
