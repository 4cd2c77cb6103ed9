"""The ``quellnor`` command line: build, query, stats and demo.

Exit codes: 0 success, 1 bad input (a malformed catalogue, an unreadable or
corrupt file), 2 a usage error (reported by argparse), 130 interrupted.
"""

from __future__ import annotations

import argparse
import gzip
import os
import stat
import sys
import time
from importlib import resources
from typing import IO, Callable, List, Optional, Sequence, Tuple

from _quellnor import IndexCore

from . import __version__
from ._builder import DEFAULT_VIDEO_TOP_N, IndexBuilder, _gc_paused
from ._files import _host, _temporary_affixes, write_atomically  # noqa: F401 (names the tests use)
from ._format import scan
from ._index_file import is_index_file
from ._index import Index
from ._input import FORMATS, MAX_LINE_BYTES, MAX_TERM_CHARS, InputError, load_catalogue, load_lines
from ._keystrokes import show_keystrokes
from ._panic import PanicException

__all__ = ["main"]

PROG = "quellnor"
SAMPLE = "sample_catalogue.tsv.gz"
EXIT_INTERRUPTED = 130  # what a shell reports for a command ended by SIGINT

# (query, max_dist, what it shows) for ``quellnor demo``.
DEMO_QUERIES: Tuple[Tuple[str, int, str], ...] = (
    ("choclate", 1, "a letter left out"),
    ("vulcano", 1, "a wrong letter"),
    ("mountian", 2, "two letters swapped: two edits"),
    ("nitting", 1, "a silent letter left out"),
    ("guitar", 1, "an exact term: its one-edit neighbours weigh far less"),
    ("photogr", 1, "unfinished: no whole term within one edit, so prefix nodes rank"),
    ("telescop", 1, "unfinished, but one edit away from a whole term"),
)

# Misspelt words that ``quellnor demo`` types one key at a time.
DEMO_KEYSTROKES: Tuple[str, ...] = ("giutar", "mountian")


class _Failure(Exception):
    """Bad input: reported on stderr, exit code 1."""


class _Misuse(Exception):
    """Arguments that cannot be carried out as given: a usage error, exit code 2."""


# --- argument parsing -------------------------------------------------------


def _whole_number(maximum: int) -> Callable[[str], int]:
    """An argparse type: a whole number from 0 to ``maximum``."""

    def parse(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if value < 0:
            raise argparse.ArgumentTypeError(f"{text!r} is negative")
        if value > maximum:
            raise argparse.ArgumentTypeError(f"{text!r} is larger than {maximum:,}")
        return value

    return parse


def _positive(maximum: int) -> Callable[[str], int]:
    """An argparse type: a whole number from 1 to ``maximum``."""
    whole = _whole_number(maximum)

    def parse(text: str) -> int:
        value = whole(text)
        if value == 0:
            raise argparse.ArgumentTypeError(f"{text!r} is not at least 1")
        return value

    return parse


_TOP_N = _whole_number(2**64 - 1)
_DISTANCE = _whole_number(2**32 - 1)
_LIMIT = _whole_number(2 * sys.maxsize + 1)  # an unsigned machine word
_SUGGESTIONS = _whole_number(10_000)
_DEFAULT_MAX_DIST = 1


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Typo-tolerant search over a trie of terms and the videos behind them.",
        epilog="Exit codes: 0 success, 1 bad input, 2 usage error, 130 interrupted.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name: str, run: Callable[[argparse.Namespace, IO[str], IO[str]], int], summary: str,
                description: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=description)
        sub.set_defaults(run=run, parser=sub)
        return sub

    build = command(
        "build", _cmd_build, "build an index from a catalogue of term, video, count rows",
        "Build an index from tab-separated term<TAB>video<TAB>count lines "
        "(or JSON Lines objects with term, video and count, or Parquet with those columns). "
        "Videos are UUIDs, or the catalogue's own text or integer ids (one kind per catalogue); "
        "a missing count is 1; a .gz input is decompressed; a UTF-8 byte-order mark "
        "at the start is ignored; INPUT - reads standard input. A line may hold at most "
        f"{MAX_LINE_BYTES:,} bytes (1 MiB, its line break included) and a term at most "
        f"{MAX_TERM_CHARS:,} characters.",
    )
    build.add_argument("input", metavar="INPUT", help="the catalogue (.tsv, .jsonl, optionally .gz; - for stdin)")
    build.add_argument(
        "-o", "--output", metavar="INDEX", required=True,
        help="where to write the index: a file is replaced whole, and only once the index "
        "is complete (through a symbolic link, the file it points to); a device or a "
        "named pipe is written to as it is; - is standard output",
    )
    build.add_argument(
        "--top-n", type=_TOP_N, default=DEFAULT_VIDEO_TOP_N, metavar="N",
        help=f"videos kept per trie node (default {DEFAULT_VIDEO_TOP_N})",
    )
    build.add_argument(
        "--format", choices=FORMATS, default=None,
        help="input format (default: jsonl for a .jsonl name, else tsv)",
    )

    query = command(
        "query", _cmd_query, "find the terms (or rank the videos) near TERM",
        "Print the indexed terms within --max-dist edits of TERM, in trie order, "
        "or with --videos the videos behind them, ranked by share. With --suggest, "
        "show the suggestions as a person types TERM, one block per keystroke.",
    )
    query.add_argument("index", metavar="INDEX", help="an index written by 'build'")
    query.add_argument("term", metavar="TERM", help="what the user typed")
    query.add_argument("--max-dist", type=_DISTANCE, default=None, metavar="D",
                       help="edits allowed (default 1; with --suggest chosen by length)")
    query.add_argument("--suggest", action="store_true",
                       help="the best terms (and with --videos videos) after each keystroke of TERM")
    query.add_argument("--k", type=_SUGGESTIONS, default=10, metavar="K",
                       help="with --suggest: suggestions per keystroke (default 10)")
    query.add_argument("--limit", type=_LIMIT, default=None, metavar="K", help="print at most K rows")
    query.add_argument("--videos", action="store_true", help="rank the videos instead of listing terms")
    query.add_argument(
        "--prefix-nodes", choices=("auto", "yes", "no"), default="auto",
        help="with --videos: also rank unfinished terms (prefixes): auto uses them "
        "only when no whole term is within reach (default auto)",
    )

    stats = command("stats", _cmd_stats, "count what an index holds", "Count what an index holds.")
    stats.add_argument("index", metavar="INDEX", help="an index written by 'build'")

    serve = command(
        "serve", _cmd_serve, "serve the index over HTTP: JSON endpoints and a typeahead page",
        "Serve INDEX over HTTP with gunicorn (pip install quellnor[serve]): "
        "/api/suggest, /api/suggest_videos, /api/fuzzy_match, /api/fuzzy_match_video, "
        "/api/health and a typeahead page at /. Each worker process loads the index itself; "
        "kill -HUP on the server's first process starts new workers on the file as it is now.",
    )
    serve.add_argument("index", metavar="INDEX", help="an index written by 'build'")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    serve.add_argument("--port", type=_whole_number(65535), default=8000,
                       help="port to listen on (default 8000; 0 picks a free one)")
    serve.add_argument("--workers", type=_positive(256), default=os.cpu_count() or 1, metavar="N",
                       help="worker processes (default: one per core)")
    serve.add_argument("--threads", type=_positive(256), default=4, metavar="T",
                       help="threads per worker (default 4; 1 runs gunicorn's sync workers, which close "
                       "every connection after its request)")
    serve.add_argument("--access-log", action="store_true", help="log every request on standard output")

    demo = command(
        "demo", _cmd_demo, "build an index of the bundled sample catalogue and run a few queries",
        "Build an index of the sample catalogue that ships with the package "
        "and run misspelt and unfinished queries against it.",
    )
    demo.add_argument("--top-n", type=_TOP_N, default=DEFAULT_VIDEO_TOP_N, metavar="N", help=argparse.SUPPRESS)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit code (argparse exits with 2 itself)."""
    args = _parser().parse_args(argv)
    try:
        code: int = args.run(args, sys.stdout, sys.stderr)
        sys.stdout.flush()
        return code
    except _Misuse as exc:
        command: argparse.ArgumentParser = args.parser
        command.error(str(exc))  # exits with 2
    except (_Failure, InputError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except PanicException as exc:
        print(f"{PROG}: error: the index is corrupt ({exc})", file=sys.stderr)
        return 1
    except MemoryError:
        print(f"{PROG}: error: out of memory", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (``quellnor query ... | head``): not an error.
        _silence_stdout()
        return 0
    except KeyboardInterrupt:
        # Whatever was being written has been removed on the way here.
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


# --- output helpers ---------------------------------------------------------


class _Progress:
    """A one-line status display on a terminal; silent elsewhere."""

    def __init__(self, stream: IO[str]) -> None:
        self.stream = stream
        self.enabled = _isatty(stream)
        self.shown = False
        self.last = 0.0

    def status(self, text: str) -> None:
        if self.enabled:
            self.stream.write("\r\x1b[K" + text)
            self.stream.flush()
            self.shown = True

    def reading(self, source: str) -> "_ReadProgress":
        return _ReadProgress(self, source)

    def building(self, terms: int) -> Callable[[str, int], None]:
        """The build's progress hook: one line per phase."""

        def phase(name: str, items: int) -> None:
            self.status(f"building the index of {terms:,} terms: {name} ({items:,})")

        return phase

    def clear(self) -> None:
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.shown = False


class _ReadProgress:
    def __init__(self, progress: _Progress, source: str) -> None:
        self.progress = progress
        self.source = source

    def __call__(self, lines: int, position: int, size: Optional[int]) -> None:
        now = time.monotonic()
        if now - self.progress.last < 0.1:
            return
        self.progress.last = now
        text = f"reading {self.source}: {lines:,} rows"
        if size:
            text += f", {position / 1e6:,.1f} of {size / 1e6:,.1f} MB ({min(100, 100 * position // size)}%)"
        self.progress.status(text)


def _print_table(out: IO[str], headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[int] = ()) -> None:
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        parts = [c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))]
        return "  ".join(parts).rstrip()

    out.write(line(headers) + "\n")
    for row in rows:
        out.write(line(row) + "\n")


def _term_rows(matches: List[Tuple[str, int, int]]) -> List[List[str]]:
    return [[term, str(distance)] for term, _, distance in matches]


def _video_rows(ranking: List[Tuple[str, float]]) -> List[List[str]]:
    return [[str(rank), key, f"{share:.2%}"] for rank, (key, share) in enumerate(ranking, 1)]


def _read_index(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as exc:
        raise _Failure(f"cannot read {path}: {exc.strerror or exc}") from None


def _load(path: str) -> Index:
    data = _read_index(path)
    if is_index_file(data):
        try:
            return Index._from_file_bytes(data, False)
        except ValueError as exc:
            raise _Failure(f"{path}: {exc}") from None
    try:
        return Index.from_bytes(data)
    except ValueError as exc:
        # The decoder's message is terse; the scan says which array is
        # malformed and at which byte.
        try:
            scan(data)
        except ValueError as readable:
            raise _Failure(f"{path}: {readable}") from None
        raise _Failure(f"{path}: not an index ({exc})") from None


# --- writing the index ------------------------------------------------------


class _Output:
    """Where ``build -o`` writes.

    Standard output (``-``) and what is not a regular file (a device, a
    named pipe) are written to as they are: replacing them would put a
    regular file where, say, /dev/null was. A regular file is replaced whole
    and only once the index is complete; through a symbolic link the file it
    points to is replaced and the link stays.
    """

    def __init__(self, name: str) -> None:
        self.name = name
        self.shown = "<stdout>" if name == "-" else name
        self.to_stdout = name == "-"
        self.is_stream = self.to_stdout
        self.replaced: Optional[os.stat_result] = None  # the regular file to be replaced, if any
        self.path = name
        if self.to_stdout:
            if _isatty(sys.stdout):
                raise _Misuse("refusing to write the index to a terminal: redirect standard output or name a file")
            return
        try:
            found = os.stat(name)
        except OSError:
            found = None  # nothing there yet, or not reachable: writing says which
        if found is not None and not stat.S_ISREG(found.st_mode):
            if stat.S_ISDIR(found.st_mode):
                raise _Failure(f"cannot write {name}: it is a directory")
            self.is_stream = True
            return
        self.replaced = found
        self.path = os.path.realpath(name)

    def check_not(self, source: str) -> None:
        """Refuses to replace the catalogue being read, under any name."""
        if self.replaced is None:
            return
        try:
            read = os.fstat(sys.stdin.fileno()) if source == "-" else os.stat(source)
        except (OSError, ValueError):
            return  # reading it will report the problem
        if (read.st_dev, read.st_ino) == (self.replaced.st_dev, self.replaced.st_ino):
            shown = "standard input" if source == "-" else source
            raise _Misuse(f"the index {self.name} would replace the catalogue {shown}; choose another INDEX")

    def write(self, index: IndexCore) -> int:
        """Writes the index file straight from the index's arrays, never
        holding it whole in memory; returns its length in bytes."""
        written = 0

        def stream(f: IO[bytes]) -> None:
            nonlocal written
            f.flush()
            written = index._write_file(f.fileno())

        try:
            if self.to_stdout:
                sys.stdout.flush()
                stream(sys.stdout.buffer)
            elif self.is_stream:
                with open(self.path, "wb") as f:
                    stream(f)
            else:
                write_atomically(self.path, stream, self.replaced)
        except BrokenPipeError:
            if self.to_stdout:
                _silence_stdout()
            raise _Failure(f"cannot write {self.shown}: the reader went away") from None
        except OSError as exc:
            raise _Failure(f"cannot write {self.shown}: {exc.strerror or exc}") from None
        return written


def _isatty(stream: IO[str]) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def _silence_stdout() -> None:
    """Points stdout at nothing, so that the interpreter's last flush is quiet."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


# --- commands ---------------------------------------------------------------


def _cmd_build(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    output = _Output(args.output)
    output.check_not(args.input)
    progress = _Progress(err)
    started = time.perf_counter()
    # The index's byte form cannot say that its terms were folded, so the
    # command line keeps them as given and takes query text as given.
    builder = IndexBuilder(fold=False)
    source = "<stdin>" if args.input == "-" else args.input
    try:
        with _gc_paused():
            rows = load_catalogue(builder, args.input, args.format, progress.reading(source))
        terms, videos = len(builder), builder.video_count
        # Nobody else sees this builder: its rows go as soon as they are read.
        index = builder._build(args.top_n, progress.building(terms), consume=True)
        del builder
        progress.status(f"writing {output.shown}")
        size = output.write(index)
    finally:
        progress.clear()
    seconds = time.perf_counter() - started
    # With the index on standard output, the summary goes beside the progress.
    (err if output.to_stdout else out).write(
        f"{output.shown}: {terms:,} terms, {videos:,} videos "
        f"from {rows:,} rows, {size:,} bytes in {seconds:.1f} s\n"
    )
    return 0


def _cmd_query(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    try:
        args.term.encode("utf-8")
    except UnicodeEncodeError:
        raise _Failure("TERM is not valid UTF-8 text") from None
    index = _load(args.index)
    if args.suggest:
        show_keystrokes(index, args.term, out, k=args.k, videos=args.videos, max_dist=args.max_dist)
        return 0
    max_dist = _DEFAULT_MAX_DIST if args.max_dist is None else args.max_dist
    if args.videos:
        prefix = {"auto": None, "yes": True, "no": False}[args.prefix_nodes]
        ranking = index.fuzzy_match_video(args.term, max_dist, args.limit, prefix)
        if ranking:
            _print_table(out, ["RANK", "VIDEO", "SHARE"], _video_rows(ranking), right=(0, 2))
        else:
            out.write("no videos\n")
    else:
        matches = index.fuzzy_match(args.term, max_dist, args.limit)
        # The extension stops only after its first hit, so a limit of 0
        # still brings one back.
        matches = matches[: args.limit]
        if matches:
            _print_table(out, ["TERM", "DISTANCE"], _term_rows(matches), right=(1,))
        else:
            out.write("no terms\n")
    return 0


def _cmd_stats(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    data = _read_index(args.index)
    kind = "index file"
    try:
        if is_index_file(data):
            # The trie's own bytes, whatever keys its videos: only counted.
            stats = scan(IndexCore.to_bytes(Index._from_file_bytes(data, False)))
        else:
            stats = scan(data)
            kind = "trie bytes (to_bytes)"
    except ValueError as exc:
        raise _Failure(f"{args.index}: {exc}") from None
    rows = [
        ["nodes", f"{stats.nodes:,}"],
        ["edges", f"{stats.edges:,}"],
        ["terms", f"{stats.terms:,}"],
        ["videos", f"{stats.videos:,}"],
        ["payload entries", f"{stats.payload_entries:,}"],
        ["total count", f"{stats.root_total:,}"],
        ["bytes", f"{len(data):,}"],
    ]
    out.write(f"{args.index} ({kind})\n")
    width = max(len(value) for _, value in rows)
    for name, value in rows:
        out.write(f"  {name:<16}{value:>{width}}\n")
    return 0


def _cmd_serve(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    from ._serve import ServeError, serve

    try:
        serve(args.index, host=args.host, port=args.port, workers=args.workers, threads=args.threads,
              access_log=args.access_log)
    except ServeError as exc:
        raise _Failure(str(exc)) from None
    return 0


def sample_catalogue() -> bytes:
    """The gzip-compressed sample catalogue that ships with the package."""
    return resources.files("quellnor").joinpath("data").joinpath(SAMPLE).read_bytes()


def _cmd_demo(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    started = time.perf_counter()
    builder = IndexBuilder()
    lines = gzip.decompress(sample_catalogue()).splitlines()
    rows = load_lines(builder, lines, "tsv", SAMPLE)
    index = builder.build(video_top_n=args.top_n)
    data = index.to_bytes()
    seconds = time.perf_counter() - started
    stats = scan(data)
    out.write(
        f"Sample catalogue: {rows:,} rows, {len(builder):,} terms, {builder.video_count:,} videos.\n"
        f"Index: {stats.nodes:,} trie nodes, {len(data):,} bytes, built in {seconds:.2f} s.\n"
    )
    built = index
    # What a worker process would do: load the index from its bytes.
    index = Index.from_bytes(data)
    for term, max_dist, note in DEMO_QUERIES:
        out.write(f"\n> {term!r}, up to {max_dist} edit{'s' if max_dist > 1 else ''}: {note}\n")
        matches = index.fuzzy_match(term, max_dist, 6)
        out.write("  terms:  " + (", ".join(f"{t} ({d})" for t, _, d in matches) or "none") + "\n")
        ranking = index.fuzzy_match_video(term, max_dist, 5)
        if not ranking:
            out.write("  videos: none\n")
            continue
        out.write("  videos:\n")
        for rank, key, share in _video_rows(ranking):
            out.write(f"    {rank}. {key}  {share:>7}\n")
    out.write(
        "\nTerms are listed in trie order with their edit distance. A video's share is its"
        "\nweighted count over the weighted total of the matched nodes: exact matches weigh"
        "\n1.0, fuzzy ones (1 - d/L) * 0.05, and prefix nodes 0.85 times as much.\n"
    )
    for word in DEMO_KEYSTROKES:
        out.write(f"\nTyping {word!r} one key at a time: suggestions (term, distance, weight) and videos\n")
        show_keystrokes(built, word, out, k=3, videos=True)
    out.write(
        "\nSuggestions rank by distance (a swap of two letters is one edit), whole terms"
        "\nbefore completions, then weight: how often the term's videos were counted.\n"
    )
    return 0
