"""Index.suggest and Index.suggest_videos against brute-force models, and the
issue's examples.

The models know nothing of tries: every term, every prefix, a plain distance.
suggest_videos' model reads the stored (propagated) payloads back from the
byte form, since propagation is tested elsewhere; the rules of who counts and
how much are the model's own.
"""

import unicodedata
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from test_search import model_weigh
from trie_bytes import decode

quellnor = pytest.importorskip("quellnor")
Index = quellnor.Index
MAX = 2**32 - 1


# --- models -------------------------------------------------------------------------

def reference_fold(text):
    """Folding as the issue defines it, step by step, without shortcuts."""
    text = unicodedata.normalize("NFKC", text).casefold()
    text = "".join(c for c in unicodedata.normalize("NFD", text) if not 0x300 <= ord(c) <= 0x36F)
    return unicodedata.normalize("NFC", text)


def distance(a, b, transpositions):
    """Optimal string alignment (an adjacent swap is one edit), or Levenshtein."""
    rows = [list(range(len(b) + 1))]
    for i, ca in enumerate(a, 1):
        row = [i]
        for j, cb in enumerate(b, 1):
            cell = min(rows[-1][j - 1] + (ca != cb), rows[-1][j] + 1, row[j - 1] + 1)
            if transpositions and i > 1 and j > 1 and ca == b[j - 2] and a[i - 2] == cb:
                cell = min(cell, rows[-2][j - 2] + 1)
            row.append(cell)
        rows.append(row)
    return rows[-1][-1]


def automatic(text):
    return 0 if len(text) <= 2 else 1 if len(text) <= 5 else 2


def stored_terms(rows, fold):
    """{stored term: (shown spelling, weight)} as a builder should make them."""
    terms = {}
    for term, _video, count in rows:
        entry = terms.setdefault(reference_fold(term) if fold else term, [0, {}])
        entry[0] += count
        entry[1][term] = entry[1].get(term, 0) + count
    # max() keeps the first of equal sums: the spelling added first.
    return {t: (max(sp, key=sp.get), min(w, MAX)) for t, (w, sp) in terms.items()}


def model_suggest(terms, text, k, max_dist, transpositions):
    reach = automatic(text) if max_dist is None else max_dist
    found = []
    for term, (shown, weight) in terms.items():
        whole = distance(text, term, transpositions)
        nearest = min(distance(text, term[:i], transpositions) for i in range(len(term) + 1))
        if nearest <= reach:
            found.append((nearest, whole != nearest, -weight, term, shown))
    found.sort()
    return [(shown, d, -negative) for d, _, negative, _, shown in found[:k]]


def nodes_in_preorder(ix):
    """(node, path) from the root on, children in slot order."""
    out, stack = [], [(0, "")]
    while stack:
        node, path = stack.pop()
        out.append((node, path))
        end = ix.node_shifts[node + 1] if node + 1 < len(ix.node_shifts) else len(ix.child_transitions)
        kids = ix.child_transitions[ix.node_shifts[node]:end]
        stack.extend((c, path + ix.child_labels[c]) for c in reversed(kids))
    return out


def model_videos(index, text, k, max_dist, transpositions):
    ix = decode(index.to_bytes())
    reach = automatic(text) if max_dist is None else max_dist
    nodes = nodes_in_preorder(ix)
    near = {path: distance(text, path, transpositions) for _, path in nodes}
    # Within reach, and no node above within the same distance; in the order
    # in which the scores add up.
    counting = [(node, near[path]) for node, path in nodes
                if near[path] <= reach and all(near[path[:i]] > near[path] for i in range(len(path)))]
    scores, total = model_weigh(ix, counting, len(text))
    ranked = sorted(((s / total if total > 0 else 0.0, bytes(ix.video_index[v])) for v, s in scores.items()),
                    key=lambda item: (-item[0], item[1]))
    return [(str(uuid.UUID(bytes=key)), score) for score, key in ranked[:k]]


# --- strategies -----------------------------------------------------------------------

# Case and accent variants of a few letters, a ligature that NFKC opens, a
# decomposed accent, and a letter of another script whose mark stays.
LETTERS = ["a", "b", "c", "A", "B", "é", "É", "e\u0301", "ß", "ﬁ", "ü", "あ", "が"]
words = st.lists(st.sampled_from(LETTERS), min_size=1, max_size=5).map("".join)
VIDEOS = [uuid.UUID(int=i + 1) for i in range(5)]
rows_strategy = st.lists(
    st.tuples(words, st.sampled_from(VIDEOS), st.one_of(st.integers(0, 30), st.just(MAX))),
    min_size=1, max_size=14)


@st.composite
def queries(draw, rows):
    """Often a stored word with a swap or an edit, sometimes anything, now
    and then longer than the bit rows hold."""
    text = draw(st.one_of(words, st.sampled_from([r[0] for r in rows]), st.just(""),
                          st.sampled_from([r[0] * 13 for r in rows])))
    if len(text) > 1 and draw(st.booleans()):
        i = draw(st.integers(0, len(text) - 2))
        text = text[:i] + text[i + 1] + text[i] + text[i + 2:]
    return text


@st.composite
def cases(draw):
    rows = draw(rows_strategy)
    # Thresholds of 8 and more take the rows made of cells, as long texts do.
    k = draw(st.one_of(st.integers(0, 16), st.just(2**64 - 1)))
    return (rows, draw(st.booleans()), draw(queries(rows)), k,
            draw(st.one_of(st.none(), st.integers(0, 4), st.integers(8, 9))), draw(st.booleans()))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(cases())
def test_suggest_matches_the_brute_force_model(case):
    rows, fold, text, k, max_dist, transpositions = case
    index = quellnor.build_index(rows, fold=fold)
    query = reference_fold(text) if fold else text
    expected = model_suggest(stored_terms(rows, fold), query, k, max_dist, transpositions)
    assert index.suggest(text, k, max_dist=max_dist, transpositions=transpositions) == expected


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(cases(), st.integers(0, 3))
def test_suggest_videos_matches_the_model(case, top_n):
    rows, fold, text, k, max_dist, transpositions = case
    index = quellnor.build_index(rows, video_top_n=top_n, fold=fold)
    query = reference_fold(text) if fold else text
    expected = model_videos(index, query, k, max_dist, transpositions)
    assert index.suggest_videos(text, k, max_dist=max_dist, transpositions=transpositions) == expected


@settings(max_examples=100, deadline=None)
@given(st.text(max_size=12))
def test_fold_is_its_definition(text):
    assert quellnor.fold(text) == reference_fold(text)
    assert quellnor.fold(quellnor.fold(text)) == quellnor.fold(text)


@pytest.mark.parametrize("text, folded", [
    ("Ardèche", "ardeche"), ("ARDECHE", "ardeche"), ("Arde\u0300che", "ardeche"),
    ("Straße", "strasse"), ("ﬁlm", "film"), ("ＧＵＩＴＡＲ", "guitar"),
    ("が", "が"), ("שָׁלוֹם", "שָׁלוֹם"),  # marks of other scripts stay
])
def test_fold_examples(text, folded):
    assert quellnor.fold(text) == folded


# --- the examples -------------------------------------------------------------------

NAMES = ["London", "Condon", "Landon", "Lindon", "Londoner", "guitar", "guitars", "guitarist",
         "telescope", "telescopes", "mountain", "mountains", "Ardèche", "café", "cafés"]


@pytest.fixture(scope="module")
def named():
    return quellnor.build_index([(n, uuid.UUID(int=i + 1), 10 + i) for i, n in enumerate(NAMES)])


def test_a_limit_keeps_the_exact_term_first(named):
    assert named.suggest("London", 3, max_dist=1)[0] == ("London", 0, 10)
    # fuzzy_match keeps the first hits in trie order, as it always did.
    assert [t for t, _, _ in named.fuzzy_match("London", 1, 3)] == ["condon", "landon", "lindon"]


@pytest.mark.parametrize("text", ["g", "gu", "gui", "guit", "tel"])
def test_the_first_keystrokes_answer(named, text):
    assert named.suggest(text)[0][0].startswith(text)
    assert named.suggest_videos(text)


@pytest.mark.parametrize("text, first", [
    ("mountian", ("mountain", 1, 20)), ("GUITAR", ("guitar", 0, 15)), ("ardeche", ("Ardèche", 0, 22)),
    (unicodedata.normalize("NFD", "café"), ("café", 0, 23)), ("giutar", ("guitar", 1, 15)),
])
def test_mistyped_and_differently_written_text_finds_the_term(named, text, first):
    assert named.suggest(text)[0] == first
    # A term's node carries the videos of its completions too.
    assert named.suggest_videos(text)[0][0] == named.suggest_videos(first[0])[0][0]


def test_a_swap_ranks_the_same_first_video_as_the_correct_text(named):
    assert named.suggest_videos("tleescope")[0][0] == named.suggest_videos("telescope")[0][0]
    assert named.suggest("tleescope")[0] == ("telescope", 1, 18)
    assert named.suggest("tleescope", transpositions=False)[0] == ("telescope", 2, 18)


def test_empty_text_gives_the_heaviest_terms(named):
    heaviest = sorted(((10 + i, n) for i, n in enumerate(NAMES)), reverse=True)[:4]
    assert named.suggest("", 4) == [(n, 0, w) for w, n in heaviest]
    assert named.suggest("", 0) == [] and named.suggest_videos("g", 0) == []


# Many short words over two letters: nodes with more terms below them than
# a top list holds, so that the lists answer and are checked.
many_rows = st.lists(st.tuples(st.text("abAB", min_size=1, max_size=7), st.sampled_from(VIDEOS),
                               st.integers(0, 5)), min_size=40, max_size=160)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(many_rows, st.text("abAB", max_size=6), st.one_of(st.integers(0, 40), st.just(2**64 - 1)),
       st.one_of(st.none(), st.integers(0, 2)), st.booleans())
def test_suggest_from_top_lists_matches_the_model(rows, text, k, max_dist, transpositions):
    index = quellnor.build_index(rows)
    expected = model_suggest(stored_terms(rows, True), reference_fold(text), k, max_dist, transpositions)
    assert index.suggest(text, k, max_dist=max_dist, transpositions=transpositions) == expected
