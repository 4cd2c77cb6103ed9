"""Columns (sequences, numpy arrays, Arrow arrays and tables) build the same
index as the same rows given as tuples, and name a bad row the same way."""

import re
import uuid
from array import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

quellnor = pytest.importorskip("quellnor")
try:
    import numpy
except ImportError:
    numpy = None
try:
    import pyarrow
except ImportError:
    pyarrow = None

VIDEOS = [uuid.UUID(int=i * 7919 + 1) for i in range(6)]
terms = st.text(alphabet="abAB\u00e9\u4e2d\U0001f600", min_size=1, max_size=5).filter(lambda t: quellnor.fold(t))
video_kinds = {
    "uuid text": st.sampled_from([str(v) for v in VIDEOS]),
    "str id": st.sampled_from(["v1", "v2", "", "\u00e9t\u00e9"]),
    "int id": st.integers(-(2**40), 2**40),
}


def as_numpy(values, kind):
    if kind == "int id" or (values and isinstance(values[0], int)):
        return numpy.array(values, dtype=numpy.int64)
    return numpy.array(values, dtype=object if any(v == "" for v in values) else str)


FORMS = ["list", "tuple", "array"] + (["numpy"] if numpy else []) + (["arrow", "arrow table"] if pyarrow else [])


def columns_in(form, t, v, c, kind):
    if form == "list":
        return list(t), list(v), list(c)
    if form == "tuple":
        return tuple(t), tuple(v), tuple(c)
    if form == "array":  # a buffer whose strides point into the view it fills
        return list(t), array("q", v) if kind == "int id" else list(v), array("q", c)
    if form == "numpy":
        return as_numpy(t, "term"), as_numpy(v, kind), numpy.array(c, dtype=numpy.uint64)
    return pyarrow.array(t, pyarrow.string()), pyarrow.array(v), pyarrow.array(c, pyarrow.int64())


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("kind", sorted(video_kinds))
@settings(max_examples=40)
@given(data=st.data())
def test_columns_build_what_rows_build(form, kind, data):
    rows = data.draw(st.lists(st.tuples(terms, video_kinds[kind], st.integers(0, 2**33)), min_size=1, max_size=25))
    t, v, c = (list(column) for column in zip(*rows))
    expected = quellnor.build_index(rows)
    cols = columns_in(form, t, v, c, kind)
    if form == "arrow table":
        built = quellnor.build_index(pyarrow.table({"count": cols[2], "video": cols[1], "term": cols[0]}))
    else:
        built = quellnor.build_index_from_columns(*cols)
    assert built == expected
    assert built.fuzzy_match_video(t[0], 1) == expected.fuzzy_match_video(t[0], 1)


@pytest.mark.parametrize("form", FORMS)
def test_a_bad_cell_names_its_row_and_adds_nothing(form):
    builder = quellnor.IndexBuilder()
    builder.add("kept", str(VIDEOS[0]), 1)
    t, v, c = ["a", "b", "c"], [str(VIDEOS[1])] * 3, [1, -4, 2]
    if form == "numpy":
        cols = (as_numpy(t, "term"), as_numpy(v, "uuid text"), numpy.array(c, dtype=numpy.int64))
    else:
        cols = columns_in(form, t, v, c, "uuid text")
    with pytest.raises(ValueError, match=r"^row 1: row \('b', .*-4\): the count must not be negative"):
        builder.add_columns(*cols)
    assert (len(builder), builder.video_count) == (1, 1)


@pytest.mark.skipif(numpy is None, reason="numpy is not installed")
@pytest.mark.parametrize("dtype, values, accepted", [
    ("float64", [3.0, 0.0], True), ("float32", [2.5], False), ("float64", [float("nan")], False),
    ("int8", [-1], False), ("uint16", [65535], True), ("bool", [True], False),
])
def test_numpy_counts_follow_the_rules_of_add(dtype, values, accepted):
    builder = quellnor.IndexBuilder()
    column = numpy.array(values, dtype=dtype)
    call = lambda: builder.add_columns(["t"] * len(values), [1] * len(values), column)  # noqa: E731
    if accepted:
        call()
        assert builder.build().weight("t") == int(sum(values))
    else:
        with pytest.raises(ValueError, match="^row 0: .*count"):
            call()


@pytest.mark.skipif(pyarrow is None, reason="pyarrow is not installed")
def test_arrow_nulls_and_types_are_named():
    with pytest.raises(ValueError, match=r"^row 1: .*the term is missing \(null\)"):
        quellnor.build_index_from_columns(pyarrow.array(["a", None]), pyarrow.array([1, 2]))
    with pytest.raises(TypeError, match="type 'tsu"):
        quellnor.build_index_from_columns(pyarrow.array(["a"]), pyarrow.array([pyarrow.scalar(0, pyarrow.timestamp("us"))]))
    uuids = pyarrow.array([v.bytes for v in VIDEOS[:2]], pyarrow.binary(16))
    built = quellnor.build_index_from_columns(pyarrow.array(["a", "a"]), uuids, pyarrow.array([1, 3], pyarrow.uint8()))
    assert built == quellnor.build_index([("a", VIDEOS[0], 1), ("a", VIDEOS[1], 3)])
    sliced = pyarrow.table({"term": ["x", "a", "b"], "video": [1, 2, 3]}).slice(1)
    assert quellnor.build_index(sliced) == quellnor.build_index([("a", 2, 1), ("b", 3, 1)])


def test_columns_of_different_lengths_are_refused():
    with pytest.raises(ValueError, match="the columns differ in length: 2 terms, 1 videos"):
        quellnor.build_index_from_columns(["a", "b"], [1])


@pytest.mark.skipif(pyarrow is None, reason="pyarrow is not installed")
@pytest.mark.parametrize("table, message", [
    ({"term": ["a", "b"], "video": [str(VIDEOS[0]), "plain"], "count": [1, 2]}, "row 1: .*must be a UUID"),
    ({"term": ["a", None], "video": [str(VIDEOS[0])] * 2}, r"row 1: .*the term is missing \(null\)"),
    ({"term": ["a"], "video": [str(VIDEOS[0])], "count": [-1]}, "row 0: .*must not be negative"),
])
def test_quellnor_build_names_the_bad_row_of_a_parquet_file(tmp_path, capsys, table, message):
    import pyarrow.parquet

    from quellnor._cli import main

    source = tmp_path / "rows.parquet"
    pyarrow.parquet.write_table(pyarrow.table(table), source, row_group_size=1)
    target = tmp_path / "out.idx"
    assert main(["build", str(source), "-o", str(target)]) == 1
    err = capsys.readouterr().err
    assert re.search(f"{re.escape(str(source))}: {message}", err), err
    assert not target.exists()


@pytest.mark.skipif(pyarrow is None, reason="pyarrow is not installed")
def test_quellnor_build_reads_parquet_as_it_reads_tsv(tmp_path, capsys):
    import pyarrow.parquet

    from quellnor._cli import main

    rows = [("cat", str(VIDEOS[0]), 3), ("cart", str(VIDEOS[1]), 2), ("cat", str(VIDEOS[1]), 1)]
    pyarrow.parquet.write_table(pyarrow.table({"term": [r[0] for r in rows], "video": [r[1] for r in rows],
                                               "count": [r[2] for r in rows]}), tmp_path / "rows.parquet")
    (tmp_path / "rows.tsv").write_text("".join(f"{t}\t{v}\t{c}\n" for t, v, c in rows))
    for name in ("rows.parquet", "rows.tsv"):
        assert main(["build", str(tmp_path / name), "-o", str(tmp_path / (name + ".idx"))]) == 0
    capsys.readouterr()
    assert (tmp_path / "rows.parquet.idx").read_bytes() == (tmp_path / "rows.tsv.idx").read_bytes()


@pytest.mark.skipif(numpy is None, reason="numpy is not installed")
@pytest.mark.parametrize("make_terms", [
    lambda terms: numpy.array([t.encode() for t in terms], dtype="S"),          # UTF-8 bytes, NUL-padded
    lambda terms: numpy.array([x for t in terms for x in (t, "gap")], dtype="U")[::2],  # a strided view
    lambda terms: numpy.array(terms, dtype=object),                             # objects: read as a sequence
])
def test_numpy_text_columns_of_every_layout(make_terms):
    terms = ["caf\u00e9", "tea", "t\u00e9", "tea"]
    videos = numpy.array([3, 1, 2, 1], dtype=numpy.int32)[::1]
    counts = numpy.arange(4, dtype=numpy.int16)
    built = quellnor.build_index_from_columns(make_terms(terms), videos, counts)
    assert built == quellnor.build_index(list(zip(terms, [3, 1, 2, 1], range(4))))
