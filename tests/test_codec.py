"""Saving and loading an index: ``to_bytes`` and ``from_bytes``.

The encoder below is written independently of the extension. It returns an
encoding as a list of *pieces*, each a run of bytes that the reader takes in
one step (a first byte, the tail after a marker, the continuation bytes of a
character, a whole video key), so that tests can predict how many bytes a
truncated input lacks.
"""

import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

_quellnor = pytest.importorskip("_quellnor")
PrefixSearch = _quellnor.PrefixSearch

MAX_U32 = 2**32 - 1
MAX_U64 = 2**64 - 1

# The two-node index "a": both payloads (5, [0], [5]), one video key 00..0F,
# node 1 terminal.
TWO_NODES = bytes.fromhex(
    "020001"  # node_shifts [0, 1]
    "020061"  # child_labels [U+0000, 'a']
    "0101"  # child_transitions [1]
    "02" "010501000105" "010501000105"  # payloads
    "01" "000102030405060708090a0b0c0d0e0f"  # video_index
    "020001"  # is_terminal [false, true]
)
EMPTY = bytes(6)


# --- a plain encoder ------------------------------------------------------

_MARKERS = [(0xFB, "<H"), (0xFC, "<I"), (0xFD, "<Q")]


def compact_forms(value, widest):
    """Every valid compact form of `value`, as piece lists, shortest first.
    `widest` is the widest marker allowed (0xFC for 32-bit values)."""
    forms = [[bytes([value])]] if value <= 250 else []
    for marker, fmt in _MARKERS:
        if marker <= widest and value < 1 << (8 * struct.calcsize(fmt)):
            forms.append([bytes([marker]), struct.pack(fmt, value)])
    return forms


def shortest(value, widest=0xFD):
    return compact_forms(value, widest)[0]


def char_pieces(ch):
    raw = ch.encode("utf-8")
    return [raw[:1], raw[1:]] if len(raw) > 1 else [raw]


def encode_pieces(index, form=shortest):
    """Pieces of the encoding of `index`, a tuple of the six arrays in field
    order. `form(value, widest)` picks the compact form of each integer."""
    shifts, labels, transitions, payloads, keys, terminal = index
    out = []

    def length(items):
        out.extend(form(len(items), 0xFD))

    def u32s(values):
        length(values)
        for v in values:
            out.extend(form(v, 0xFC))

    u32s(shifts)
    length(labels)
    for ch in labels:
        out.extend(char_pieces(ch))
    u32s(transitions)
    length(payloads)
    for p in payloads:
        if p is None:
            out.append(b"\x00")
        else:
            out.append(b"\x01")
            out.extend(form(p[0], 0xFC))
            u32s(p[1])
            u32s(p[2])
    length(keys)
    out.extend(keys)
    length(terminal)
    out.extend(bytes([t]) for t in terminal)
    return out


def encode(index, form=shortest):
    return b"".join(encode_pieces(index, form))


def index_of(node_shifts=(), child_labels=(), child_transitions=(), payloads=(), video_index=(),
             is_terminal=()):
    return (list(node_shifts), list(child_labels), list(child_transitions), list(payloads),
            list(video_index), list(is_terminal))


def round_trip(data):
    return PrefixSearch.from_bytes(data).to_bytes()


def decode_error(data):
    with pytest.raises(ValueError) as caught:
        PrefixSearch.from_bytes(data)
    return str(caught.value)


def end(additional):
    return f"decode error: UnexpectedEnd {{ additional: {additional} }}"


# --- fixed encodings ------------------------------------------------------


def test_encoder_agrees_with_the_worked_example():
    # Guards the helper itself: everything below trusts it.
    key = bytes(range(16))
    assert encode(index_of([0, 1], ["\0", "a"], [1], [(5, [0], [5])] * 2, [key], [0, 1])) == TWO_NODES
    assert len(TWO_NODES) == 41


def test_six_empty_arrays_are_six_zero_bytes():
    built = PrefixSearch.from_internal_data_v2([], [], [], [], [], 0)
    assert built.to_bytes() == EMPTY
    assert round_trip(EMPTY) == EMPTY


def test_worked_example_both_ways():
    # Node 0 gets its payload by propagation from node 1.
    built = PrefixSearch.from_internal_data_v2(
        [0, 1], ["", "a"], [None, (5, [0], [5])], [1], [bytes(range(16))], 10)
    assert built.to_bytes() == TWO_NODES
    assert round_trip(TWO_NODES) == TWO_NODES


def test_results_are_exact_bytes():
    class Sub(bytes):
        pass

    assert type(PrefixSearch.from_bytes(Sub(TWO_NODES)).to_bytes()) is bytes
    assert PrefixSearch.from_bytes(b=Sub(TWO_NODES)).to_bytes() == TWO_NODES


@pytest.mark.parametrize(
    "argument, kind",
    [
        (bytearray(TWO_NODES), "bytearray"),
        (memoryview(TWO_NODES), "memoryview"),
        (TWO_NODES.decode("latin-1"), "str"),
        (list(TWO_NODES), "list"),
        (None, "NoneType"),
    ],
)
def test_only_bytes_are_accepted(argument, kind):
    with pytest.raises(TypeError) as caught:
        PrefixSearch.from_bytes(argument)
    assert str(caught.value) == f"argument 'b': '{kind}' object cannot be converted to 'PyBytes'"


@pytest.mark.parametrize("suffix", [b"\x00", b"\xff", b"\xfe\xfd\xfc" * 7, TWO_NODES])
@pytest.mark.parametrize("data", [EMPTY, TWO_NODES], ids=["empty", "two_nodes"])
def test_trailing_bytes_are_ignored(data, suffix):
    assert round_trip(data + suffix) == data


@pytest.mark.parametrize(
    "value, form",
    [
        (0, "00"),
        (250, "fa"),
        (251, "fbfb00"),
        (65535, "fbffff"),
        (65536, "fc00000100"),
        (MAX_U32, "fcffffffff"),
    ],
)
def test_compact_integer_boundaries(value, form):
    data = b"\x01" + bytes.fromhex(form) + bytes(5)
    assert encode(index_of([value])) == data
    assert round_trip(data) == data


@pytest.mark.parametrize(
    "count, prefix",
    [(250, "fa"), (251, "fbfb00"), (65535, "fbffff"), (65536, "fc00000100")],
)
def test_length_boundaries(count, prefix):
    data = bytes(5) + bytes.fromhex(prefix) + b"\x01" * count
    assert round_trip(data) == data


@pytest.mark.parametrize(
    "wide, value",
    [
        ("fb0500", 5),
        ("fc05000000", 5),
        ("fb0000", 0),
        ("fcfa000000", 250),
        ("fcffff0000", 65535),
    ],
)
def test_longer_forms_are_read_and_rewritten_shortest(wide, value):
    data = b"\x01" + bytes.fromhex(wide) + bytes(5)
    assert round_trip(data) == encode(index_of([value]))


@pytest.mark.parametrize(
    "wide_length",
    ["fb0100", "fc01000000", "fd0100000000000000"],
)
def test_longer_length_forms_are_read_and_rewritten_shortest(wide_length):
    data = bytes.fromhex(wide_length) + b"\x07" + bytes(5)
    assert round_trip(data) == b"\x01\x07" + bytes(5)


def test_zero_length_in_the_widest_form():
    assert round_trip(bytes.fromhex("fd0000000000000000") + bytes(5)) == EMPTY


@pytest.mark.parametrize(
    "label, utf8",
    [
        ("\0", "00"),
        ("\x7f", "7f"),
        ("\x80", "c280"),
        ("\u07ff", "dfbf"),
        ("\u0800", "e0a080"),
        ("\ud7ff", "ed9fbf"),
        ("\ue000", "ee8080"),
        ("\uffff", "efbfbf"),
        ("\U00010000", "f0908080"),
        ("\U0001f600", "f09f9880"),
        ("\U0010ffff", "f48fbfbf"),
    ],
)
def test_labels_are_utf8_without_prefix(label, utf8):
    data = b"\x01\x00\x01" + bytes.fromhex(utf8) + bytes(4)
    assert round_trip(data) == data
    built = PrefixSearch.from_internal_data_v2([0], [label], [None], [], [], 0)
    # Propagation gives the one node an empty payload; it stays non-terminal.
    assert built.to_bytes() == encode(index_of([0], [label], [], [(0, [], [])], [], [0]))


def test_absent_payloads_stay_absent():
    absent = encode(index_of(payloads=[None, None, None]))
    assert absent == bytes.fromhex("000000" "03000000" "0000")
    assert round_trip(absent) == absent
    # An empty present payload is a different thing and survives too.
    empty = encode(index_of(payloads=[None, (0, [], []), None]))
    assert empty == bytes.fromhex("000000" "0300" "01000000" "00" "0000")
    assert round_trip(empty) == empty


@pytest.mark.parametrize(
    "index",
    [
        index_of(node_shifts=[0, 1, 2]),
        index_of(child_labels=["a", "b"], is_terminal=[1]),
        index_of([0], ["\0"], [7, 9], [None, (1, [2], [3])], [], [0, 1, 0]),
        index_of(payloads=[(3, [0, 1, 2], [])]),
        index_of(payloads=[(MAX_U32, [MAX_U32], [MAX_U32, 0])], video_index=[bytes(16)] * 3),
    ],
)
def test_inconsistent_arrays_decode_unchanged(index):
    data = encode(index)
    assert round_trip(data) == data


# --- decode errors ---------------------------------------------------------

LABEL = b"\x00\x01"  # node_shifts [], then one label
TAG = bytes(3) + b"\x01"  # three empty arrays, then one payload
TERMINAL = bytes(5) + b"\x01"  # five empty arrays, then one is_terminal byte



def variant(tag):
    return ('decode error: UnexpectedVariant { type_name: "Option<Payload>", '
            f"allowed: Range {{ min: 0, max: 1 }}, found: {tag} }}")


def integer_type(expected, found):
    return f"decode error: InvalidIntegerType {{ expected: {expected}, found: {found} }}"


def char_encoding(*bytes_):
    return f"decode error: InvalidCharEncoding([{', '.join(map(str, bytes_))}])"


@pytest.mark.parametrize(
    "data, message",
    [
        # Truncation, counted per piece.
        (b"", end(1)),
        (b"\xfb", end(2)),
        (b"\xfb\x01", end(1)),
        (b"\xfc\x01", end(3)),
        (b"\xfd", end(8)),
        (b"\xfd\x01\x02", end(6)),
        (b"\x02\x00", end(1)),
        (b"\x01\xfc\x01\x02", end(2)),
        (LABEL, end(1)),
        (LABEL + b"\xc3", end(1)),
        (LABEL + b"\xe2", end(2)),
        (LABEL + b"\xf0\x9f", end(2)),
        # A sequence is judged only once all its bytes are read.
        (LABEL + b"\xed\xa0", end(1)),
        (LABEL + b"\xe2\x28", end(1)),
        (LABEL + b"\xf0\x28", end(2)),
        (TAG, end(1)),
        (TAG + b"\x01", end(1)),
        (TAG + b"\x01\x00\xfb\x01", end(1)),
        (bytes(4) + b"\x01", end(16)),
        (bytes(4) + b"\x01" + bytes(5), end(11)),
        (bytes(4) + b"\x02" + bytes(31), end(1)),
        (TERMINAL, end(1)),
        (TWO_NODES[:-1], end(1)),
        # Integer markers that the width does not allow.
        (b"\x01\xfd" + bytes(8), integer_type("U32", "U64")),
        (b"\x01\xfe", integer_type("U32", "U128")),
        (b"\x01\xff", integer_type("U32", "Reserved")),
        (b"\xfe", integer_type("U64", "U128")),
        (b"\xff\x00\x00", integer_type("U64", "Reserved")),
        (bytes(4) + b"\xfe", integer_type("U64", "U128")),
        (TAG + b"\x01\xfd", integer_type("U32", "U64")),
        (TAG + b"\x01\x00\x01\xff", integer_type("U32", "Reserved")),
        (TAG + b"\x01\x00\x00\xff", integer_type("U64", "Reserved")),
        # Characters.
        (LABEL + b"\xed\xa0\x80", char_encoding(237, 160, 128, 0)),
        (LABEL + b"\xff", char_encoding(255, 0, 0, 0)),
        (LABEL + b"\x80", char_encoding(128, 0, 0, 0)),
        (LABEL + b"\xbf", char_encoding(191, 0, 0, 0)),
        (LABEL + b"\xc0\x80", char_encoding(192, 0, 0, 0)),
        (LABEL + b"\xc1\xbf", char_encoding(193, 0, 0, 0)),
        (LABEL + b"\xf5\x80\x80\x80", char_encoding(245, 0, 0, 0)),
        (LABEL + b"\xc3\x28", char_encoding(195, 40, 0, 0)),
        (LABEL + b"\xe0\x9f\xbf", char_encoding(224, 159, 191, 0)),  # overlong
        (LABEL + b"\xe2\x82\x28", char_encoding(226, 130, 40, 0)),
        (LABEL + b"\xf0\x8f\xbf\xbf", char_encoding(240, 143, 191, 191)),  # overlong
        (LABEL + b"\xf4\x90\x80\x80", char_encoding(244, 144, 128, 128)),  # past U+10FFFF
        (LABEL + b"\xf0\x9f\x98\xc0", char_encoding(240, 159, 152, 192)),
        # Tags and booleans.
        (TAG + b"\x02", variant(2)),
        (TAG + b"\xff", variant(255)),
        (TERMINAL + b"\x02", "decode error: InvalidBooleanValue(2)"),
        (bytes(5) + b"\x02\x01\xff", "decode error: InvalidBooleanValue(255)"),
    ],
)
def test_decode_errors(data, message):
    assert decode_error(data) == message


@pytest.mark.parametrize("section", range(6))
@pytest.mark.parametrize(
    "declared",
    ["fdffffffffffffffff", "fd0000000000000010", "fd0100000000000010", "fcffffffff"],
    ids=["2^64-1", "2^60", "2^60+1", "2^32-1"],
)
def test_huge_declared_length_runs_into_the_end(section, declared):
    # Each section announces far more elements than follow: the reader must
    # neither reserve room for them all nor wrap around while sizing them.
    element = b"\x00" * 16 if section == 4 else b"\x00"
    data = bytes(section) + bytes.fromhex(declared) + element * 3
    assert decode_error(data) == end(16 if section == 4 else 1)


def test_huge_declared_length_with_long_input():
    data = bytes.fromhex("fdffffffffffffffff") + b"\x07" * 100_000 + b"\xfb\x01"
    assert decode_error(data) == end(1)
    keys = bytes(4) + bytes.fromhex("fdffffffffffffffff") + bytes(16 * 1000 + 9)
    assert decode_error(keys) == end(7)


# --- properties ------------------------------------------------------------

u32 = st.one_of(
    st.integers(0, 250),
    st.integers(251, 0xFFFF),
    st.integers(0x10000, MAX_U32),
    st.sampled_from([0, 250, 251, 0xFFFF, 0x10000, MAX_U32]),
)
labels = st.one_of(st.just("\0"), st.characters(exclude_categories=["Cs"]))
payloads = st.none() | st.tuples(u32, st.lists(u32, max_size=4), st.lists(u32, max_size=4))
indexes = st.tuples(
    st.lists(u32, max_size=12),
    st.lists(labels, max_size=12),
    st.lists(u32, max_size=12),
    st.lists(payloads, max_size=8),
    st.lists(st.binary(min_size=16, max_size=16), max_size=3),
    st.lists(st.integers(0, 1), max_size=12),
)

# Long payload lists, with enough input after them that the reader takes
# their one-byte values many at a time: runs that end anywhere, lists longer
# than one step, and inputs that end just after a list.
one_byte_mostly = st.one_of(st.integers(0, 250), st.integers(0, 250), u32)
long_lists = st.lists(one_byte_mostly, max_size=40)
long_list_indexes = st.builds(
    lambda payloads, keys: index_of(payloads=payloads, video_index=[bytes(range(16))] * keys),
    st.lists(st.tuples(u32, long_lists, long_lists), min_size=1, max_size=3),
    st.integers(0, 3),
)


@given(indexes)
def test_round_trip(index):
    data = encode(index)
    assert round_trip(data) == data


@given(indexes, st.binary(max_size=20))
def test_round_trip_ignores_what_follows(index, suffix):
    data = encode(index)
    assert round_trip(data + suffix) == data


@given(indexes | long_list_indexes, st.data())
def test_any_valid_form_rewrites_to_the_shortest(index, data):
    def any_form(value, widest):
        return data.draw(st.sampled_from(compact_forms(value, widest)))

    wide = encode(index, any_form)
    assert round_trip(wide) == encode(index)


@given(indexes | long_list_indexes, st.data())
def test_truncation_reports_what_the_piece_lacks(index, data):
    pieces = encode_pieces(index)
    whole = b"".join(pieces)
    cut = data.draw(st.integers(0, len(whole) - 1))
    piece_end = 0
    for piece in pieces:
        piece_end += len(piece)
        if piece_end > cut:
            break
    assert decode_error(whole[:cut]) == end(piece_end - cut)


@given(st.binary(max_size=64))
def test_arbitrary_bytes_decode_or_fail_cleanly(data):
    try:
        encoded = round_trip(data)
    except ValueError as error:
        assert str(error).startswith("decode error: ")
    else:
        assert round_trip(encoded) == encoded
        assert len(encoded) <= len(data)  # shortest forms, no trailing bytes


# --- long payload lists: distinct values, and markers at each place --------

@pytest.mark.parametrize("size", [1, 15, 16, 17, 40])
@pytest.mark.parametrize("wide_at", [None, 0, 8, 15, 16])
@pytest.mark.parametrize("keys", [0, 4])
def test_distinct_values_in_long_lists_round_trip(size, wide_at, keys):
    ids = list(range(1, size + 1))
    if wide_at is not None and wide_at < size:
        ids[wide_at] = 0x12345
    counts = [250 - v for v in ids[::-1] if v <= 250]
    index = index_of(payloads=[(3, ids, counts)], video_index=[bytes(range(16))] * keys)
    assert round_trip(encode(index)) == encode(index)


@pytest.mark.parametrize("at", [0, 1, 14, 15, 16, 17, 31, 32, 39])
@pytest.mark.parametrize("marker, found", [(0xFD, "U64"), (0xFE, "U128"), (0xFF, "Reserved")])
def test_bad_marker_anywhere_in_a_long_list(at, marker, found):
    ids = bytearray(b"\x07" * 40)
    ids[at] = marker
    data = TAG + b"\x01\x00\x28" + bytes(ids) + b"\x00" + bytes(64)
    assert decode_error(data) == integer_type("U32", found)
