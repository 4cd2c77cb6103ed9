"""The tail-cut walk against the plain one.

The nodes within one or two edits of a query long enough, every node and
not only term ends, are found in tries numbered breadth first by a walk of
the index that spends less than the threshold before a cut, and a climb from
the nodes whose paths end with the rest (src/search/tail_cut_walk.*). The
same trie numbered in pre-order is walked the plain way: suggestions, their
videos and fuzzy_match_video over every node must come out the same, with
and without swaps.
"""

import random
import struct
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from test_search import key
from test_index_file import first_of_id, sections
from test_split_walk import edited, preorder_copy, walk_labels
from trie_bytes import decode, encode

quellnor = pytest.importorskip("quellnor")

WORD_LIST = Path("/usr/share/dict/british-english-huge")


def plain_twin(built):
    """The same index numbered in pre-order, which only the plain walk serves."""
    return quellnor.Index._load(encode(preorder_copy(decode(built.to_bytes()))), built._extras())


def swapped(text, rng):
    """`text` with two neighbours swapped somewhere, now and then."""
    if len(text) < 2 or rng.random() < 0.5:
        return text
    at = rng.randrange(len(text) - 1)
    return text[:at] + text[at + 1] + text[at] + text[at + 2:]


def assert_same_reach(built, plain, query):
    for max_dist in (1, 2):
        for transpositions in (True, False):
            assert built.suggest(query, 8, max_dist=max_dist, transpositions=transpositions) == \
                plain.suggest(query, 8, max_dist=max_dist, transpositions=transpositions), (query, max_dist)
            assert built.suggest_videos(query, 5, max_dist=max_dist, transpositions=transpositions) == \
                plain.suggest_videos(query, 5, max_dist=max_dist, transpositions=transpositions), (query, max_dist)
        assert built.fuzzy_match_video(query, max_dist, None, True) == \
            plain.fuzzy_match_video(query, max_dist, None, True), (query, max_dist)


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.text(alphabet="abcé", min_size=1, max_size=6), min_size=1, max_size=30),
       st.lists(st.text(alphabet="abx", max_size=4), min_size=1, max_size=4),
       st.randoms(use_true_random=False))
def test_the_tail_cut_walk_reaches_what_the_plain_walk_reaches(stems, endings, rng):
    # Stems and endings crossed: many terms share a tail, so that a cut
    # leaves many nodes ending with it and must move left.
    terms = sorted({stem + end for stem in stems for end in endings})
    built = quellnor.build_index([(t, key(i % 4), 1 + i % 3) for i, t in enumerate(terms)], fold=False)
    plain = plain_twin(built)
    for term in rng.sample(terms, min(len(terms), 4)):
        assert_same_reach(built, plain, swapped(edited(term, rng, rng.randrange(4)), rng))


@pytest.fixture(scope="module")
def word_list_twins():
    if not WORD_LIST.exists():
        pytest.skip(f"{WORD_LIST} is not installed")
    words = sorted(set(WORD_LIST.read_text(encoding="utf-8").split("\n")) - {""})[::3]
    built = quellnor.build_index([(w, key(i % 5), 1 + i % 4) for i, w in enumerate(words)], fold=False)
    return words, built, plain_twin(built)


def test_the_tail_cut_walk_on_the_word_list(word_list_twins):
    # Possessives and common endings leave hundreds of nodes ending with a
    # short tail: the cut moves left, or the plain walk serves.
    words, built, plain = word_list_twins
    rng = random.Random(23)
    for word in rng.sample(words, 120):
        assert_same_reach(built, plain, swapped(edited(word, rng, rng.randrange(3)), rng))


def test_threads_that_ask_first_at_once_share_one_tail_index():
    # The tail index is derived by the first walk that needs it, while the
    # others wait: every thread of a fresh index gets the answers of one.
    from test_threads import run_threads

    rng = random.Random(7)
    terms = sorted({"".join(rng.choice("abcdé") for _ in range(rng.randint(3, 12))) for _ in range(3000)})
    rows = [(t, key(i % 5), 1 + i % 3) for i, t in enumerate(terms)]
    queries = [swapped(edited(rng.choice(terms), rng, 2), rng) for _ in range(40)]
    queries = [q for q in queries if len(q) >= 6]
    want = [quellnor.build_index(rows, fold=False).suggest_videos(q, 5, max_dist=2) for q in queries]
    fresh = quellnor.build_index(rows, fold=False)
    got = {}

    def ask(i):
        got[i] = [fresh.suggest_videos(q, 5, max_dist=2) for q in queries[i % 3:] + queries[:i % 3]]

    run_threads(ask)
    for i, answers in got.items():
        assert answers == want[i % 3:] + want[:i % 3]


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.text(alphabet="ab\u00e9\U0001f600", max_size=5), min_size=1, max_size=20),
       st.lists(st.text(alphabet="ab\u4e2d", max_size=8), min_size=1, max_size=4))
def test_the_tail_order_sorts_every_node_by_its_path_backwards(stems, endings):
    # Endings longer than a sort key's labels take the sort through several
    # rounds; letters beyond the Basic Multilingual Plane take its codes'
    # other branch.
    terms = sorted({stem + end + "ab" * 12 for stem in stems for end in endings})
    built = quellnor.build_index([(t, key(0), 1) for t in terms], fold=False)
    data = built._file_bytes()
    _, _, offset, count = sections(data)[first_of_id(data, 41)]
    order = list(struct.unpack_from(f"<{count}I", data, offset))
    paths = walk_labels(decode(built.to_bytes()))
    assert order == sorted(range(1, len(paths)), key=lambda node: (paths[node][::-1], node))
