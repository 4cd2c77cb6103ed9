"""The index file: Index.save writes it, quellnor.open maps it, pickling
carries it. What opens answers exactly as the index that was saved; what is
damaged, of another kind or of a later version is refused with ValueError,
or at worst makes a query raise PanicException, never worse."""

import os
import pickle
import struct
import uuid

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from sanitizer import UNDER_SANITIZER
from trie_bytes import Index as Arrays, Payload, encode

quellnor = pytest.importorskip("quellnor")
Index = quellnor.Index

HEADER = struct.Struct("<8sIIQQQQQQ")  # magic, version, sections, flags, terms, nodes, slots, videos, length
SECTION = struct.Struct("<IIQQ")  # id, element size, offset, count
VIDEOS = [uuid.UUID(int=i + 1) for i in range(4)]
ROWS = [("London", VIDEOS[0], 5), ("london", VIDEOS[1], 2), ("Londoner", VIDEOS[2], 1), ("café", VIDEOS[3], 3),
        ("cafe", VIDEOS[0], 1), ("naïve", VIDEOS[1], 4)]


@pytest.fixture(scope="module")
def built():
    return quellnor.build_index(ROWS)


@pytest.fixture(scope="module")
def saved(built, tmp_path_factory):
    path = tmp_path_factory.mktemp("saved") / "catalogue.qix"
    built.save(path)
    return path


def answers(index, queries):
    """Everything an index says about `queries`, and its terms."""
    out = [list(index), index.to_bytes(), index.folded, len(index)]
    for q in queries:
        out += [index.suggest(q, 50), index.suggest_videos(q, 50), index.fuzzy_match(q, 2),
                index.fuzzy_match_video(q, 2, None, True), index.weight(q), q in index]
    return out


rows_strategy = st.lists(st.tuples(st.text("abAé", min_size=1, max_size=8), st.sampled_from(VIDEOS),
                                   st.integers(0, 2**32 - 1)), max_size=15)


# Queries of six and more code points take the walks that the reversed terms
# and the tail index kept in the file steer.
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows_strategy, st.booleans(), st.lists(st.text("abAé", max_size=9), min_size=1, max_size=3))
def test_every_way_through_the_file_answers_as_the_index_saved(tmp_path, rows, fold, queries):
    index = quellnor.build_index(rows, fold=fold)
    path = tmp_path / "index.qix"
    index.save(path)
    expected = answers(index, queries)
    for again in (quellnor.open(path), quellnor.open(str(path), verify=True),
                  pickle.loads(pickle.dumps(quellnor.open(path))), Index._from_file_bytes(path.read_bytes(), True)):
        assert again == index and type(again) is Index
        assert answers(again, queries) == expected
    assert quellnor.open(path)._file_bytes() == path.read_bytes() == index._file_bytes()


def test_a_trie_that_is_not_a_tree_goes_through_the_file_and_still_says_so(tmp_path):
    arrays = Arrays(node_shifts=[0, 2, 3, 3], child_labels=["\0", "a", "b", "c"], child_transitions=[1, 2, 3, 3],
                    payloads=[None, None, None, Payload(1, [0], [1])], video_index=[b"\x01" * 16],
                    is_terminal=[False, False, False, True])
    Index.from_bytes(encode(arrays)).save(tmp_path / "tangled.qix")
    for verify in (False, True):
        opened = quellnor.open(tmp_path / "tangled.qix", verify=verify)
        assert opened.to_bytes() == encode(arrays) and opened.fuzzy_match("ac", 0) == [("ac", 1, 0)]
        with pytest.raises(quellnor.PanicException, match="not a tree"):
            opened.suggest("a")


def test_nodes_the_root_does_not_reach_go_through_the_file(tmp_path):
    # Nodes 2 and 3 hang below node 2 itself, out of every walk's reach. The
    # file once kept a tail index listing only the reached nodes, which its
    # reader then refused as short.
    arrays = Arrays(node_shifts=[0, 1, 1, 3], child_labels=["\0", "a", "b", "c"], child_transitions=[1, 2, 3],
                    payloads=[None, Payload(1, [0], [1]), None, Payload(1, [0], [1])], video_index=[b"\x01" * 16],
                    is_terminal=[False, True, False, True])
    index = Index.from_bytes(encode(arrays))
    index.save(tmp_path / "unreached.qix")
    for verify in (False, True):
        opened = quellnor.open(tmp_path / "unreached.qix", verify=verify)
        for query in ("a", "abcdefg"):
            assert opened.fuzzy_match_video(query, 2, None, True) == index.fuzzy_match_video(query, 2, None, True)
            assert opened.suggest(query, 3, max_dist=2) == index.suggest(query, 3, max_dist=2)


def sections(data):
    count = HEADER.unpack_from(data)[2]
    return [SECTION.unpack_from(data, HEADER.size + i * SECTION.size) for i in range(count)]


def with_header(data, **fields):
    names = ["magic", "version", "sections", "flags", "terms", "nodes", "slots", "videos", "length"]
    values = dict(zip(names, HEADER.unpack_from(data)))
    values.update(fields)
    return HEADER.pack(*(values[n] for n in names)) + data[HEADER.size:]


def with_section(data, index, **fields):
    names = ["id", "size", "offset", "count"]
    values = dict(zip(names, sections(data)[index]))
    values.update(fields)
    at = HEADER.size + index * SECTION.size
    return data[:at] + SECTION.pack(*(values[n] for n in names)) + data[at + SECTION.size:]


def first_of_id(data, wanted):
    return next(i for i, s in enumerate(sections(data)) if s[0] == wanted)


DAMAGE = [
    (lambda d, trie: b"", "not a quellnor index file: it is empty"),
    (lambda d, trie: trie, "not a quellnor index file: it starts with"),
    (lambda d, trie: d[:5], "not a quellnor index file: it starts with 89 51 4c 4e 52"),
    (lambda d, trie: d[:40], "cut short: 40 bytes, no whole header"),
    (lambda d, trie: with_header(d, version=2), r"index file format version 2 is newer than this quellnor understands \(1\)"),
    (lambda d, trie: with_header(d, version=0), "version 0 is not one quellnor writes"),
    (lambda d, trie: d[:-1], "index file cut short"),
    (lambda d, trie: d + b"\0", "index file too long"),
    (lambda d, trie: with_header(d, flags=8), "unknown flags 8"),
    (lambda d, trie: with_header(d, flags=4), "lacks section 32"),
    (lambda d, trie: with_header(d, sections=10**6), "claims 1000000 sections"),
    (lambda d, trie: with_header(d, sections=200), "cut short inside its section table"),
    (lambda d, trie: with_header(d, nodes=HEADER.unpack_from(d)[5] + 1), "child_labels has .* where the header says"),
    (lambda d, trie: with_header(d, videos=99), "video keys has .* where the header says 99"),
    (lambda d, trie: with_section(d, 0, offset=sections(d)[0][2] + 4), "section 1 is not aligned"),
    (lambda d, trie: with_section(d, 0, count=2**61), "section 1 runs past the end of the file"),
    (lambda d, trie: with_section(d, 0, offset=2**64 - 64), "section 1 runs past the end of the file"),
    (lambda d, trie: with_section(d, 2, size=8), "section 3 has elements of 8 bytes"),
    (lambda d, trie: with_section(d, 1, id=1), "section 1 comes twice"),
    (lambda d, trie: with_section(d, 1, id=99), "lacks section 2"),
    (lambda d, trie: with_section(d, first_of_id(d, 5), count=1), "payload arrays of different lengths"),
    (lambda d, trie: with_section(d, first_of_id(d, 22), count=0), "spellings: one end per node"),
    (lambda d, trie: with_section(d, first_of_id(d, 38), count=0), "reversed forward nodes has 0 entries"),
    (lambda d, trie: with_section(d, first_of_id(d, 33), id=99), "some of the reversed terms' sections"),
    (lambda d, trie: with_section(d, first_of_id(d, 41), count=0), "tail order has 0 entries"),
    (lambda d, trie: with_section(d, first_of_id(d, 40), id=99), "some of the tail index's sections"),
    (lambda d, trie: with_section(d, first_of_id(d, 42), count=1), "tail ranks has 1 entries"),
]


@pytest.mark.parametrize("damage, message", DAMAGE)
def test_what_is_not_a_whole_index_file_of_this_version_is_refused(saved, tmp_path, damage, message):
    data = damage(saved.read_bytes(), quellnor.open(saved).to_bytes())
    path = tmp_path / "damaged.qix"
    path.write_bytes(data)
    for load in (lambda: quellnor.open(path), lambda: quellnor.open(path, verify=True),
                 lambda: Index._from_file_bytes(data, False)):
        with pytest.raises(ValueError, match=message):
            load()


def test_an_unknown_section_is_skipped(tmp_path):
    """A later version may add sections: this one reads past them. Renaming
    the optional section that says why a table is unusable leaves the index
    whole, with a message of its own."""
    arrays = Arrays(node_shifts=[0, 2, 3, 3], child_labels=["\0", "a", "b", "c"], child_transitions=[1, 2, 3, 3],
                    payloads=[None, None, None, Payload(1, [0], [1])], video_index=[b"\x01" * 16],
                    is_terminal=[False, False, False, True])
    data = Index.from_bytes(encode(arrays))._file_bytes()
    later = Index._from_file_bytes(with_section(data, first_of_id(data, 24), id=200, size=7), False)
    assert later.to_bytes() == encode(arrays)
    with pytest.raises(quellnor.PanicException, match="the suggestion table is unusable"):
        later.suggest("a")


def calls(index):
    return [lambda: list(index), lambda: index.suggest("lond", 5), lambda: index.suggest_videos("caf", 5),
            lambda: index.fuzzy_match("londn", 2), lambda: index.fuzzy_match_video("cafe", 1, None, True),
            lambda: index.suggest("", 3), lambda: index.weight("naive"), lambda: index.prefix_search().to_bytes()]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 10**9), st.integers(0, 255)), min_size=1, max_size=4))
def test_damaged_bytes_never_do_worse_than_an_exception(built, overwrites):
    """Overwritten bytes anywhere: opening refuses them or gives an index whose
    calls answer or raise; one that passes verification never panics."""
    data = bytearray(built._file_bytes())
    for position, value in overwrites:
        data[HEADER.size + position % (len(data) - HEADER.size)] = value
    data = bytes(data)
    try:
        opened = Index._from_file_bytes(data, False)
    except ValueError:
        return
    for call in calls(opened):
        try:
            call()
        except (ValueError, quellnor.PanicException, MemoryError):
            pass
    try:
        verified = Index._from_file_bytes(data, True)
    except ValueError:
        return
    for call in calls(verified):
        call()


def test_save_replaces_the_file_whole_and_a_reader_of_the_old_one_keeps_it(built, tmp_path):
    path = tmp_path / "live.qix"
    built.save(path)
    old = quellnor.open(path)
    other = quellnor.build_index([("guitar", VIDEOS[0], 1)])
    other.save(path)
    assert old == built and old.suggest("lond") == built.suggest("lond")
    assert quellnor.open(path) == other
    assert sorted(os.listdir(tmp_path)) == ["live.qix"]


def test_save_through_a_link_replaces_its_target_and_keeps_the_link(built, tmp_path):
    (tmp_path / "target.qix").write_bytes(b"old")
    os.symlink("target.qix", tmp_path / "link.qix")
    built.save(tmp_path / "link.qix")
    assert os.path.islink(tmp_path / "link.qix")
    assert quellnor.open(tmp_path / "target.qix") == built


@pytest.mark.parametrize("where, error", [("missing/dir/index.qix", FileNotFoundError), (".", IsADirectoryError)])
def test_save_that_fails_leaves_nothing_behind(built, tmp_path, where, error):
    with pytest.raises(error):
        built.save(tmp_path / where)
    assert os.listdir(tmp_path) == []


def test_save_whose_writing_fails_leaves_the_old_file_and_no_temporary(built, tmp_path, monkeypatch):
    path = tmp_path / "kept.qix"
    built.save(path)
    before = path.read_bytes()

    def broken(self, fd):
        os.write(fd, b"partial")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(Index, "_write_file", broken)
    with pytest.raises(OSError, match="No space left"):
        built.save(path)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["kept.qix"]


def test_save_to_a_device_writes_to_it_as_it_is(built):
    built.save(os.devnull)
    assert os.path.exists(os.devnull) and not os.path.isfile(os.devnull)


def fifo(directory):
    os.mkfifo(directory / "pipe.qix")
    return directory / "pipe.qix"


@pytest.mark.parametrize("make, error, message", [
    (lambda p: p / "absent.qix", FileNotFoundError, "absent.qix"),
    (lambda p: p, ValueError, "is not a regular file"),
    (fifo, ValueError, "pipe.qix is not a regular file"),  # refused at once, not waiting for a writer
])
def test_open_says_what_it_could_not_open(tmp_path, make, error, message):
    with pytest.raises(error, match=message):
        quellnor.open(make(tmp_path))


def test_open_takes_only_a_bool_for_verify(saved):
    with pytest.raises(TypeError, match="'verify' must be bool"):
        quellnor.open(saved, verify=1)
    with pytest.raises(TypeError):
        quellnor.open(saved, True)


def test_an_index_outlives_the_name_of_its_file(built, tmp_path):
    path = tmp_path / "gone.qix"
    built.save(path)
    opened = quellnor.open(path)
    path.unlink()
    assert opened == built and opened.suggest("nai") == built.suggest("nai")


LOAD_AND_DROP = """
import os, pickle, sys, uuid
import quellnor
def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
videos = [uuid.UUID(int=i + 1) for i in range(50)]
letters = "abcdefghijklmnopqrst"
rows = [(a + b + c + d, videos[i % 50], i) for i, (a, b, c, d) in enumerate(
    (a, b, c, d) for a in letters for b in letters for c in letters for d in letters[:5])]
index = quellnor.build_index(rows)
index.save(sys.argv[1])
pickled = pickle.dumps(index)
size = len(index._file_bytes())
del index, rows
def loads(round_):
    loaded = pickle.loads(pickled) if round_ % 2 else quellnor.open(sys.argv[1])
    loaded.suggest("abc", 3)
for round_ in range(6):  # the collector and the JIT settle
    loads(round_)
baseline = peak = resident()
for round_ in range(60):
    loads(round_)
    peak = max(peak, resident())
print(size, peak - baseline)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
@pytest.mark.skipif(UNDER_SANITIZER,
                    reason="the sanitizer keeps freed memory in quarantine, so the resident size only grows")
def test_loading_and_dropping_indexes_stays_bounded(tmp_path):
    """On PyPy the collector is told what each index holds natively, so a
    loop that loads and drops indexes frees them as it goes instead of
    growing by a copy per round (on CPython the last reference frees them)."""
    import subprocess
    import sys

    child = subprocess.run([sys.executable, "-c", LOAD_AND_DROP, str(tmp_path / "big.qix")],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    size, growth = map(int, child.stdout.split())
    assert growth < 10 * size, (growth, size)


@pytest.mark.parametrize("label", [0x110000, 0xD800])
def test_verification_refuses_a_label_that_is_no_code_point(saved, tmp_path, label):
    """Found by the damage property: open maps such a file (labels are read
    as numbers), to_bytes then faults; verify refuses it up front."""
    data = bytearray(saved.read_bytes())
    labels = sections(bytes(data))[first_of_id(bytes(data), 2)]
    struct.pack_into("<I", data, labels[2] + 4, label)  # node 1's label
    (tmp_path / "label.qix").write_bytes(bytes(data))
    with pytest.raises(quellnor.PanicException, match="label is"):
        quellnor.open(tmp_path / "label.qix").to_bytes()
    with pytest.raises(ValueError, match="label of node 1 is not a Unicode scalar value"):
        quellnor.open(tmp_path / "label.qix", verify=True)


@pytest.mark.parametrize("ids", [["v-a", "v-b", "v-c", "v-d"], [40, -2, 7, 2**62]], ids=["str", "int"])
@pytest.mark.parametrize("route", ["open", "verify", "pickle", "from_bytes"])
def test_the_callers_own_video_ids_come_back_through_the_file(tmp_path, ids, route):
    rows = [(term, ids[VIDEOS.index(video)], count) for term, video, count in ROWS]
    built = quellnor.build_index(rows)
    path = tmp_path / "ids.qix"
    built.save(path)
    again = {
        "open": lambda: quellnor.open(path),
        "verify": lambda: quellnor.open(path, verify=True),
        "pickle": lambda: pickle.loads(pickle.dumps(built)),
        "from_bytes": lambda: Index.from_bytes(path.read_bytes()),
    }[route]()
    assert again.video_key_kind == built.video_key_kind == type(ids[0]).__name__
    for text in ["london", "cafe", "l", "naive"]:
        assert again.suggest_videos(text, 10) == built.suggest_videos(text, 10)
        assert again.fuzzy_match_video(text, 1) == built.fuzzy_match_video(text, 1)
    assert {video for video, _ in again.suggest_videos("", 10, max_dist=3)} <= set(ids)


@pytest.mark.parametrize("section", [33, 34, 37, 38, 39, 40, 41, 42])
def test_reversed_terms_that_lie_are_caught_by_verify_and_survived_without(saved, tmp_path, section):
    """The reversed terms and the tail index the file keeps steer the walks at
    one and two edits: verification derives them afresh and compares;
    without it, a query on lying ones answers or raises PanicException, and
    never reads astray."""
    data = bytearray(saved.read_bytes())
    _, size, offset, count = sections(data)[first_of_id(data, section)]
    for i in range(count):
        data[offset + i * size] ^= 0x5A
    path = tmp_path / "lying.qix"
    path.write_bytes(bytes(data))
    lie = "the tail index is not" if section >= 40 else "the reversed terms are not"
    with pytest.raises(ValueError, match=lie):
        quellnor.open(path, verify=True)
    lying = quellnor.open(path)
    for query in ["london", "londoner", "naive", "cafes"]:
        for max_dist in (1, 2):
            try:
                lying.fuzzy_match(query, max_dist)
                lying.fuzzy_match_video(query, max_dist)
                lying.fuzzy_match_video(query, max_dist, None, True)
                lying.suggest_videos(query, 10, max_dist=max_dist)
            except quellnor.PanicException:
                pass


def test_a_kept_tail_index_that_does_not_fit_is_left_for_the_plain_walk(saved, built, tmp_path):
    """A parent after its child could send a climb round a cycle for ever: a
    kept tail index is looked over once before any walk trusts it, and one
    that does not fit is not used."""
    data = bytearray(saved.read_bytes())
    _, _, offset, count = sections(data)[first_of_id(data, 40)]
    last = count - 1
    struct.pack_into("<I", data, offset + 4 * last, last)  # the last node, its own parent
    struct.pack_into("<I", data, offset + 4 * 1, last)  # node 1 below it
    path = tmp_path / "cycle.qix"
    path.write_bytes(bytes(data))
    damaged = quellnor.open(path)
    for query in ["londonre", "lodnoner", "Londonr"]:
        for max_dist in (1, 2):
            assert damaged.suggest(query, 10, max_dist=max_dist) == built.suggest(query, 10, max_dist=max_dist)
            assert damaged.fuzzy_match_video(query, max_dist, None, True) == \
                built.fuzzy_match_video(query, max_dist, None, True)


def test_a_file_keeps_what_queries_derived_before_it_was_written():
    """Reversed terms and a tail index derived by queries are written as they
    are, and make the same file as those derived for the writing."""
    fresh, queried = (quellnor.build_index(ROWS) for _ in range(2))
    queried.fuzzy_match("londoner", 1)  # the split walk: the reversed terms
    queried.suggest("londoner", 5, max_dist=1)  # the tail index
    data = queried._file_bytes()
    assert data == fresh._file_bytes()
    assert {33, 40} <= {s[0] for s in sections(data)}
