"""The split walk against the plain one.

Terms within one or two edits of a query long enough are found, in tries
numbered breadth first, by a walk of the index and a walk of
its reversed terms (src/search/split_walk.*). The same trie numbered in
pre-order is walked the plain way, depth first: both must give the same
terms, distances and order, with or without a limit, and the same ranking.
"""

import random
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from test_index_file import sections
from test_search import children_of, key, load, model_terms, model_video
from trie_bytes import Index, Payload, decode, encode

quellnor = pytest.importorskip("quellnor")

WORD_LIST = Path("/usr/share/dict/british-english-huge")
ALPHABET = "abé😀"


@st.composite
def term_tries(draw):
    """Tries of distinct terms numbered breadth first, each node's children
    by label as a builder lays them out, or in an order of the draw's
    choosing, with a payload at every term end."""
    terms = draw(st.sets(st.text(alphabet=ALPHABET, min_size=1, max_size=10), max_size=24))
    by_label = draw(st.booleans())
    root = {}
    for term in sorted(terms):
        node = root
        for ch in term:
            node = node.setdefault(ch, {})
        node[None] = True
    ids = list(range(4))
    order, shifts, labels, ends, slots = [("", root)], [], [], [], 0
    for label, node in order:  # grows as it goes: a breadth-first queue
        kids = sorted(k for k in node if k is not None)
        if not by_label:
            kids = draw(st.permutations(kids))
        shifts.append(slots)
        labels.append(label or "\0")
        ends.append(None in node)
        slots += len(kids)
        order.extend((k, node[k]) for k in kids)
    payloads = [Payload(draw(st.integers(1, 9)), [draw(st.sampled_from(ids))], [1]) if end else None
                for end in ends]
    return Index(node_shifts=shifts, child_labels=labels, child_transitions=list(range(1, len(labels))),
                 payloads=payloads, video_index=[key(v) for v in ids], is_terminal=ends)


def preorder_copy(ix):
    """The same trie numbered in pre-order: slots no longer hold the next
    node, so every walk of it is the plain depth-first one."""
    order, stack = [], [0]
    while stack:
        node = stack.pop()
        order.append(node)
        stack.extend(reversed(children_of(ix, node)))
    number = {old: new for new, old in enumerate(order)}
    shifts, transitions = [], []
    for old in order:
        shifts.append(len(transitions))
        transitions.extend(number[c] for c in children_of(ix, old))
    return Index(node_shifts=shifts, child_labels=[ix.child_labels[v] for v in order],
                 child_transitions=transitions, payloads=[ix.payloads[v] for v in order],
                 video_index=list(ix.video_index), is_terminal=[ix.is_terminal[v] for v in order])


def edited(term, rng, edits):
    """`term` with `edits` random insertions, deletions, substitutions."""
    chars = list(term)
    for _ in range(edits):
        at = rng.randrange(len(chars) + 1)
        kind = rng.randrange(3)
        if kind == 0 or not chars or at == len(chars):
            chars.insert(at, rng.choice(ALPHABET + "x"))
        elif kind == 1:
            del chars[at]
        else:
            chars[at] = rng.choice(ALPHABET + "x")
    return "".join(chars)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(term_tries(), st.text(alphabet=ALPHABET + "x", max_size=12), st.randoms(use_true_random=False),
       st.integers(0, 3), st.one_of(st.none(), st.integers(0, 5)), st.sampled_from([None, True, False]))
def test_split_walk_answers_as_the_plain_walk(ix, text, rng, max_dist, limit, include):
    terms = [p for p, end in zip(walk_labels(ix), ix.is_terminal) if end]
    query = edited(rng.choice(terms), rng, rng.randrange(4)) if terms and rng.random() < 0.7 else text
    split, plain = load(ix), load(preorder_copy(ix))
    want = model_terms(ix, query, max_dist)
    assert split.fuzzy_match(query, max_dist) == want == plain.fuzzy_match(query, max_dist)
    assert split.fuzzy_match(query, max_dist, limit) == plain.fuzzy_match(query, max_dist, limit)
    assert split.fuzzy_match_video(query, max_dist, limit, include) == \
        plain.fuzzy_match_video(query, max_dist, limit, include) == \
        model_video(ix, query, max_dist, limit, include)


def walk_labels(ix):
    """Each node's path from the root, by node number."""
    paths = [""] * len(ix.child_labels)
    for node in range(len(ix.child_labels)):
        for child in children_of(ix, node):
            paths[child] = paths[node] + ix.child_labels[child]
    return paths


@pytest.fixture(scope="module")
def word_list_pair():
    if not WORD_LIST.exists():
        pytest.skip(f"{WORD_LIST} is not installed")
    from tries import breadth_first

    words = sorted(set(WORD_LIST.read_text(encoding="utf-8").split("\n")) - {""})[::40]
    shifts, labels, payloads, transitions = breadth_first(words, lambda node: Payload(1, [0], [1]))
    ix = Index(node_shifts=shifts, child_labels=[label or "\0" for label in labels],
               child_transitions=transitions, payloads=payloads, video_index=[key(0)],
               is_terminal=[p is not None for p in payloads])
    return words, load(ix), load(preorder_copy(ix))


@pytest.mark.parametrize("max_dist", [1, 2, 3])
def test_split_walk_on_the_word_list(word_list_pair, max_dist):
    words, split, plain = word_list_pair
    rng = random.Random(max_dist)
    for word in rng.sample(words, 150):
        query = edited(word, rng, rng.randrange(max_dist + 2))
        want = plain.fuzzy_match(query, max_dist)
        assert split.fuzzy_match(query, max_dist) == want, query
        assert split.fuzzy_match(query, max_dist, 3) == want[:3], query
        assert split.fuzzy_match_video(query, max_dist) == plain.fuzzy_match_video(query, max_dist), query


def test_the_word_list_gets_its_derived_arrays(word_list_pair):
    # A derivation that went wrong leaves the plain walk to answer, rightly
    # but slowly: only the file says whether the reversed terms and the tail
    # index were derived.
    words = word_list_pair[0]
    built = quellnor.build_index(((word, key(0), 1) for word in words), fold=False)
    assert set(range(33, 43)) <= {section[0] for section in sections(built._file_bytes())}


@pytest.mark.parametrize("max_dist", [1, 2])
def test_limited_split_walk_on_the_whole_word_list(max_dist):
    """A limit lets the plain walk try first, within an allowance that a
    small trie never exhausts: on the whole list, the limited walks that go
    on to the split walk must give the first hits of the unlimited one, as
    must those whose hits so far earn the plain walk more slots (the
    possessive, whose hits come in bursts)."""
    if not WORD_LIST.exists():
        pytest.skip(f"{WORD_LIST} is not installed")

    words = sorted(set(WORD_LIST.read_text(encoding="utf-8").split("\n")) - {""})
    index = quellnor.build_index((word, 1, 1) for word in words)
    rng = random.Random(max_dist)
    for query in ["Marlin's"] + [edited(word, rng, rng.randrange(max_dist + 2)) for word in rng.sample(words, 200)]:
        want = index.fuzzy_match(query, max_dist)
        for limit in (1, 5, 32, 60, 200):
            assert index.fuzzy_match(query, max_dist, limit) == want[:limit], (query, limit)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.text(alphabet=ALPHABET, min_size=1, max_size=7), min_size=1, max_size=60),
       st.text(alphabet=ALPHABET + "x", max_size=6), st.integers(1, 12), st.one_of(st.none(), st.integers(0, 2)))
def test_suggestions_of_a_built_trie_and_of_its_preorder_copy_agree(terms, text, k, max_dist):
    # A builder's trie orders its suggestions from subtree sizes; the same
    # trie numbered otherwise, by a walk in pre-order: the same suggestions.
    built = quellnor.build_index([(t, key(i % 4), 1 + i % 2) for i, t in enumerate(terms)], fold=False)
    copy = quellnor.Index._load(encode(preorder_copy(decode(built.to_bytes()))), built._extras())
    assert copy.suggest(text, k, max_dist=max_dist) == built.suggest(text, k, max_dist=max_dist)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.text(alphabet="abcd", min_size=2, max_size=6), min_size=1, max_size=80),
       st.text(alphabet="abcd", max_size=3), st.randoms(use_true_random=False),
       st.one_of(st.none(), st.integers(1, 4)))
def test_every_cut_of_a_query_at_one_edit_finds_the_same_terms(stems, suffix, rng, limit):
    # Terms that share a tail and a head, as possessives do, make one side
    # of the middle far bushier than the other, so that the walk cuts the
    # query elsewhere.
    terms = sorted({stem + suffix for stem in stems} | {"ab" + stem for stem in stems[::3]})
    built = quellnor.build_index([(t, key(0), 1) for t in terms], fold=False)
    plain = load(preorder_copy(decode(built.to_bytes())))
    for term in rng.sample(terms, min(len(terms), 8)):
        # The term less one character, at every place: where the term holds
        # a character more just past the cut, one walk alone must find it.
        queries = [term[:i] + term[i + 1:] for i in range(len(term))] + [edited(term, rng, 2)]
        for query in queries:
            assert built.fuzzy_match(query, 1, limit) == plain.fuzzy_match(query, 1, limit), query


@pytest.mark.parametrize("query", ["axcf", "abcf", "axdd", "zxcd", "abdd"])
def test_siblings_sharing_a_label_are_all_walked(query):
    # Two children of the root are both "a", numbered breadth first: only
    # the second leads on to "xcd". A walk that spelt "ax" by the first "a"
    # alone would find nothing there.
    labels = ["\0", "a", "a", "b", "x", "c", "c", "d", "d"]
    ends = [node in (7, 8) for node in range(len(labels))]
    ix = Index(node_shifts=[0, 2, 3, 4, 5, 6, 7, 8, 8], child_labels=labels,
               child_transitions=list(range(1, len(labels))),
               payloads=[Payload(1, [0], [1]) if end else None for end in ends],
               video_index=[key(0)], is_terminal=ends)
    want = model_terms(ix, query, 1)
    assert want, query
    assert load(ix).fuzzy_match(query, 1) == want == load(preorder_copy(ix)).fuzzy_match(query, 1)
    assert load(ix).fuzzy_match(query, 1, 1) == want[:1]
