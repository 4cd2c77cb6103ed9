"""The native builder against the Python builder it replaced, byte for byte;
caller-given video ids against an index of UUIDs in their order; batches
that fail leave the builder as it was."""

import os
import pickle
import re
import subprocess
import sys
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference_builder

quellnor = pytest.importorskip("quellnor")

MAX = 2**32 - 1
VIDEOS = [uuid.UUID(int=(i * 0x9E3779B97F4A7C15) % 2**128) for i in range(1, 9)]

# Upper case and accents fold; CJK, astral and combining characters do not
# fit in one byte; a short alphabet makes shared prefixes and duplicates.
ALPHABET = "abcAB\u00e9\u00c9e\u0301\u4e2d\U0001f600\u00df"
terms = st.text(alphabet=ALPHABET, min_size=1, max_size=6).filter(lambda t: quellnor.fold(t) != "")
counts = st.one_of(st.integers(0, 5), st.integers(MAX - 3, MAX + 3), st.integers(0, 2**40), st.integers(2**58 - 2, 2**58 + 2))
rows = st.lists(st.tuples(terms, st.sampled_from(VIDEOS), counts), max_size=40)


@pytest.mark.parametrize("first, second", [(2**63, 2**63 + 1), (2**64 - 1, 2**64 - 2), (2**63 + 1, 2**70)])
@pytest.mark.parametrize("top_n", [1, 2])
def test_counts_past_63_bits_rank_as_the_python_builder_ranks_them(first, second, top_n):
    given_rows = [("a", VIDEOS[0], first), ("a", VIDEOS[1], second), ("ab", VIDEOS[2], 1)]
    native = quellnor.build_index(given_rows, video_top_n=top_n)
    assert native.to_bytes() == reference_builder.build_index(given_rows, video_top_n=top_n).to_bytes()


def video_forms(video, pick):
    """The same video as a uuid.UUID, its text in either case or its bytes."""
    return [video, str(video), str(video).upper(), video.bytes][pick % 4]


@settings(max_examples=300)
@given(rows, st.booleans(), st.integers(0, 4), st.lists(st.integers(0, 3), min_size=40, max_size=40))
def test_native_and_python_builders_give_the_same_index(given_rows, fold, top_n, forms):
    given_rows = [(t, video_forms(v, forms[i]), c) for i, (t, v, c) in enumerate(given_rows)]
    native = quellnor.build_index(given_rows, video_top_n=top_n, fold=fold)
    reference = reference_builder.build_index(given_rows, video_top_n=top_n, fold=fold)
    assert native.to_bytes() == reference.to_bytes()
    assert native._extras() == reference._extras()
    assert native == reference


@given(rows, st.integers(0, 39))
def test_a_bad_row_leaves_the_builder_as_it_was(given_rows, where):
    builder = quellnor.IndexBuilder()
    builder.add("kept", VIDEOS[0], 3)
    before = builder.build()
    bad = list(given_rows)
    bad.insert(min(where, len(bad)), ("bad", "not a uuid", 1))
    with pytest.raises(ValueError, match=rf"^row {min(where, len(given_rows))}\b.*'not a uuid'"):
        builder.add_rows(bad)
    assert (len(builder), builder.video_count) == (1, 1)
    assert builder.build() == before
    builder.add_rows(given_rows)  # still usable, and the rows now go in
    assert builder.build() == quellnor.build_index([("kept", VIDEOS[0], 3)] + list(given_rows))


ids_of_kind = {
    "str": st.lists(st.text(st.characters(blacklist_categories=("Cs",)), max_size=5), min_size=1, max_size=8,
                    unique=True),
    "int": st.lists(st.integers(-(2**63), 2**63 - 1), min_size=1, max_size=8, unique=True),
}


@pytest.mark.parametrize("kind", ["str", "int"])
@given(data=st.data())
def test_caller_ids_come_back_as_given_in_the_order_of_an_index_of_uuids(kind, data):
    ids = data.draw(ids_of_kind[kind])
    picks = data.draw(st.lists(st.tuples(terms, st.integers(0, len(ids) - 1), st.integers(0, 9)), min_size=1,
                               max_size=30))
    # The model: the same rows with UUIDs that sort as the ids do.
    as_uuid = {i: uuid.UUID(int=rank) for rank, i in enumerate(sorted(ids))}
    given_index = quellnor.build_index([(t, ids[v], c) for t, v, c in picks])
    model = quellnor.build_index([(t, as_uuid[ids[v]], c) for t, v, c in picks])
    back = {str(u): i for i, u in as_uuid.items()}
    assert given_index.video_key_kind == kind
    for query in {t for t, _, _ in picks[:4]} | {""}:
        for d in (0, 1):
            expected = [(back[k], s) for k, s in model.fuzzy_match_video(query, d)]
            assert given_index.fuzzy_match_video(query, d) == expected
        assert given_index.suggest_videos(query) == [(back[k], s) for k, s in model.suggest_videos(query)]
        assert given_index.suggest(query) == model.suggest(query)
    restored = pickle.loads(pickle.dumps(given_index))
    assert restored == given_index and restored.fuzzy_match_video(picks[0][0]) == given_index.fuzzy_match_video(
        picks[0][0])


@pytest.mark.parametrize("videos", [["video-1"], [7]])
@pytest.mark.parametrize("call", [quellnor.Index.to_bytes, quellnor.Index.prefix_search])
def test_an_index_of_caller_ids_has_no_byte_form(call, videos):
    index = quellnor.build_index([("tea", video, 2) for video in videos])
    with pytest.raises(ValueError, match=f"{type(videos[0]).__name__} ids.*pickle the index instead"):
        call(index)


@pytest.mark.parametrize(
    "first, then",
    [(VIDEOS[0], "plain id"), (VIDEOS[0], 7), ("plain id", 7), (7, "plain id"), (7, VIDEOS[0]), ("id", VIDEOS[0])],
)
def test_videos_of_one_index_are_of_one_kind(first, then):
    builder = quellnor.IndexBuilder()
    builder.add("a", first)
    with pytest.raises(ValueError, match="^row .*: (this index's videos are|the video key must be a UUID)"):
        builder.add("b", then)
    assert builder.video_count == 1


def test_uuid_text_after_a_str_id_is_a_str_id():
    index = quellnor.build_index([("a", "x", 1), ("a", str(VIDEOS[0]), 2)])
    assert index.fuzzy_match_video("a", 0) == [(str(VIDEOS[0]), 2 / 3), ("x", 1 / 3)]


UUID_FORM = re.compile(r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}")


@given(st.integers(0, 35), st.sampled_from("09afAFgG-_ \u00e9\u0660"), st.booleans())
def test_uuid_text_is_the_36_character_form_and_nothing_else(at, char, columns):
    text = str(VIDEOS[1])
    text = text[:at] + char + text[at + 1:]
    rows = [("a", VIDEOS[0], 1), ("b", text, 1)]
    if not UUID_FORM.fullmatch(text):
        with pytest.raises(ValueError, match="^row 1: .*the video key must be a UUID"):
            quellnor.build_index_from_columns(*zip(*rows)) if columns else quellnor.build_index(rows)
        return
    index = quellnor.build_index_from_columns(*zip(*rows)) if columns else quellnor.build_index(rows)
    assert index.fuzzy_match_video("b", 0) == [(str(uuid.UUID(text)), 1.0)]


@pytest.mark.parametrize("count, stored", [(3.0, 3), (0.0, 0), (2.0**70, MAX), (True, None), (2.5, None),
                                           (float("inf"), None), (-1.0, None), (-(2**70), None)])
def test_counts_take_integral_floats_and_refuse_the_rest(count, stored):
    builder = quellnor.IndexBuilder()
    if stored is None:
        with pytest.raises(ValueError, match="count"):
            builder.add("a", "v", count)
        assert len(builder) == 0
    else:
        builder.add("a", "v", count)
        assert builder.build().weight("a") == stored


def test_progress_names_every_phase():
    seen = []
    quellnor.build_index([("tea", 1, 2), ("ten", 2, 1)], progress=lambda phase, items: seen.append(phase))
    assert seen == ["sorting terms", "laying out", "ranking videos", "propagating", "deriving suggestions"]


def test_a_fold_function_that_reenters_the_builder_is_refused():
    native = quellnor._builder.NativeBuilder(lambda text: native.add("x", 1, 1) or text)
    with pytest.raises(RuntimeError, match="in use"):
        native.add("tea", 1, 1)
    assert native.term_count == 0


def given_extras(kind, ids, count=None):
    """Extras of an unfolded index without weights or spellings, with the
    caller's ids appended in their byte form."""
    body = b"QXT\x01\x02\x00\x00" + bytes([kind, len(ids) if count is None else count])
    return body + b"".join(bytes([len(i)]) + i for i in ids)


@pytest.mark.parametrize("extras, message", [
    (given_extras(2, [b"a"]), None),
    (given_extras(3, [(5).to_bytes(8, "little")]), None),
    (given_extras(4, [b"a"]), "unknown kind of video ids"),
    (given_extras(1, [b"a"]), "unknown kind of video ids"),
    (given_extras(3, [b"1234567"]), "a video id that is not 8 bytes"),
    (given_extras(2, [b"\xff"]), "a video id that is not UTF-8"),
    (given_extras(2, [b"a", b"b"]), "2 video ids for 1 videos"),
    (given_extras(2, [b"a"], count=9), "more video ids than the bytes hold"),
    (given_extras(2, [b"a"]) + b"\x00", "bytes follow the extras"),
])
def test_the_extras_of_caller_ids_are_checked_when_loaded(extras, message):
    of_int_ids = quellnor.build_index([("a", 1, 1)], fold=False)
    data = quellnor.Index.to_bytes(quellnor.build_index([("a", VIDEOS[0], 1)], fold=False))
    if message is None:
        loaded = quellnor.Index._load(data, extras)
        assert loaded.video_key_kind == ("str" if extras[7] == 2 else "int")
        assert loaded.fuzzy_match_video("a", 0) == [("a" if extras[7] == 2 else 5, 1.0)]
    else:
        with pytest.raises(ValueError, match=f"^extras: {message}"):
            quellnor.Index._load(data, extras)
    assert of_int_ids._extras()[4] == 2  # the flag that says the ids follow


@settings(max_examples=200)
@given(st.text(alphabet=st.characters(min_codepoint=1, max_codepoint=0x7F), max_size=12),
       st.lists(st.tuples(terms, st.sampled_from(VIDEOS), st.integers(0, 9)), max_size=20))
def test_ascii_terms_folded_natively_as_fold_does(text, given_rows):
    # The builder lower-cases pure-ASCII spellings itself rather than calling
    # fold: that is right only while fold does exactly that to ASCII.
    assert quellnor.fold(text) == "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)
    from _quellnor import NativeBuilder

    given_rows = given_rows + [(text, VIDEOS[0], 1)] if quellnor.fold(text) else given_rows
    built = []
    for lowers_ascii in (True, False):
        native = NativeBuilder(quellnor.fold, lowers_ascii=lowers_ascii)
        native.add_rows(given_rows)
        native.add_columns([t for t, _, _ in given_rows], [v for _, v, _ in given_rows],
                           [c for _, _, c in given_rows])
        built.append(native.build(quellnor.Index, 3))
    assert built[0] == built[1]
    assert built[0]._extras() == built[1]._extras()


# Terms that share long beginnings, so that sorting them reads far past their
# first bytes; a prefix of another, multi-byte characters across the bytes
# read at a time.
long_terms = st.builds(lambda head, tail: head + tail, st.sampled_from(["", "abcdefgh", "abcdefghabcdefg\u00e9"]),
                       st.text(alphabet="ab\u00e9\u4e2d\U0001f600", max_size=20)).filter(bool)


@settings(max_examples=200)
@given(st.lists(long_terms, min_size=1, max_size=30))
def test_terms_come_in_code_point_order(given_terms):
    index = quellnor.build_index([(t, VIDEOS[0], 1) for t in given_terms], fold=False)
    assert list(index) == sorted(set(given_terms))


BUILD_AND_SAVE = """
import os, sys, uuid
import quellnor
if sys.argv[2] == "one core":
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
rows = [(f"{w} {i % 97}" if i % 3 else w, uuid.UUID(int=i % 61 + 1), i % 5)
        for i, w in enumerate(["alpha", "Alphabet", "beta", "b\u00e9ta", "gamma"] * 400)]
quellnor.build_index(rows, video_top_n=3).save(sys.argv[1])
"""


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs sched_setaffinity")
def test_a_build_pinned_to_one_core_gives_the_same_index_file(tmp_path):
    """On one core the build does in turn what it otherwise does on two."""
    files = []
    for cores in ("one core", "every core"):
        files.append(tmp_path / f"{cores}.qix")
        subprocess.run([sys.executable, "-c", BUILD_AND_SAVE, str(files[-1]), cores], check=True)
    assert files[0].read_bytes() == files[1].read_bytes()


def test_rows_in_many_batches_build_what_one_batch_builds():
    """build_index adds each batch's pairs on a second core while it reads
    the next; the same pairs recur in every batch, so any batch added twice,
    lost or out of turn changes a count or the order of equal counts."""
    rows = [(f"t{i % 4999}", VIDEOS[i % 8], MAX if i % 1000 == 7 else i % 3) for i in range(150_000)]
    whole = quellnor.IndexBuilder()
    whole.add_rows(rows)  # all or nothing: one batch, added on this thread
    built = quellnor.build_index(rows)
    assert built.to_bytes() == whole.build().to_bytes()
    with pytest.raises(ValueError, match=r"^row 140000\b.*'not a uuid'"):
        quellnor.build_index(rows[:140_000] + [("bad", "not a uuid", 1)] + rows[140_000:])


def test_spellings_new_in_later_batches_number_and_show_as_a_plain_model_says():
    """Terms are numbered batch by batch on a second core: spellings of one
    term arrive in different batches, and terms first seen late, so a term
    numbered twice, a spelling tied to the wrong term or a lost spelling
    count shows in the weights or in the spelling shown."""
    rows = []
    for i in range(200_000):
        k = i % 5000 if i < 140_000 else 5000 + i % 700  # the last 700 terms come only in the third batch on
        spelling = f"T{k}" if (i // 65_536) % 2 else f"t{k}"
        rows.append((spelling, VIDEOS[i % 8], 1 + (i % 5 if spelling[0] == "T" else i % 3)))
    weight, by_spelling, first_seen = {}, {}, {}
    for i, (spelling, _, count) in enumerate(rows):
        weight[spelling.lower()] = weight.get(spelling.lower(), 0) + count
        by_spelling[spelling] = by_spelling.get(spelling, 0) + count
        first_seen.setdefault(spelling, i)
    built = quellnor.build_index(rows)
    whole = quellnor.IndexBuilder()
    whole.add_rows(rows)  # all or nothing: numbered on this thread, in one go
    assert built.to_bytes() == whole.build().to_bytes() and built == whole.build()
    assert {quellnor.fold(t): built.weight(t) for t in built} == weight
    for k in (0, 1, 2, 4999, 5000, 5001, 5699):
        # The most frequent spelling; ties go to the one added first.
        shown = max((s for s in (f"T{k}", f"t{k}") if s in by_spelling),
                    key=lambda s: (by_spelling[s], -first_seen[s]))
        assert built.suggest(f"t{k}", 1, max_dist=0)[0][0] == shown
