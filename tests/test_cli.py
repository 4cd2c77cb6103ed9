"""The quellnor command line: build, query, stats and demo, and its exit codes."""

import gzip
import importlib.metadata
import io
import json
import os
import re
import resource
import signal
import stat
import subprocess
import sys
import threading
import time
import uuid

import pytest
from hypothesis import given
from hypothesis import strategies as st

from sanitizer import UNDER_SANITIZER
from trie_bytes import Index, decode, encode

quellnor = pytest.importorskip("quellnor")
from quellnor.__main__ import main  # noqa: E402
from quellnor._cli import _host, _temporary_affixes  # noqa: E402
from quellnor._format import scan  # noqa: E402

V1, V2, V3 = (str(uuid.UUID(int=i)) for i in (0x11, 0x22, 0x33))
CATALOGUE = f"""term\tvideo\tcount
cat\t{V1}\t6
cat\t{V2}\t4
cart\t{V2}\t9

cap\t{V3}
dog\t{V1}\t1
"""
TERMS = {"cat", "cart", "cap", "dog"}
BOM = b"\xef\xbb\xbf"


def run(argv, capsys):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def command_line(*args, **options):
    """Runs ``python -m quellnor`` in a child process (a Popen)."""
    return subprocess.Popen([sys.executable, "-m", "quellnor", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, **options)


@pytest.fixture
def catalogue(tmp_path):
    path = tmp_path / "catalogue.tsv"
    path.write_text(CATALOGUE, encoding="utf-8")
    return path


@pytest.fixture
def index_file(tmp_path, catalogue, capsys):
    path = tmp_path / "catalogue.idx"
    assert run(["build", catalogue, "-o", path], capsys)[0] == 0
    return path


# --- build -----------------------------------------------------------------


def as_jsonl(text):
    lines = []
    for line in text.splitlines()[1:]:
        if line:
            fields = line.split("\t")
            obj = {"term": fields[0], "video": fields[1], "extra": [1]}
            if len(fields) == 3:
                obj["count"] = int(fields[2])
            lines.append(json.dumps(obj))
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize(
    "name, content, extra",
    [
        ("in.tsv", CATALOGUE, []),
        ("in.tsv.gz", gzip.compress(CATALOGUE.encode()), []),
        ("in.jsonl", as_jsonl(CATALOGUE), []),
        ("in.jsonl.gz", gzip.compress(as_jsonl(CATALOGUE).encode()), []),
        ("in.txt", as_jsonl(CATALOGUE), ["--format", "jsonl"]),
        ("in.txt", CATALOGUE.replace("\n", "\r\n"), []),
        ("in.tsv", BOM + CATALOGUE.encode(), []),
        ("in.jsonl.gz", gzip.compress(BOM + as_jsonl(CATALOGUE).encode()), []),
    ],
    ids=["tsv", "tsv.gz", "jsonl", "jsonl.gz", "--format", "crlf", "bom-tsv", "bom-jsonl.gz"],
)
def test_every_input_form_builds_the_same_index(tmp_path, capsys, index_file, name, content, extra):
    source = tmp_path / name
    if isinstance(content, bytes):
        source.write_bytes(content)
    else:
        source.write_bytes(content.encode())
    out_path = tmp_path / "other.idx"
    code, out, err = run(["build", source, "-o", out_path, *extra], capsys)
    assert (code, err) == (0, "")
    assert "4 terms, 3 videos from 5 rows" in out
    assert out_path.read_bytes() == index_file.read_bytes()


def test_build_reads_standard_input(tmp_path, capsys, monkeypatch, index_file):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(CATALOGUE.encode())))
    assert run(["build", "-", "-o", tmp_path / "stdin.idx"], capsys)[0] == 0
    assert (tmp_path / "stdin.idx").read_bytes() == index_file.read_bytes()


def test_build_writes_what_the_library_builds(index_file):
    expected = quellnor.build_index(
        [("cat", V1, 6), ("cat", V2, 4), ("cart", V2, 9), ("cap", V3, 1), ("dog", V1, 1)])
    built = quellnor.open(index_file)
    assert built.to_bytes() == expected.to_bytes() and not built.folded


def test_top_n_reaches_the_index(tmp_path, catalogue, capsys):
    path = tmp_path / "top1.idx"
    assert run(["build", catalogue, "-o", path, "--top-n", "1"], capsys)[0] == 0
    payloads = decode(quellnor.open(path).to_bytes()).payloads
    assert max(len(p.video_ids) for p in payloads) == 1


@pytest.mark.parametrize(
    "content, line, message",
    [
        (f"cat\t{V1}\t3\ndog\tnot-a-uuid\t3\n", 2, "UUID"),
        (f"cat\t{V1}\t3\ndog\n", 2, "found 1 field"),
        (f"cat\t{V1}\t3\tx\n", 1, "found 4 field"),
        (f"cat\t{V1}\t-3\n", 1, "non-negative"),
        (f"cat\t{V1}\t2.5\n", 1, "non-negative whole number"),
        (f"cat\t{V1}\t3\n\n\t{V1}\t3\n", 3, "non-empty"),
        (b"cat\t" + V1.encode() + b"\t3\ncaf\xe9\t" + V1.encode() + b"\t3\n", 2, "UTF-8"),
        ("term\tvideo\tcount\nterm\tvideo\tcount\n", 2, "the count 'count'"),  # a header only on line 1
        (f"cat\t{V1}\t3\n" + "é" * 1001 + f"\t{V1}\t3\n", 2, "1,001 characters long; at most 1,000"),
        (f"cat\t{V1}\t3\ndog\t{V1}\t" + "1" * (1 << 20) + "\n", 2, "longer than 1,048,576 bytes"),
    ],
)
def test_malformed_tsv_names_the_line(tmp_path, capsys, content, line, message):
    source = tmp_path / "bad.tsv"
    source.write_bytes(content if isinstance(content, bytes) else content.encode())
    target = tmp_path / "out.idx"
    target.write_bytes(b"previous index")
    code, out, err = run(["build", source, "-o", target], capsys)
    assert code == 1 and out == ""
    assert f"{source}:{line}:" in err and message in err
    assert target.read_bytes() == b"previous index"  # left alone
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.tsv", "out.idx"]


@pytest.mark.parametrize(
    "content, line, message",
    [
        ('{"term": "cat", "video": "%s"}\n{"term": "cat"\n' % V1, 2, "not valid JSON"),
        ('["cat", "%s", 1]\n' % V1, 1, "expected a JSON object"),
        ('{"term": "cat"}\n', 1, "no 'video'"),
        ('{"video": "%s", "count": 2}\n' % V1, 1, "no 'term'"),
        ('{"term": "cat", "video": "%s", "count": 1.5}\n' % V1, 1, "count must be a whole number, not 1.5"),
        ('{"term": "cat", "video": "%s", "count": true}\n' % V1, 1, "count must be an int"),
        ('{"term": 7, "video": "%s"}\n' % V1, 1, "non-empty str"),
        ('{"term": "cat", "video": "%s"}\n' % V1 + "[" * 100_000 + "\n", 2, "nested too deeply"),
    ],
)
def test_malformed_jsonl_names_the_line(tmp_path, capsys, content, line, message):
    source = tmp_path / "bad.jsonl"
    source.write_text(content, encoding="utf-8")
    code, _, err = run(["build", source, "-o", tmp_path / "out.idx"], capsys)
    assert code == 1
    assert f"{source}:{line}:" in err and message in err
    assert not (tmp_path / "out.idx").exists()


@pytest.mark.parametrize("make_input", ["missing", "directory", "bad gzip"])
def test_unreadable_input_is_bad_input(tmp_path, capsys, make_input):
    source = tmp_path / "in.tsv.gz"
    if make_input == "directory":
        source.mkdir()
    elif make_input == "bad gzip":
        source.write_bytes(b"this is not gzip data at all")
    code, _, err = run(["build", source, "-o", tmp_path / "out.idx"], capsys)
    assert code == 1 and str(source) in err


def test_unwritable_output_is_bad_input(tmp_path, catalogue, capsys):
    code, _, err = run(["build", catalogue, "-o", tmp_path / "no" / "such" / "dir.idx"], capsys)
    assert code == 1 and "cannot write" in err


# Runs the command line and then reports the peak of its own memory (a
# child's rusage would count the pytest process it was forked from).
REPORTS_PEAK_MEMORY = """
import atexit, runpy, sys
atexit.register(lambda: sys.stderr.write([l for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]))
sys.argv[0] = "quellnor"
runpy.run_module("quellnor", run_name="__main__")
"""


def limit_memory():
    # Should the reading not be bounded, the child fails here rather than
    # taking the machine's memory.
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


@pytest.mark.skipif(UNDER_SANITIZER,
                    reason="the sanitizer's own memory swamps what this measures, and its reservations the limit")
@pytest.mark.parametrize("source", ["/dev/zero", "one long line.tsv.gz"])
def test_a_line_past_the_limit_is_refused_in_bounded_memory(tmp_path, source):
    if source.endswith(".gz"):
        source = tmp_path / source
        with gzip.open(source, "wb") as f:  # 256 MiB in one line, 261 KB compressed
            for _ in range(256):
                f.write(b"a" * (1 << 20))
    done = subprocess.run([sys.executable, "-c", REPORTS_PEAK_MEMORY, "build", str(source), "-o", "out.idx"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120, preexec_fn=limit_memory,
                          check=False)
    error, peak = done.stderr.splitlines()
    assert (done.returncode, error) == (1, f"quellnor: error: {source}:1: the line is longer than 1,048,576 bytes")
    assert int(peak.split()[1]) < 240 << 10  # kB: an interpreter and a line's worth
    assert os.listdir(tmp_path) == ([] if source == "/dev/zero" else [source.name])


@pytest.mark.parametrize("output", ["same name", "symbolic link", "hard link", "standard input"])
def test_build_refuses_to_replace_its_catalogue(tmp_path, catalogue, capsys, monkeypatch, output):
    before = catalogue.read_bytes()
    source, target = catalogue, catalogue
    if output == "symbolic link":
        target = tmp_path / "link.idx"
        target.symlink_to(catalogue)
    elif output == "hard link":
        target = tmp_path / "other name.idx"
        os.link(catalogue, target)
    elif output == "standard input":
        source = "-"
        monkeypatch.setattr(sys, "stdin", open(catalogue, encoding="utf-8"))  # noqa: SIM115
    with pytest.raises(SystemExit) as info:
        main(["build", str(source), "-o", str(target)])
    assert info.value.code == 2
    assert "would replace the catalogue" in capsys.readouterr().err
    assert catalogue.read_bytes() == before


def test_build_to_standard_output(tmp_path, catalogue, index_file):
    child = command_line("build", catalogue, "-o", "-", cwd=tmp_path)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0
    assert out == index_file.read_bytes()
    assert err.decode().startswith("<stdout>: 4 terms, 3 videos")
    assert not (tmp_path / "-").exists()


def test_build_does_not_write_the_index_to_a_terminal(tmp_path, catalogue, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdout", FakeTerminal())
    with pytest.raises(SystemExit) as info:
        main(["build", str(catalogue), "-o", "-"])
    assert info.value.code == 2
    assert "refusing to write the index to a terminal" in capsys.readouterr().err


@pytest.mark.parametrize("existing", [True, False])
def test_build_through_a_symbolic_link_replaces_its_target(tmp_path, catalogue, index_file, capsys, existing):
    target = tmp_path / "real.idx"
    if existing:
        target.write_bytes(b"previous index")
        target.chmod(0o604)
    link = tmp_path / "link.idx"
    link.symlink_to(target)
    assert run(["build", catalogue, "-o", link], capsys)[0] == 0
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_bytes() == index_file.read_bytes()
    if existing:
        assert stat.S_IMODE(target.stat().st_mode) == 0o604  # a replaced file keeps its permissions


def test_build_writes_into_a_named_pipe_and_leaves_it_a_pipe(tmp_path, catalogue, index_file, capsys):
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    received = []
    reader = threading.Thread(target=lambda: received.append(pipe.read_bytes()), daemon=True)
    reader.start()
    assert run(["build", catalogue, "-o", pipe], capsys)[0] == 0
    reader.join(timeout=60)
    assert received == [index_file.read_bytes()]
    assert stat.S_ISFIFO(os.lstat(pipe).st_mode)


def test_ctrl_c_ends_a_build_in_one_line_with_130(tmp_path):
    target = tmp_path / "out.idx"
    target.write_bytes(b"previous index")
    child = command_line("build", "-", "-o", target, stdin=subprocess.PIPE, cwd=tmp_path)
    child.stdin.write(CATALOGUE.encode())
    child.stdin.flush()  # and the build waits for the rest of its catalogue
    # The extension is loaded just before the command line starts reading.
    deadline = time.monotonic() + 60
    while "_quellnor" not in open(f"/proc/{child.pid}/maps").read() and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert (child.returncode, out, err.decode()) == (130, b"", "quellnor: interrupted\n")
    assert target.read_bytes() == b"previous index"
    assert sorted(os.listdir(tmp_path)) == ["out.idx"]


def test_an_interrupted_write_leaves_the_old_index_and_no_temporary(tmp_path, catalogue, capsys, monkeypatch):
    target = tmp_path / "out.idx"
    target.write_bytes(b"previous index")

    def interrupt(fd):
        raise KeyboardInterrupt

    monkeypatch.setattr(os, "fsync", interrupt)  # once the whole index is in the temporary
    assert run(["build", catalogue, "-o", target], capsys)[::2] == (130, "quellnor: interrupted\n")
    assert target.read_bytes() == b"previous index"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["catalogue.tsv", "out.idx"]


def test_a_build_removes_the_temporaries_of_writers_that_died(tmp_path, catalogue, capsys):
    dead = subprocess.Popen([sys.executable, "-c", ""])
    dead.wait()

    def temporary(pid, host=_host()):
        prefix, suffix = _temporary_affixes(pid)
        return prefix + "abcd_123" + suffix.replace(_host(), host)

    left = {"dead": temporary(dead.pid), "running": temporary(os.getpid()),
            "elsewhere": temporary(dead.pid, "another-host")}
    for name in left.values():
        (tmp_path / name).write_bytes(b"part of an index")
    assert run(["build", catalogue, "-o", tmp_path / "out.idx"], capsys)[0] == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["catalogue.tsv", "out.idx", left["running"], left["elsewhere"]])


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("terminal", [True, False])
def test_progress_shows_only_on_a_terminal(tmp_path, catalogue, monkeypatch, terminal):
    err = FakeTerminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", err)
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    assert main(["build", str(catalogue), "-o", str(tmp_path / "x.idx")]) == 0
    text = err.getvalue()
    if terminal:
        assert "reading" in text and "building the index of 4 terms" in text
        assert text.endswith("\r\x1b[K")  # the status line is cleared at the end
    else:
        assert text == ""


# --- query -----------------------------------------------------------------


def table(out):
    lines = out.splitlines()
    return lines[0].split(), [line.split() for line in lines[1:]]


@pytest.mark.parametrize(
    "args, rows",
    [
        (["cat"], [["cap", "1"], ["cart", "1"], ["cat", "0"]]),
        (["cat", "--max-dist", "0"], [["cat", "0"]]),
        (["cat", "--limit", "2"], [["cap", "1"], ["cart", "1"]]),
        (["cat", "--limit", "0"], None),
        (["dgo", "--max-dist", "2"], [["dog", "2"]]),
        (["cat", "--limit", str(2**64 - 1)], [["cap", "1"], ["cart", "1"], ["cat", "0"]]),
    ],
)
def test_query_prints_terms(index_file, capsys, args, rows):
    code, out, err = run(["query", index_file, *args], capsys)
    assert (code, err) == (0, "")
    if rows is None:
        assert out == "no terms\n"
    else:
        assert table(out) == (["TERM", "DISTANCE"], rows)


def test_query_videos_prints_a_ranking(index_file, capsys):
    code, out, _ = run(["query", index_file, "cat", "--max-dist", "0", "--videos"], capsys)
    assert code == 0
    headers, rows = table(out)
    assert headers == ["RANK", "VIDEO", "SHARE"]
    assert rows == [["1", V1, "60.00%"], ["2", V2, "40.00%"]]


@pytest.mark.parametrize(
    "mode, found",
    [("auto", True), ("yes", True), ("no", False)],
)
def test_query_prefix_nodes_modes(index_file, capsys, mode, found):
    # "ca" ends no term, so only prefix nodes can answer it at distance 0.
    code, out, _ = run(["query", index_file, "ca", "--max-dist", "0", "--videos", "--prefix-nodes", mode], capsys)
    assert code == 0
    assert (out != "no videos\n") is found


def test_query_without_hits_says_so(index_file, capsys):
    assert run(["query", index_file, "zzzzz"], capsys)[1] == "no terms\n"


@pytest.mark.parametrize("content", [b"", b"\xff\xff", b"not an index"])
def test_query_of_a_corrupt_index_is_bad_input(tmp_path, capsys, content):
    path = tmp_path / "bad.idx"
    path.write_bytes(content)
    code, out, err = run(["query", path, "cat"], capsys)
    assert code == 1 and out == ""
    # The readable account that stats gives, not the decoder's own message.
    assert err.startswith(f"quellnor: error: {path}: not an index: ")
    assert err == run(["stats", path], capsys)[2]


def test_query_of_an_inconsistent_index_is_bad_input(tmp_path, capsys):
    # Decodes, but the root's only child lies past the end of the node arrays.
    broken = Index(node_shifts=[0], child_labels=["\0"], child_transitions=[5], payloads=[None],
                   video_index=[], is_terminal=[False])
    path = tmp_path / "broken.idx"
    path.write_bytes(encode(broken))
    code, out, err = run(["query", path, "cat"], capsys)
    assert code == 1 and out == "" and "the index is corrupt" in err


# --- stats -----------------------------------------------------------------


def test_stats_counts_the_index(index_file, capsys):
    code, out, _ = run(["stats", index_file], capsys)
    assert code == 0
    values = dict(re.findall(r"^  (\w[\w ]*?)\s+([\d,]+)$", out, re.M))
    index = decode(quellnor.open(index_file).to_bytes())
    assert values == {
        "nodes": str(len(index.child_labels)),
        "edges": str(len(index.child_transitions)),
        "terms": "4",
        "videos": "3",
        "payload entries": str(sum(len(p.video_ids) for p in index.payloads)),
        "total count": "21",
        "bytes": f"{index_file.stat().st_size:,}",
    }


rows_strategy = st.lists(
    st.tuples(st.text(alphabet="ab€😀", min_size=1, max_size=5), st.integers(0, 300), st.integers(0, 70000)),
    max_size=20,
)


@given(rows=rows_strategy, top_n=st.integers(0, 4))
def test_scan_agrees_with_an_independent_decoder(rows, top_n):
    data = quellnor.build_index([(t, uuid.UUID(int=v), c) for t, v, c in rows], video_top_n=top_n).to_bytes()
    index = decode(data)
    stats = scan(data)
    assert (stats.nodes, stats.edges, stats.terms, stats.videos, stats.size) == (
        len(index.child_labels), len(index.child_transitions), sum(index.is_terminal),
        len(index.video_index), len(data))
    assert stats.payload_entries == sum(len(p.video_ids) for p in index.payloads)
    assert stats.root_total == index.payloads[0].total_count
    # Every cut of a valid index is refused.
    for end in sorted({0, 1, len(data) // 3, len(data) // 2, len(data) - 17, len(data) - 1}):
        if 0 <= end < len(data):
            with pytest.raises(ValueError, match="not an index"):
                scan(data[:end])


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\x00\x01\xff", "invalid UTF-8 lead byte 0xFF"),
        (b"\x00\x01\xed\xa0\x80", "invalid UTF-8"),  # an encoded surrogate
        (b"\x01\xfd" + bytes(8), "invalid integer marker 0xFD"),
        (b"\xfe", "invalid length marker 0xFE"),
        (b"\x00\x00\x00\x01\x02", "invalid payload tag 2"),
        (b"\x00\x00\x00\x00\x00\x02\x01\x05", "invalid flag byte 5"),
    ],
)
def test_scan_refuses_malformed_values(data, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        scan(data)


def test_stats_of_a_truncated_index_is_bad_input(tmp_path, index_file, capsys):
    path = tmp_path / "cut.idx"
    path.write_bytes(index_file.read_bytes()[:-3])
    code, _, err = run(["stats", path], capsys)
    assert code == 1 and "cut short" in err
    path.write_bytes(quellnor.open(index_file).to_bytes()[:-3])
    code, _, err = run(["stats", path], capsys)
    assert code == 1 and "ends inside" in err
    assert run(["stats", tmp_path / "missing.idx"], capsys)[0] == 1


# --- usage and demo ----------------------------------------------------------


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["frobnicate"],
        ["build", "in.tsv"],
        ["build", "in.tsv", "-o", "x.idx", "--top-n", "-1"],
        ["build", "in.tsv", "-o", "x.idx", "--top-n", str(2**64)],
        ["build", "in.tsv", "-o", "x.idx", "--format", "csv"],
        ["query", "x.idx"],
        ["query", "x.idx", "cat", "--max-dist", "two"],
        ["query", "x.idx", "cat", "--max-dist", str(2**32)],
        ["query", "x.idx", "cat", "--limit", str(2**64)],
        ["query", "x.idx", "cat", "--prefix-nodes", "maybe"],
        ["query", "x.idx", "cat", "--suggest", "--k", "-1"],
        ["stats"],
    ],
)
def test_usage_errors_exit_with_2(capsys, argv):
    with pytest.raises(SystemExit) as info:
        main(argv)
    assert info.value.code == 2
    assert "usage:" in capsys.readouterr().err


def test_version_is_the_installed_packages(capsys):
    with pytest.raises(SystemExit) as info:
        main(["--version"])
    assert info.value.code == 0
    assert capsys.readouterr().out == f"quellnor {importlib.metadata.version('quellnor')}\n"


def test_demo_finds_terms_and_videos_for_every_query(capsys):
    from quellnor._cli import DEMO_QUERIES

    code, out, _ = run(["demo"], capsys)
    assert code == 0
    assert re.search(r"Sample catalogue: [\d,]+ rows, [\d,]+ terms", out)
    blocks = out.split("\n> ")[1:]
    assert len(blocks) == len(DEMO_QUERIES)
    for block, (term, _, _) in zip(blocks, DEMO_QUERIES):
        assert block.startswith(repr(term))
        assert re.search(r"^    1\. [0-9a-f-]{36} +\d+\.\d\d%$", block, re.M), block


def test_demo_types_misspelt_words_one_key_at_a_time(capsys):
    from quellnor._cli import DEMO_KEYSTROKES

    out = run(["demo"], capsys)[1]
    typed = re.findall(r"^  \[(.+)\]$", out, re.M)
    assert typed == [w[:n] for w in DEMO_KEYSTROKES for n in range(1, len(w) + 1)]
    # The whole misspelt word finds what was meant, at one edit.
    for word, meant in [("mountian", "mountain"), ("giutar", "guitar")]:
        assert re.search(rf"^  \[{word}\]\n +1\. {meant} +1 ", out, re.M)


@pytest.mark.parametrize("args, blocks", [
    # "ct" is two characters, so no edit is allowed; "cta" is "cat" swapped.
    (["cta", "--suggest"], {"c": ["cat 10", "cart 9", "cap 1"], "ct": [], "cta": ["cat 10", "cart 9", "cap 1"]}),
    (["cta", "--suggest", "--k", "1", "--max-dist", "0"], {"c": ["cat 10"], "ct": [], "cta": []}),
])
def test_query_suggest_shows_each_keystroke(index_file, capsys, args, blocks):
    code, out, err = run(["query", index_file, *args], capsys)
    assert (code, err) == (0, "")
    shown = {}
    for block in out.split("  [")[1:]:
        typed, _, rest = block.partition("]\n")
        shown[typed] = [" ".join(line.split()[1::2]) for line in rest.splitlines() if line.strip()[0].isdigit()]
    assert shown == blocks


def test_query_suggest_with_videos(index_file, capsys):
    out = run(["query", index_file, "ca", "--suggest", "--videos", "--k", "2"], capsys)[1]
    assert f"videos: {V2} " in out and out.count("videos:") == 2


def test_python_dash_m_runs_the_command_line(index_file):
    done = subprocess.run([sys.executable, "-m", "quellnor", "query", str(index_file), "cart", "--max-dist", "0"],
                          capture_output=True, text=True, timeout=120, check=False,
                          env={**os.environ, "PYTHONIOENCODING": "utf-8"})
    assert (done.returncode, done.stderr) == (0, "")
    assert table(done.stdout) == (["TERM", "DISTANCE"], [["cart", "0"]])
    assert subprocess.run([sys.executable, "-m", "quellnor"], capture_output=True, timeout=120,
                          check=False).returncode == 2
