"""quellnor.Index as a Python object: the container protocol, equality,
pickling, its constructors, what it folds, and what it refuses."""

import pickle
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from trie_bytes import Index as Arrays, Payload, encode

quellnor = pytest.importorskip("quellnor")
_quellnor = pytest.importorskip("_quellnor")
Index = quellnor.Index
A, B, C = (uuid.UUID(int=i + 1) for i in range(3))
ROWS = [("London", A, 5), ("london", B, 2), ("Londoner", C, 1), ("Ardèche", A, 4), ("ardeche", B, 1),
        ("café", C, 3), ("naïve", A, 1)]


@pytest.fixture(scope="module")
def index():
    return quellnor.build_index(ROWS)


def test_terms_merge_when_they_fold_alike_and_show_their_commonest_spelling(index):
    assert list(index) == ["Ardèche", "café", "London", "Londoner", "naïve"]
    assert len(index) == 5 and index.folded
    assert [(t, index.weight(t)) for t in ("LONDON", "ardeche", "Cafe\u0301", "londoners")] == [
        ("LONDON", 7), ("ardeche", 5), ("Cafe\u0301", 3), ("londoners", 0)]
    assert "NAIVE" in index and "naive" in index and "naiv" not in index and "" not in index
    assert 3 not in index and "\ud800" not in index and index.weight("\ud800") == 0
    with pytest.raises(TypeError, match="must be str, not bytes"):
        index.weight(b"london")


def test_ties_between_spellings_go_to_the_first_added():
    built = quellnor.build_index([("Paris", A, 2), ("PARIS", B, 2), ("paris", C, 1)])
    assert built.suggest("par") == [("Paris", 0, 5)]


def test_an_unfolded_index_keeps_terms_as_given():
    built = quellnor.build_index(ROWS, fold=False)
    assert not built.folded and len(built) == len(ROWS)
    assert built.suggest("lon", max_dist=0) == [("london", 0, 2)]
    assert built.suggest("Lon", max_dist=0) == [("London", 0, 5), ("Londoner", 0, 1)]
    assert "LONDON" not in built and built.fuzzy_match("LONDON", 0) == []


def test_the_five_calls_fold_their_text_and_answer_with_stored_terms(index):
    prefix_search = index.prefix_search()
    assert type(prefix_search) is quellnor.PrefixSearch
    assert index.fuzzy_match("LONDN", 1) == prefix_search.fuzzy_match("londn", 1) == [("london", 1, 1)]
    assert index.fuzzy_match_video("ARDÈCHE", 0) == prefix_search.fuzzy_match_video("ardeche", 0)
    assert index.to_bytes() == prefix_search.to_bytes()


def test_bytes_carry_the_trie_but_not_the_folding(index):
    loaded = Index.from_bytes(index.to_bytes())
    assert type(loaded) is Index and not loaded.folded
    assert list(loaded) == ["ardeche", "cafe", "london", "londoner", "naive"]
    assert [w for _, _, w in loaded.suggest("")] == [w for _, _, w in index.suggest("")]
    assert loaded != index and loaded == Index.from_bytes(index.to_bytes())
    assert "London" not in loaded and "london" in loaded


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_keeps_everything(index, protocol):
    again = pickle.loads(pickle.dumps(index, protocol=protocol))
    assert again == index and hash(again) == hash(index) and again is not index
    assert again.suggest("lon") == index.suggest("lon") and again.folded


def test_a_subclass_is_made_by_its_own_constructors_and_pickles_as_itself(index):
    class Mine(Index):
        pass

    made = Mine.from_bytes(index.to_bytes())
    assert type(made) is Mine and type(pickle.loads(pickle.dumps(index))) is Index
    assert type(Mine._load(index.to_bytes(), index._extras())) is Mine
    globals()["Mine"] = Mine  # where pickle looks for it
    Mine.__qualname__ = "Mine"
    try:
        assert type(pickle.loads(pickle.dumps(made))) is Mine
    finally:
        del globals()["Mine"]


def test_repr_and_equality(index):
    assert repr(index) == "<quellnor.Index: 5 terms, 25 nodes, 3 videos, folded>"
    assert index == index and index != index.prefix_search() and index != 1
    assert quellnor.build_index(ROWS) == index != quellnor.build_index(ROWS, video_top_n=1)


def test_weights_that_saturated_survive_pickling():
    """A saturated total hides the term's own count from the byte form; the
    extras carry it."""
    built = quellnor.build_index([("ab", A, 2**32 - 1), ("abc", B, 2**32 - 1)])
    assert built.suggest("ab") == [("ab", 0, 2**32 - 1), ("abc", 0, 2**32 - 1)]
    assert Index.from_bytes(built.to_bytes()).weight("ab") == 0
    assert pickle.loads(pickle.dumps(built)).weight("ab") == 2**32 - 1


@settings(max_examples=50, deadline=None)
@given(st.lists(st.tuples(st.text("aAbé", min_size=1, max_size=4), st.sampled_from([A, B]),
                          st.integers(0, 9)), max_size=12), st.booleans())
def test_iteration_len_and_weights_agree_with_suggest(rows, fold):
    built = quellnor.build_index(rows, fold=fold)
    everything = built.suggest("", 10**9)
    assert sorted(everything, key=lambda r: quellnor.fold(r[0]) if fold else r[0]) == [
        (t, 0, built.weight(t)) for t in built]
    assert len(built) == len(everything) == len(set(built))
    assert all(t in built for t in built)


@pytest.mark.parametrize("call, error, message", [
    (lambda ix: ix.suggest(b"x"), TypeError, "argument 'text': must be str, not bytes"),
    (lambda ix: ix.suggest("x", -1), ValueError, "argument 'k': must not be negative, not -1"),
    (lambda ix: ix.suggest("x", True), TypeError, "argument 'k': must be an int, not bool"),
    (lambda ix: ix.suggest("x", 1.5), TypeError, "'float' object cannot be interpreted as an integer"),
    (lambda ix: ix.suggest_videos("x", max_dist=-2), ValueError,
     "argument 'max_dist': must not be negative, not -2"),
    (lambda ix: ix.suggest_videos("x", max_dist="1"), TypeError, "argument 'max_dist'"),
    (lambda ix: ix.suggest("x", transpositions=1), TypeError, "argument 'transpositions'"),
    (lambda ix: _quellnor.IndexCore.suggest(ix, "x", 1, 2), TypeError,
     "Index.suggest() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda ix: _quellnor.IndexCore.suggest_videos(ix, "x", k2=1), TypeError,
     "Index.suggest_videos() got an unexpected keyword argument 'k2'"),
    (lambda ix: Index(), TypeError, "No constructor defined for Index"),
    (lambda ix: Index._load(ix.to_bytes(), b"QXT\x01\x04\x00\x00"), ValueError, "extras: unknown flags 4"),
    (lambda ix: Index._load(ix.to_bytes(), b"QXT\x02"), ValueError, "extras: not the extras of an index"),
    (lambda ix: Index._load(ix.to_bytes(), ix._extras() + b"\x00"), ValueError, "bytes follow"),
    (lambda ix: Index._load(ix.to_bytes(), b"QXT\x01\x00\x01\x09\x05\x00"), ValueError,
     "extras: a weight for node 9, where no term ends"),
    (lambda ix: Index._assemble([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [b"v" * 16], 5, True, {"a": ""}),
     ValueError, "the display spelling of node 1 is not a non-empty UTF-8 text"),
    (lambda ix: Index._assemble([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [b"v" * 16], 5, True, {"b": "B"}),
     ValueError, "a display spelling for a term that is not in the index"),
    (lambda ix: Index._load(ix.to_bytes(), b"QXT\x01\x00\x00\x01\xfb\x05\x00\x01a"), ValueError,
     "not in its shortest form"),
    (lambda ix: Index._load(ix.to_bytes(), b"QXT\x01\x00\xfd" + b"\xff" * 8), ValueError,
     "more weights than the bytes hold"),
])
def test_bad_arguments_raise_clear_errors(index, call, error, message):
    with pytest.raises(error) as caught:
        call(index)
    assert message in str(caught.value)
    assert index.suggest("lon", 1) == [("London", 0, 7)]  # and the index still answers


@pytest.mark.parametrize("k, max_dist, found", [(2**64, 1, 5), (10**30, 10**30, 5), (3, 2**32 + 5, 3)])
def test_huge_numbers_cost_nothing_extra(index, k, max_dist, found):
    assert len(index.suggest("x", k, max_dist=max_dist)) == found
    assert len(index.suggest_videos("lon", k, max_dist=max_dist)) == min(k, 3)


def shared_subtree():
    """Two paths into node 3: the walks meet it twice."""
    return Arrays(node_shifts=[0, 2, 3, 3], child_labels=["\0", "a", "b", "c"],
                  child_transitions=[1, 2, 3, 3], payloads=[None, None, None, Payload(1, [0], [1])],
                  video_index=[b"\x01" * 16], is_terminal=[False, False, False, True])


def test_a_trie_that_is_not_a_tree_loads_and_says_so_when_asked_for_terms():
    loaded = Index.from_bytes(encode(shared_subtree()))
    assert loaded.fuzzy_match("ac", 0) == [("ac", 1, 0)]
    assert loaded.suggest_videos("ac", max_dist=0) == [("01010101-0101-0101-0101-010101010101", 1.0)]
    for call in (lambda: loaded.suggest("a"), lambda: list(loaded), lambda: "ac" in loaded):
        with pytest.raises(quellnor.PanicException, match="not a tree"):
            call()
    assert "terms" in repr(loaded)


def test_threads_share_one_index(index):
    """Calls hold the index only for reading: from many threads at once they
    answer as they do one at a time."""
    from concurrent.futures import ThreadPoolExecutor

    texts = ["", "l", "lon", "lodnon", "ARDECH", "caf", "zz", "naïv"] * 25
    alone = [(index.suggest(t), index.suggest_videos(t, 3)) for t in texts]
    with ThreadPoolExecutor(max_workers=8) as pool:
        together = list(pool.map(lambda t: (index.suggest(t), index.suggest_videos(t, 3)), texts))
    assert together == alone
