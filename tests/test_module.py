"""The module surface: the type, its method table, argument binding and the
fate of an object after a failed call."""

import gc
import pickle
import platform
import sys
import weakref

import pytest

import _quellnor
from _quellnor import PrefixSearch

ON_PYPY = platform.python_implementation() == "PyPy"
cpython_only = pytest.mark.skipif(ON_PYPY, reason="PyPy lets cpyext types be subclassed, weakly referenced and given attributes")

# A two-node index: the root and the term "a".
TWO_NODES = bytes.fromhex(
    "020001" "020061" "0101" "02" "010501000105" "010501000105"
    "01000102030405060708090a0b0c0d0e0f" "020001"
)


@pytest.fixture
def index():
    return PrefixSearch.from_bytes(TWO_NODES)


def message(call):
    with pytest.raises(BaseException) as caught:
        call()
    return type(caught.value), str(caught.value)


def test_module_attributes():
    assert _quellnor.__all__ == ["PrefixSearch"]
    assert _quellnor.__doc__ == ""
    assert PrefixSearch.__module__ == "builtins"
    assert PrefixSearch.__name__ == PrefixSearch.__qualname__ == "PrefixSearch"
    assert PrefixSearch.__doc__ is None
    public = {name for name in vars(_quellnor) if not name.startswith("__")}
    # IndexCore, the base of quellnor.Index, and NativeBuilder, behind
    # quellnor.IndexBuilder, stand beside it, outside __all__.
    assert public == {"PrefixSearch", "IndexCore", "NativeBuilder"}


def test_second_initialisation_reuses_the_module():
    first = sys.modules.pop("_quellnor")
    try:
        import _quellnor as second
        assert second.PrefixSearch is first.PrefixSearch
        assert second.__all__ == ["PrefixSearch"]
        if not ON_PYPY:  # PyPy hands back its own copy of a reloaded module
            assert second is first
    finally:
        sys.modules["_quellnor"] = first


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {"x": 2})])
def test_the_class_cannot_be_called(args, kwargs):
    assert message(lambda: PrefixSearch(*args, **kwargs)) == (
        TypeError, "No constructor defined for PrefixSearch")


@cpython_only
def test_instances_are_closed(index):
    with pytest.raises(TypeError):
        class Derived(PrefixSearch):
            pass
    with pytest.raises(AttributeError):
        index.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(index)


def test_method_table_order_and_kinds(index):
    names = [name for name in vars(PrefixSearch) if not name.startswith("__")]
    assert names == ["from_internal_data_v2", "to_bytes", "from_bytes", "fuzzy_match", "fuzzy_match_video"]
    # Static constructors work from an instance and return an unrelated object.
    other = index.from_bytes(TWO_NODES)
    assert type(other) is PrefixSearch and other is not index
    assert other.to_bytes() == index.to_bytes()


@pytest.mark.skipif(ON_PYPY, reason="PyPy exposes no text signatures")
@pytest.mark.parametrize("name, signature", [
    ("from_internal_data_v2", "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)"),
    ("to_bytes", "($self)"),
    ("from_bytes", "(b)"),
    ("fuzzy_match", "(term, max_dist=1, limit=None)"),
    ("fuzzy_match_video", "(term, max_dist=1, limit=None, include_prefix_nodes=None)"),
])
def test_text_signatures(name, signature):
    method = vars(PrefixSearch)[name]
    method = getattr(method, "__func__", method)
    assert method.__text_signature__ == signature
    assert not method.__doc__


BINDING_ERRORS = [
    (lambda ps: ps.fuzzy_match(),
     "PrefixSearch.fuzzy_match() missing 1 required positional argument: 'term'"),
    (lambda ps: PrefixSearch.from_bytes(TWO_NODES, 1),
     "PrefixSearch.from_bytes() takes 1 positional arguments but 2 were given"),
    (lambda ps: PrefixSearch.from_bytes(),
     "PrefixSearch.from_bytes() missing 1 required positional argument: 'b'"),
    (lambda ps: ps.fuzzy_match_video("a", 1, None, None, 5),
     "PrefixSearch.fuzzy_match_video() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda ps: ps.fuzzy_match("a", 1, None, 4),
     "PrefixSearch.fuzzy_match() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda ps: PrefixSearch.from_internal_data_v2(*range(7)),
     "PrefixSearch.from_internal_data_v2() takes 6 positional arguments but 7 were given"),
    (lambda ps: ps.fuzzy_match("a", term="b"),
     "PrefixSearch.fuzzy_match() got multiple values for argument 'term'"),
    (lambda ps: ps.fuzzy_match(limit=1, term="a", maxdist=2),
     "PrefixSearch.fuzzy_match() got an unexpected keyword argument 'maxdist'"),
    (lambda ps: ps.fuzzy_match("a", maxdist=3),
     "PrefixSearch.fuzzy_match() got an unexpected keyword argument 'maxdist'"),
    # A name that UTF-8 cannot encode is still only an unknown name, shown as str(key).
    (lambda ps: ps.fuzzy_match("a", **{"\ud800": 1}),
     "PrefixSearch.fuzzy_match() got an unexpected keyword argument '\ud800'"),
    (lambda ps: PrefixSearch.from_internal_data_v2([], [], []),
     "PrefixSearch.from_internal_data_v2() missing 3 required positional arguments: "
     "'child_transitions', 'video_index', and 'video_top_n'"),
    (lambda ps: PrefixSearch.from_internal_data_v2([], [], [], []),
     "PrefixSearch.from_internal_data_v2() missing 2 required positional arguments: "
     "'video_index' and 'video_top_n'"),
    (lambda ps: PrefixSearch.from_internal_data_v2(video_top_n=0, payloads=[]),
     "PrefixSearch.from_internal_data_v2() missing 4 required positional arguments: "
     "'node_shifts', 'child_labels', 'child_transitions', and 'video_index'"),
    # Too many positional arguments are reported before an unknown keyword...
    (lambda ps: ps.fuzzy_match("a", 1, None, 4, bogus=1),
     "PrefixSearch.fuzzy_match() takes from 1 to 3 positional arguments but 4 were given"),
    # ...and an unknown keyword before a missing argument.
    (lambda ps: ps.fuzzy_match(bogus=1),
     "PrefixSearch.fuzzy_match() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("call, expected", BINDING_ERRORS)
def test_binding_messages(index, call, expected):
    assert message(lambda: call(index)) == (TypeError, expected)


def test_keywords_bind_like_positions():
    arrays = dict(node_shifts=[0, 1], child_labels=["", "a"], payloads=[None, (5, [0], [5])],
                  child_transitions=[1], video_index=[bytes(range(16))], video_top_n=10)
    by_keyword = PrefixSearch.from_internal_data_v2(**dict(reversed(arrays.items())))
    by_position = PrefixSearch.from_internal_data_v2(*arrays.values())
    assert by_keyword.to_bytes() == by_position.to_bytes()
    assert by_keyword.fuzzy_match(limit=None, max_dist=0, term="a") == [("a", 1, 0)]


def test_to_bytes_takes_no_arguments(index):
    with pytest.raises(TypeError):
        index.to_bytes(1)
    assert index.to_bytes() == TWO_NODES


def test_panic_exception_leaves_the_object_usable():
    # Labels but no node shifts: the walk faults on the root's range.
    broken = PrefixSearch.from_bytes(bytes.fromhex("00" "020061" "00" "00" "00" "00"))
    for _ in range(3):
        with pytest.raises(BaseException) as caught:
            broken.fuzzy_match("a")
        panic = caught.value
        assert type(panic).__name__ == "PanicException"
        assert not isinstance(panic, Exception)
        assert type(panic).__mro__[1] is BaseException
        assert str(panic) == "index out of bounds: the len is 0 but the index is 0"
    # The same type every time, and the object still answers what it can.
    assert broken.to_bytes() == bytes.fromhex("00" "020061" "00" "00" "00" "00")


def test_panic_exception_type_is_created_once():
    broken = PrefixSearch.from_bytes(bytes.fromhex("00" "020061" "00" "00" "00" "00"))
    kinds = set()
    for call in (lambda: broken.fuzzy_match("a"), lambda: broken.fuzzy_match_video("a")):
        with pytest.raises(BaseException) as caught:
            call()
        kinds.add(type(caught.value))
    assert len(kinds) == 1
    assert next(iter(kinds)).__module__ != "_quellnor"


def test_panic_exception_is_reached_through_its_runtime_module():
    from _quellnor_runtime import PanicException

    broken = PrefixSearch.from_bytes(bytes.fromhex("00" "020061" "00" "00" "00" "00"))
    with pytest.raises(PanicException) as caught:
        broken.fuzzy_match("a")
    assert type(caught.value) is PanicException
    # Pickled by name: the copy is of the same type, with the same message.
    copy = pickle.loads(pickle.dumps(caught.value))
    assert type(copy) is PanicException and copy.args == caught.value.args


def test_panic_from_python_code_is_reraised_as_a_fault(index, capfd):
    broken = PrefixSearch.from_bytes(bytes.fromhex("00" "020061" "00" "00" "00" "00"))
    with pytest.raises(BaseException) as caught:
        broken.fuzzy_match("a")
    panic_type = type(caught.value)

    class Sneaky:
        def __index__(self):
            raise panic_type("raised by a callback")

    with pytest.raises(panic_type) as again:
        index.fuzzy_match("a", limit=Sneaky())
    assert again.value is not caught.value
    assert str(again.value) == "raised by a callback"
    assert "PanicException" in capfd.readouterr().err
    assert index.fuzzy_match("a", 0) == [("a", 1, 0)]


def test_objects_are_released():
    if ON_PYPY:
        pytest.skip("reference counts are not observable on PyPy")
    data = bytes(TWO_NODES)
    before = sys.getrefcount(data)
    objects = [PrefixSearch.from_bytes(data) for _ in range(100)]
    for obj in objects:
        obj.fuzzy_match("a")
    del objects
    gc.collect()
    assert sys.getrefcount(data) == before
    assert sys.getrefcount(PrefixSearch) < 100


# pickle's own way to make an instance of a class without calling it.
RECONSTRUCTED = b"ccopyreg\n_reconstructor\n(c_quellnor\nPrefixSearch\nc__builtin__\nobject\nNtR."


@pytest.mark.parametrize("make", [lambda: object.__new__(PrefixSearch), lambda: pickle.loads(RECONSTRUCTED)],
                         ids=["object.__new__", "copyreg._reconstructor"])
def test_an_instance_made_without_a_constructor_is_refused(make):
    if not ON_PYPY:
        with pytest.raises(TypeError, match="is not safe"):
            make()
        return
    import quellnor  # noqa: F401  (registers the pickling that to_bytes serves)

    instance = make()
    calls = [instance.to_bytes, lambda: instance.fuzzy_match("a"), lambda: instance.fuzzy_match_video("a", 0),
             lambda: pickle.dumps(instance)]
    for call in calls:
        with pytest.raises(TypeError, match="holds no index"):
            call()
    del instance, calls
    gc.collect()  # deallocates what was never constructed
