"""Reading catalogue files a block at a time gives what reading them line by
line gives: the same rows, and on a bad line the same error naming it, with
the same rows before it added."""

import json
import uuid

import pytest
from hypothesis import given
from hypothesis import strategies as st

quellnor = pytest.importorskip("quellnor")
from quellnor import _input  # noqa: E402

VIDEOS = [str(uuid.UUID(int=i)) for i in (1, 2, 3)]

# Each odd line has one thing wrong at most, mostly: a block with two odd
# lines reads line by line whatever its fast path would have made of one.
GOOD_TERMS = ["cat", "cart", "dög", "a b", " cat ", "caf\u00e9", "x" * 1000]
GOOD_VIDEOS = VIDEOS + [" " + VIDEOS[0] + " "]
GOOD_COUNTS = ["3", " 7 ", "0", "4294967296", "\u00a05"]
good_terms, good_videos, good_counts = map(st.sampled_from, (GOOD_TERMS, GOOD_VIDEOS, GOOD_COUNTS))
terms = st.sampled_from(GOOD_TERMS * 2 + ["x" * 1001, ""])
videos = st.sampled_from(GOOD_VIDEOS * 3 + ["not-a-uuid"])
counts = st.sampled_from(GOOD_COUNTS * 3 + ["", "  ", "-1", "+2", "1_0", "1 2", "\u0663", "2.5"])


@st.composite
def plain_tsv_lines(draw, with_count):
    """Rows that a whole block of would read at once."""
    count = f"\t{draw(good_counts)}" if with_count else ""
    return f"{draw(good_terms)}\t{draw(good_videos)}{count}".encode()


@st.composite
def plain_jsonl_lines(draw):
    obj = {"term": draw(good_terms), "video": draw(st.sampled_from(VIDEOS))}
    if draw(st.booleans()):
        obj["count"] = draw(st.sampled_from([1, 5, 2.0, 2**40]))
    return json.dumps(obj).encode()


@st.composite
def tsv_lines(draw):
    kind = draw(st.sampled_from(["row"] * 4 + ["two", "blank", "header", "four", "bad utf-8"]))
    term, video, count = draw(terms), draw(videos), draw(counts)
    line = {
        "row": f"{term}\t{video}\t{count}",
        "two": f"{term}\t{video}",
        "blank": draw(st.sampled_from(["", "  ", "\t", " \t ", "\t\t"])),
        "header": "term\tvideo\tcount",
        "four": f"{term}\t{video}\t{count}\tx",
        "bad utf-8": None,
    }[kind]
    return b"caf\xe9\t" + video.encode() + b"\t1" if line is None else line.encode()


@st.composite
def jsonl_lines(draw):
    obj = {"term": draw(terms), "video": draw(videos)}
    if draw(st.booleans()):
        obj["count"] = draw(st.sampled_from([1, 5, -1, 2.0, 2.5, True, "3", None]))
    kind = draw(st.sampled_from(["row"] * 4 + ["no term", "list", "broken", "spaced", "more", "blank"]))
    if kind == "no term":
        del obj["term"]
    text = {
        "row": json.dumps(obj),
        "no term": json.dumps(obj),
        "list": json.dumps(list(obj.values())),
        "broken": json.dumps(obj)[:-1],
        "spaced": " " + json.dumps(obj) + " ",
        "more": json.dumps(obj) + draw(st.sampled_from([" ", " 1", "{}"])),
        "blank": "",
    }[kind]
    return text.encode()


def read(tmp_path, name, data, blocks):
    """Reads ``data`` as the file ``name``: (the error or None, the index of
    what was added), a block of ``blocks`` bytes at a time or line by line."""
    builder = quellnor.IndexBuilder(fold=False)
    fmt = _input.detect_format(name)
    try:
        if blocks:
            path = tmp_path / name
            path.write_bytes(data)
            _input.load_catalogue(builder, str(path), fmt)
        else:
            lines = [line + b"\n" for line in data.split(b"\n")]
            lines[-1] = lines[-1][:-1]
            _input.load_lines(builder, [line for line in lines if line], fmt, str(tmp_path / name))
        error = None
    except _input.InputError as exc:
        error = str(exc)
    return error, len(builder), builder.build()


@pytest.mark.parametrize("name, plain, lines", [("c.tsv", plain_tsv_lines(True), tsv_lines()),
                                               ("c.tsv", plain_tsv_lines(False), tsv_lines()),
                                               ("c.jsonl", plain_jsonl_lines(), jsonl_lines())])
@given(data=st.data())
def test_blocks_read_as_lines_do(tmp_path_factory, name, plain, lines, data):
    tmp_path = tmp_path_factory.mktemp("catalogue")
    # Mostly plain rows, which blocks read at once, and a few of any kind.
    body = data.draw(st.lists(plain, min_size=2, max_size=60))
    for line in data.draw(st.lists(lines, min_size=1, max_size=2)):
        body.insert(data.draw(st.integers(0, len(body))), line)
    ending = data.draw(st.sampled_from([b"\n", b"\r\n"]))
    start = data.draw(st.sampled_from([b"", b"\xef\xbb\xbf"]))
    content = start + ending.join(body) + data.draw(st.sampled_from([ending, b""]))
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(_input, "READ_BLOCK_BYTES", data.draw(st.sampled_from([16, 300, 1 << 18, 1 << 18])))
        patch.setattr(_input, "_BATCH_ROWS", data.draw(st.sampled_from([1, 7, 1 << 16])))
        by_blocks = read(tmp_path, name, content, blocks=True)
    by_lines = read(tmp_path, name, content, blocks=False)
    assert by_blocks == by_lines
