"""IndexBuilder and build_index: the trie they lay out, the payloads, bad rows."""

import os
import time
import uuid

import pytest
from hypothesis import given
from hypothesis import strategies as st

from trie_bytes import decode

quellnor = pytest.importorskip("quellnor")
IndexBuilder = quellnor.IndexBuilder
build_index = quellnor.build_index

MAX = 2**32 - 1
A, B, C, D = (uuid.UUID(int=i + 1) for i in range(4))
WORDS = "/usr/share/dict/british-english-huge"


def levenshtein(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ca != cb))
    return row[-1]


def paths_of(index):
    """{path from the root: node} for every node reachable from the root."""
    found = {}
    stack = [(0, "")]
    n = len(index.node_shifts)
    while stack:
        node, path = stack.pop()
        assert path not in found
        found[path] = node
        end = index.node_shifts[node + 1] if node + 1 < n else len(index.child_transitions)
        for child in index.child_transitions[index.node_shifts[node]:end]:
            stack.append((child, path + index.child_labels[child]))
    return found


def terms_of(index):
    """{term: node} for every root-to-terminal path."""
    return {path: node for path, node in paths_of(index).items() if index.is_terminal[node]}


def build_terms(terms, video=A):
    """The terms as given: these tests are about the layout, not folding."""
    builder = IndexBuilder(fold=False)
    for t in terms:
        builder.add(t, video)
    return builder.build()


# A mix of ASCII, accented, CJK and astral characters, so that code points
# (not bytes or UTF-16 units) are what the trie is made of; some terms share
# long beginnings, as the builder measures what neighbours share in steps.
def _joined(parts):
    return parts[0] + parts[1]


term_sets = st.sets(
    st.tuples(st.sampled_from(["", "", "abcé中😀" * 3, "abcé中😀" * 3 + "b" * 17]),
              st.text(alphabet="abcé中😀", min_size=1, max_size=6)).map(_joined),
    max_size=25)


@given(terms=term_sets)
def test_layout_is_breadth_first_and_spells_every_term(terms):
    index = decode(build_terms(terms).to_bytes())
    # The nodes are the distinct prefixes, numbered by (length, text): breadth
    # first with children in label order.
    prefixes = sorted({t[:k] for t in terms for k in range(1, len(t) + 1)}, key=lambda p: (len(p), p))
    assert paths_of(index) == {"": 0, **{p: i for i, p in enumerate(prefixes, 1)}}
    assert index.child_labels == ["\0"] + [p[-1] for p in prefixes]
    assert index.child_transitions == list(range(1, len(prefixes) + 1))
    assert set(terms_of(index)) == terms
    assert sum(index.is_terminal) == len(terms)


@given(terms=term_sets, query=st.text(alphabet="abcé中😀x", max_size=5), max_dist=st.integers(0, 2))
def test_fuzzy_match_finds_every_term_within_reach_in_sorted_order(terms, query, max_dist):
    ps = build_terms(terms)
    # Children are laid out in label order, so depth-first order is sorted order.
    expected = [(t, 1, levenshtein(t, query)) for t in sorted(terms) if levenshtein(t, query) <= max_dist]
    assert ps.fuzzy_match(query, max_dist) == expected


def payload_of(ps, term):
    index = decode(ps.to_bytes())
    return index.payloads[terms_of(index)[term]], index.video_index


def test_payload_sums_counts_and_ranks_videos():
    b = IndexBuilder()
    b.add("cat", A, 5)
    b.add("cat", B, 7)
    b.add("cat", A, 3)  # A: 8 beats B: 7
    b.add("cat", C)  # count 1 by default
    payload, keys = payload_of(b.build(), "cat")
    assert [keys[v] for v in payload.video_ids] == [A.bytes, B.bytes, C.bytes]
    assert payload.video_counts == [8, 7, 1]
    assert payload.total_count == 16


def test_equal_counts_keep_first_insertion_order():
    b = IndexBuilder()
    for video in (C, A, D, B):
        b.add("dog", video, 2)
    b.add("dog", D, 1)  # D: 3 leads; C, A, B tie at 2 in insertion order
    payload, keys = payload_of(b.build(), "dog")
    assert [keys[v] for v in payload.video_ids] == [D.bytes, C.bytes, A.bytes, B.bytes]


@pytest.mark.parametrize(
    "rows, counts, total",
    [
        ([(A, MAX), (A, 5)], [MAX], MAX),  # one video saturates
        ([(A, MAX - 1), (B, 2)], [MAX - 1, 2], MAX),  # the total saturates
        ([(A, 2**40)], [MAX], MAX),  # a huge count saturates at once
        ([(A, 0)], [0], 0),  # a zero count still records the term
    ],
)
def test_counts_and_totals_saturate(rows, counts, total):
    b = IndexBuilder()
    for video, count in rows:
        b.add("x", video, count)
    payload, _ = payload_of(b.build(), "x")
    assert payload.video_counts == counts
    assert payload.total_count == total


def test_top_n_keeps_the_best_videos_of_a_term():
    b = IndexBuilder()
    for video, count in ((A, 1), (B, 9), (C, 5), (D, 7)):
        b.add("leaf", video, count)
    payload, keys = payload_of(b.build(video_top_n=2), "leaf")
    assert [keys[v] for v in payload.video_ids] == [B.bytes, D.bytes]
    assert payload.total_count == 22  # the total still counts the cut videos


def test_videos_are_numbered_in_first_seen_order():
    b = IndexBuilder()
    for term, video in (("b", C), ("a", A), ("b", A), ("c", B)):
        b.add(term, video)
    assert decode(b.build().to_bytes()).video_index == [C.bytes, A.bytes, B.bytes]
    assert (len(b), b.video_count) == (3, 3)


@pytest.mark.parametrize(
    "video",
    [A, str(A), str(A).upper(), A.bytes, bytearray(A.bytes)],
    ids=["uuid", "str", "upper", "bytes", "bytearray"],
)
def test_every_video_key_form_gives_the_same_key(video):
    ps = build_index([("tea", video, 3)])
    assert ps.fuzzy_match_video("tea") == [(str(A), 1.0)]


class LyingStr(str):
    """Holds its characters, but its conversions and hash say otherwise."""

    def __str__(self):
        return 5

    def __hash__(self):
        return 0

    def __eq__(self, other):
        return True


class LyingInt(int):
    def __index__(self):
        return -3

    def __int__(self):
        return -4


class LyingBytes(bytes):
    def __bytes__(self):
        return b"x" * 16


class Integral:
    """An integer type that is not an int (as numpy's are)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def claiming(kind, **methods):
    """An object that claims, through __class__, to be a `kind`."""
    attributes = {"__class__": property(lambda self: kind), "__repr__": lambda self: f"<claims {kind.__name__}>"}
    return type("Claims", (), {**attributes, **methods})()


def ids(value):
    """pytest's own ids are fooled by a claimed __class__ too."""
    return "claims" if type(value).__name__ == "Claims" else None


def uuid_whose_bytes(make):
    class OddUUID(uuid.UUID):
        bytes = property(lambda self: make())

    return OddUUID(int=A.int)


@pytest.mark.parametrize(
    "term, video, count",
    [
        (LyingStr("tea"), A, 5),
        ("tea", LyingStr(str(A)), 5),
        ("tea", LyingBytes(A.bytes), 5),
        ("tea", A, LyingInt(5)),
        ("tea", A, Integral(5)),
    ],
)
def test_what_a_subclass_holds_is_stored_not_what_it_says(term, video, count):
    b = IndexBuilder()
    b.add(term, video, count)
    b.add("tea", A, 1)  # plain values: the same term and video
    assert (len(b), b.video_count) == (1, 1)
    payload, keys = payload_of(b.build(), "tea")
    assert (keys, payload.video_counts) == ([A.bytes], [6])


@pytest.mark.parametrize(
    "term, video, count",
    [
        (claiming(str), A, 1),
        ("tea", claiming(str), 1),
        ("tea", claiming(bytes), 1),
        ("tea", claiming(uuid.UUID), 1),
        ("tea", uuid_whose_bytes(lambda: A.bytes[:15]), 1),
        ("tea", uuid_whose_bytes(lambda: bytearray(A.bytes)), 1),
        ("tea", uuid_whose_bytes(lambda: 1 / 0), 1),
        ("tea", A, claiming(int)),
        ("tea", A, Integral("3")),
        ("tea", A, Integral(-1)),
        ("tea", A, LyingInt(-5)),
        ("", A, 1),
        (None, A, 1),
        (b"tea", A, 1),
        ("te\0a", A, 1),
        ("te\ud800a", A, 1),
        ("tea", "not-a-uuid", 1),
        ("tea", str(A).replace("-", ""), 1),  # 32 digits without hyphens
        ("tea", "{" + str(A)[1:-1] + "}", 1),
        ("tea", str(A)[:-1] + "g", 1),
        ("tea", str(A)[:8] + " " + str(A)[9:], 1),
        ("tea", A.bytes[:15], 1),
        ("tea", A.bytes + b"\0", 1),
        ("tea", A.int, 1),
        ("tea", None, 1),
        ("tea", A, -1),
        ("tea", A, 1.5),
        ("tea", A, float("nan")),
        ("tea", A, -2.0),
        ("tea", "a-str-id", 1),  # the builder's videos are UUIDs
        ("tea", A, True),
        ("tea", A, "3"),
        ("tea", A, None),
    ],
    ids=ids,
)
def test_bad_rows_are_refused_and_change_nothing(term, video, count):
    b = IndexBuilder()
    b.add("tee", B, 4)
    before = b.build().to_bytes()
    with pytest.raises(ValueError) as info:
        b.add(term, video, count)
    assert repr(term) in str(info.value)  # the message names the row
    assert b.build().to_bytes() == before
    assert (len(b), b.video_count) == (1, 1)


@pytest.mark.parametrize(
    "rows, position",
    [
        ([("a", A, 1), ("b", A, 1), ("", A, 1)], 2),
        ([("a", A, 1), ("b", A)], 1),  # not a triple
        ([("a", A, 1), 7], 1),
        ([("a", A, 1), claiming(tuple, __iter__=lambda self: 1 / 0)], 1),
        ([("a", A, -1)], 0),
    ],
    ids=ids,
)
def test_build_index_names_the_bad_row(rows, position):
    with pytest.raises(ValueError, match=rf"^row {position}\b"):
        build_index(iter(rows))


@pytest.mark.parametrize("top_n, error", [(-1, ValueError), (2**64, ValueError), (True, TypeError), (1.0, TypeError)])
def test_build_refuses_bad_video_top_n(top_n, error):
    with pytest.raises(error):
        build_index([("a", A, 1)], video_top_n=top_n)


def test_empty_builder_gives_a_root_only_index():
    ps = IndexBuilder().build()
    index = decode(ps.to_bytes())
    assert (index.node_shifts, index.child_labels, index.child_transitions) == ([0], ["\0"], [])
    assert ps.fuzzy_match("a", 3) == [] and ps.fuzzy_match_video("a") == []


def test_builder_can_be_extended_after_a_build():
    b = IndexBuilder()
    b.add("cat", A, 2)
    first = b.build()
    b.add("cat", B, 6)
    b.add("car", A, 1)
    assert first.fuzzy_match("ca", 1) == [("cat", 1, 1)]
    second = b.build()
    assert second.fuzzy_match("ca", 1) == [("car", 1, 1), ("cat", 1, 1)]
    assert [k for k, _ in second.fuzzy_match_video("cat", 0)] == [str(B), str(A)]


@pytest.mark.skipif(not os.path.exists(WORDS), reason=f"{WORDS} is not installed (Debian: wbritish-huge)")
def test_the_huge_word_list_builds_in_seconds():
    with open(WORDS, encoding="utf-8") as f:
        words = [w for w in f.read().split("\n") if w]
    videos = [uuid.UUID(int=i) for i in range(1, 1001)]
    started = time.perf_counter()
    builder = IndexBuilder()
    for i, word in enumerate(words):
        builder.add(word, videos[i % 1000], 1 + i % 7)
        builder.add(word, videos[(i * 7) % 1000], 2)
    ps = builder.build()
    seconds = time.perf_counter() - started
    # Typically a few seconds; a quadratic slip would take minutes.
    assert seconds < 90, f"building {len(words)} terms took {seconds:.0f} s"
    assert len(builder) == len(set(map(quellnor.fold, words)))
    assert ps.fuzzy_match("colour", 0) == [("colour", 1, 0)]
    assert ("colour", 1, 1) in ps.fuzzy_match("colur", 1)


def test_a_long_term_builds_in_time_linear_in_its_length():
    # 256,000 characters took half a minute when every depth sliced a prefix;
    # now well under a second.
    started = time.perf_counter()
    ps = build_index([("ab" * 128_000, A, 1), ("ab" * 100_000 + "c", B, 1)])
    seconds = time.perf_counter() - started
    assert seconds < 10, f"building two long terms took {seconds:.0f} s"
    assert ps.fuzzy_match("ab", 0) == [] and ps.fuzzy_match_video("ab", 0) == [(str(A), 0.5), (str(B), 0.5)]


@pytest.mark.parametrize("term", ["\u0301", "\u0300\u0301"])
def test_a_term_that_folds_to_nothing_is_a_bad_row_and_changes_nothing(term):
    builder = IndexBuilder()
    builder.add("kept", A, 2)
    with pytest.raises(ValueError, match="the term folds to an empty text"):
        builder.add(term, B, 1)
    assert len(builder) == 1 and builder.video_count == 1
    assert IndexBuilder(fold=False).add(term, B, 1) is None  # as given, it is a term


def test_fold_must_be_a_bool():
    with pytest.raises(TypeError, match="fold must be a bool, not int"):
        IndexBuilder(fold=1)


def test_spellings_count_every_row_and_video_of_the_term():
    """The shown spelling is the one whose rows add up highest over all
    videos, also when the term was first added in another spelling."""
    builder = IndexBuilder()
    builder.add("colour", A, 5)
    builder.add("Colour", B, 3)
    builder.add("Colour", C, 3)
    builder.add("COLOUR", A, 4)
    assert builder.build().suggest("col") == [("Colour", 0, 15)]
    builder.add("colour", D, 2)
    assert builder.build().suggest("col") == [("colour", 0, 17)]
