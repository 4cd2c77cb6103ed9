"""Rows packed into buffers (how build_index reads rows on PyPy) build what
the row reader builds from the same rows, in chunks that pack and chunks
that do not, and a bad row is named as the row reader names it."""

import uuid
from array import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

quellnor = pytest.importorskip("quellnor")
from quellnor import _packed_rows  # noqa: E402

UUIDS = [uuid.UUID(int=i * 104729 + 3) for i in range(5)]
terms = st.text(alphabet="abAB\u00e9\u00df\u4e2d\U0001f600", min_size=1, max_size=4)
counts = st.integers(0, 2**64 + 5)
# Per family, the forms a chunk's videos may take; each chunk takes one.
families = {
    "uuid": [st.sampled_from(UUIDS), st.sampled_from([str(u) for u in UUIDS]),
             st.sampled_from([u.bytes for u in UUIDS])],
    "str": [st.sampled_from(["v1", "", "\u00e9t\u00e9", "x" * 40])],
    "int": [st.integers(-(2**63), 2**63 - 1)],
}
# Rows the packer leaves to the row reader, among good ones.
class Count(int):
    pass


odd_rows = st.sampled_from([("odd", 7, 2.0), ["odd", 7, 1], ("odd", 7, Count(3)), ("odd", 7, 2**70)])


def in_sevens(rows):
    return [rows[i : i + 7] for i in range(0, len(rows), 7)]


def by_row_reader(rows):
    builder = quellnor.IndexBuilder()
    builder._native.add_rows(rows, 0, False)
    return builder


def by_packer(chunks):
    builder = quellnor.IndexBuilder()
    _packed_rows.add_packed_rows(builder._native, chunks)
    return builder


@st.composite
def chunks_of(draw, family):
    chunks = []
    for _ in range(draw(st.integers(1, 40))):
        videos = draw(st.sampled_from(families[family]))
        chunk = draw(st.lists(st.tuples(terms.filter(quellnor.fold), videos, counts), min_size=1, max_size=6))
        if family == "int" and draw(st.integers(0, 9)) == 0:
            chunk.insert(draw(st.integers(0, len(chunk))), draw(odd_rows))
        chunks.append(chunk)
    return chunks


@pytest.mark.parametrize("family", sorted(families))
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_packed_chunks_build_what_the_rows_build(family, data):
    chunks = data.draw(chunks_of(family))
    rows = [row for chunk in chunks for row in chunk]
    expected = by_row_reader(rows).build()
    assert by_packer(chunks).build() == expected
    builder = quellnor.IndexBuilder()
    _packed_rows.add_all_or_none(builder._native, rows, in_sevens(rows))
    assert builder.build() == expected


@pytest.mark.parametrize("bad", [
    ("", UUIDS[0], 1), ("a\0b", UUIDS[0], 1), ("a\ud800", UUIDS[0], 1), ("ok", UUIDS[0], -1),
    ("ok", str(UUIDS[0])[:-1], 1), ("ok", b"short", 1), ("ok", 5, 1),
])
@pytest.mark.parametrize("where", [0, 37, 99])
def test_a_bad_row_is_named_as_the_row_reader_names_it(bad, where):
    rows = [("t%d" % i, UUIDS[i % 5], i) for i in range(100)]
    rows[where] = bad
    with pytest.raises(ValueError) as expected:
        by_row_reader(rows)
    chunks = in_sevens(rows)
    with pytest.raises(ValueError) as packed:
        by_packer(chunks)
    assert str(packed.value) == str(expected.value)
    assert packed.value.__context__ is None
    builder = quellnor.IndexBuilder()
    with pytest.raises(ValueError) as all_or_none:
        _packed_rows.add_all_or_none(builder._native, rows, in_sevens(rows))
    assert str(all_or_none.value) == str(expected.value)
    assert all_or_none.value.__context__ is None
    assert (len(builder), builder.video_count) == (0, 0)



@pytest.mark.parametrize("chunk, error", [
    ((b"abcd", array("q", [3, 2]), array("q", [1, 2]), None, False, array("q", [1, 1])), ValueError),
    ((b"abcd", array("q", [2, 9]), array("q", [1, 2]), None, False, array("q", [1, 1])), ValueError),
    ((b"abcd", array("q", [-1, 4]), array("q", [1, 2]), None, False, array("q", [1, 1])), ValueError),
    ((b"abcd", b"\x04\x00\x00", array("q", [1]), None, False, array("q", [1])), ValueError),
    ((b"ab", array("q", [2]), b"\x01" * 15, array("q", [15]), True, array("q", [1])), ValueError),
    ((b"ab", array("q", [2]), array("q", [1, 2]), None, False, array("q", [1])), ValueError),
    (("ab", array("q", [2]), array("q", [1]), None, False, array("q", [1])), TypeError),
    ((b"ab", array("q", [2])), TypeError),
])
def test_malformed_packed_chunks_are_refused_and_the_builder_goes_on(chunk, error):
    builder = quellnor.IndexBuilder()
    with pytest.raises(error):
        builder._native.add_packed([chunk], 0, True)
    builder.add("kept", 1, 2)
    assert len(builder) == 1
    assert builder.build().fuzzy_match_video("kept", 0)
