"""Reading catalogues of (term, video, count) rows from files.

Three formats; the two of text lines optionally gzip-compressed (a ``.gz``
suffix):

- tsv: ``term<TAB>video<TAB>count`` per line; the count may be left out
  (``term<TAB>video``) and then is 1. A first line reading
  ``term<TAB>video<TAB>count`` is a header and skipped.
- jsonl: one JSON object per line with the keys ``term``, ``video`` and
  optionally ``count`` (default 1); other keys are ignored.
- parquet: a Parquet file with the columns ``term``, ``video`` and
  optionally ``count`` (or just two or three columns), as DuckDB, Spark or a
  warehouse write it; read batch by batch with pyarrow (``quellnor[arrow]``),
  no Python object per row.

Blank lines are skipped in both, and a UTF-8 byte-order mark at the start
is ignored. A line may hold at most ``MAX_LINE_BYTES`` bytes, its line break
included, and a term at most ``MAX_TERM_CHARS`` characters: lines are read
with that bound, so a file without line breaks (or ``/dev/zero``) fails at
once instead of filling memory. Every problem is reported as an
``InputError`` that names the source and the line number.
"""

from __future__ import annotations

import gzip
import importlib
import json
import json.scanner
import re
import sys
import zlib
from contextlib import contextmanager
from itertools import repeat
from typing import IO, Any, Callable, Iterable, Iterator, List, NoReturn, Optional, Protocol, Tuple

from ._builder import IndexBuilder

__all__ = [
    "FORMATS",
    "MAX_LINE_BYTES",
    "MAX_TERM_CHARS",
    "InputError",
    "detect_format",
    "load_catalogue",
    "load_lines",
    "open_binary",
]

FORMATS = ("tsv", "jsonl", "parquet")
#: Rows per batch read from a Parquet file.
PARQUET_BATCH_ROWS = 1 << 20
#: Bytes read at a time from a text catalogue: a quarter of the longest
#: line, so that a block of whole lines is rarely longer than a line may be.
READ_BLOCK_BYTES = 1 << 18
# Rows handed to the builder at a time.
_BATCH_ROWS = 1 << 16
#: The longest line read, in bytes, its line break included: 1 MiB.
MAX_LINE_BYTES = 1 << 20
#: The longest term accepted, in characters: far beyond anything typed into
#: a search box, and it keeps one stray line from adding a deep chain of
#: nodes to the trie.
MAX_TERM_CHARS = 1000
_BOM = b"\xef\xbb\xbf"
_COUNT = re.compile(r"\s*[0-9]+\s*")
# What a block's counts hold between them when every one may be _COUNT.
_DIGITS_AND_SPACES = re.compile(r"[0-9\s]*")
_HEADER = ["term", "video", "count"]

# progress(lines read, bytes read so far, total bytes or None)
Progress = Callable[[int, int, Optional[int]], None]


class Readable(Protocol):
    """A binary stream read a bounded block at a time."""

    def read(self, size: int = -1, /) -> bytes: ...


class InputError(Exception):
    """A catalogue that cannot be read or holds a malformed line."""


def detect_format(name: str) -> str:
    """The format a file name implies: parquet for ``.parquet``, jsonl for
    ``.jsonl`` (also under ``.gz``), else tsv."""
    lower = name.lower()
    if lower.endswith((".parquet", ".pq")):
        return "parquet"
    if lower.endswith(".gz"):
        lower = lower[:-3]
    return "jsonl" if lower.endswith((".jsonl", ".ndjson")) else "tsv"


@contextmanager
def open_binary(path: str) -> Iterator[Tuple[Readable, IO[bytes], Optional[int]]]:
    """Opens a catalogue: (the stream of lines, the raw file for its position, its size).

    ``-`` is standard input. A name ending in ``.gz`` is decompressed.
    """
    if path == "-":
        raw: IO[bytes] = sys.stdin.buffer
        yield raw, raw, None
        return
    try:
        raw = open(path, "rb")
    except OSError as exc:
        raise InputError(f"cannot read {path}: {exc.strerror or exc}") from None
    with raw:
        try:
            size: Optional[int] = raw.seek(0, 2)
            raw.seek(0)
        except OSError:
            size = None
        if path.lower().endswith(".gz"):
            with gzip.GzipFile(fileobj=raw, mode="rb") as unzipped:
                yield unzipped, raw, size
        else:
            yield raw, raw, size


def load_catalogue(
    builder: IndexBuilder,
    path: str,
    fmt: Optional[str] = None,
    progress: Optional[Progress] = None,
) -> int:
    """Adds every row of the catalogue at ``path`` to ``builder``.

    Returns the number of rows added. On a malformed line raises
    ``InputError`` naming the line; the rows before it stay added, so pass a
    fresh builder when a failure should leave nothing behind.
    """
    fmt = fmt or detect_format(path)
    source = "<stdin>" if path == "-" else path
    if fmt == "parquet":
        return load_parquet(builder, path, source, progress)
    _check_format(fmt)
    with open_binary(path) as (stream, raw, size):
        reader = _Reader(builder, fmt, source)
        try:
            for block in _blocks(stream):
                reader.read_block(block)
                if progress is not None:
                    progress(reader.lineno, _position(raw), size)
            return reader.finish()
        except (OSError, EOFError, zlib.error) as exc:
            raise InputError(f"cannot read {source}: {exc}") from None


def load_lines(
    builder: IndexBuilder,
    lines: Iterable[bytes],
    fmt: str,
    source: str,
    report: Optional[Callable[[int], None]] = None,
) -> int:
    """Adds the rows of a catalogue's lines (bytes, UTF-8) to ``builder``.

    ``report``, if given, is called with the line number every few thousand
    lines and at the end. Returns the number of rows added.
    """
    _check_format(fmt)
    reader = _Reader(builder, fmt, source)
    for line in lines:
        reader.read_line(line)
        if report is not None and reader.lineno % 8192 == 0:
            report(reader.lineno)
    if report is not None:
        report(reader.lineno)
    return reader.finish()


def _check_format(fmt: str) -> None:
    if fmt not in FORMATS:
        raise InputError(f"unknown format {fmt!r} (choose from {', '.join(FORMATS)})")


def _blocks(stream: Readable) -> Iterator[bytes]:
    """The stream in blocks of whole lines, each line with its line break
    (the file's last may have none).

    A block of whole lines is at most READ_BLOCK_BYTES plus a line long; a
    line that outgrows MAX_LINE_BYTES comes as a block of its own as soon as
    it does, unfinished, so that memory stays bounded by the limit however
    long the line is.
    """
    tail = b""
    while True:
        block = stream.read(READ_BLOCK_BYTES)
        if not block:
            break
        data = tail + block if tail else block
        cut = data.rfind(b"\n") + 1
        if cut:
            yield data[:cut]
        tail = data[cut:]
        if len(tail) > MAX_LINE_BYTES:
            yield tail
            return
    if tail:
        yield tail


class _Reader:
    """Reads lines into rows and hands the rows to the builder a batch at a
    time, with the outcome of adding them one line at a time: the rows
    before a bad line are added, and the error names the line."""

    def __init__(self, builder: IndexBuilder, fmt: str, source: str) -> None:
        self.builder = builder
        self.source = source
        self.parse = _parse_tsv if fmt == "tsv" else _parse_jsonl
        self.block_rows = _plain_tsv_rows if fmt == "tsv" else _plain_jsonl_rows
        self.lineno = 0  # lines read
        self.rows: List[Tuple[Any, Any, Any]] = []  # not yet added
        self.row_lines: List[int] = []  # their line numbers
        self.added = 0

    def read_block(self, block: bytes) -> None:
        """Reads a block of whole lines (the file's last may lack its break)."""
        if self.lineno == 0:  # the first line may be a header, and may start with a BOM
            cut = block.find(b"\n") + 1 or len(block)
            self.read_line(block[:cut])
            block = block[cut:]
        if len(block) <= MAX_LINE_BYTES:  # else a line in it may be too long
            try:
                rows = self.block_rows(_lines_of(block.decode("utf-8")))
            except UnicodeDecodeError:
                rows = None
            if rows is not None:
                self._add_block(rows)
                return
        parts = block.split(b"\n")
        for part in parts[:-1]:
            self.read_line(part + b"\n")
        if parts[-1]:
            self.read_line(parts[-1])

    def read_line(self, line: bytes) -> None:
        self.lineno += 1
        lineno = self.lineno
        if len(line) > MAX_LINE_BYTES:
            self._fail(lineno, f"the line is longer than {MAX_LINE_BYTES:,} bytes")
        if lineno == 1 and line.startswith(_BOM):
            line = line[len(_BOM):]
        try:
            text = line.decode("utf-8").rstrip("\r\n")
        except UnicodeDecodeError as exc:
            self._fail(lineno, f"not UTF-8 text ({exc.reason} at column {exc.start + 1})")
        if not text.strip():
            return
        try:
            row = self.parse(text, lineno)
            if row is None:
                return
            term = row[0]
            if isinstance(term, str) and len(term) > MAX_TERM_CHARS:
                raise ValueError(f"the term is {len(term):,} characters long; at most {MAX_TERM_CHARS:,} are allowed")
        except ValueError as exc:
            self._fail(lineno, str(exc))
        self.rows.append(row)
        self.row_lines.append(lineno)
        if len(self.rows) >= _BATCH_ROWS:
            self._flush()

    def finish(self) -> int:
        self._flush()
        return self.added

    def _add_block(self, rows: List[Tuple[str, str, int]]) -> None:
        # Every line of such a block is a row.
        self._flush()
        first = self.lineno + 1
        self.lineno += len(rows)
        self.rows = rows
        self.row_lines = list(range(first, first + len(rows)))
        self._flush()

    def _flush(self) -> None:
        rows, lines = self.rows, self.row_lines
        self.rows, self.row_lines = [], []
        if not rows:
            return
        try:
            self.builder.add_rows(rows)  # all or none
        except (ValueError, TypeError):
            # Again one row at a time: those before the bad one stay added,
            # and its own message names it.
            for row, lineno in zip(rows, lines):
                try:
                    self.builder.add(*row)
                except ValueError as exc:
                    self._fail(lineno, str(exc))
                self.added += 1
            return
        self.added += len(rows)

    def _fail(self, lineno: int, message: str) -> NoReturn:
        self._flush()  # the rows before this line, which may fail first
        raise InputError(f"{self.source}:{lineno}: {message}")


def load_parquet(builder: IndexBuilder, path: str, source: str, progress: Optional[Progress] = None) -> int:
    """Adds every row of a Parquet file to ``builder``, a batch at a time.

    ``progress`` is told the rows read so far. Returns the number of rows.
    """
    try:
        # Imported by name: an optional extra, without type information.
        pyarrow = importlib.import_module("pyarrow")
        parquet = importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise InputError(
            f"reading {source} needs pyarrow, which quellnor[arrow] installs: pip install 'quellnor[arrow]'"
        ) from None
    if path == "-":
        raise InputError("a Parquet catalogue is read from a file, not from standard input")
    try:
        return _add_parquet_batches(builder, pyarrow, parquet.ParquetFile(path), source, progress)
    except (OSError, pyarrow.ArrowException) as exc:
        raise InputError(f"cannot read {source}: {exc}") from None
    finally:
        # Arrow's allocator keeps the pages of the batches read (some 0.7 GB
        # for thirty million rows) unless told, once nothing holds them: the
        # build needs them more.
        release = getattr(pyarrow.default_memory_pool(), "release_unused", None)
        if release is not None:
            release()


def _add_parquet_batches(builder: IndexBuilder, pyarrow: Any, opened: Any, source: str,
                         progress: Optional[Progress]) -> int:
    with opened as file:
        rows = 0
        for batch in file.iter_batches(batch_size=PARQUET_BATCH_ROWS):
            table = pyarrow.Table.from_batches([batch])
            try:
                # Not all or nothing: a bad row leaves rows before it added,
                # as a bad line of text does, and the rows go in while the
                # next are read.
                builder._native.add_arrow(table.__arrow_c_stream__(), False, rows)
            except (ValueError, TypeError) as exc:
                raise InputError(f"{source}: {exc}") from None
            rows += batch.num_rows
            if progress is not None:
                progress(rows, 0, None)
        return rows


def _lines_of(text: str) -> List[str]:
    """The lines of a block of whole lines, without their line breaks."""
    lines = text.split("\n")
    if not lines[-1]:
        lines.pop()
    if "\r" in text:
        lines = [line.rstrip("\r") for line in lines]
    return lines


# The fast paths below read a block of lines after the first when every
# line is a plain row, with the same rows as line by line; they return None
# where any line is not (a blank line, a malformed row, a term past the
# limit), and the block is read line by line, which says what is wrong.


def _plain_tsv_rows(lines: List[str]) -> Optional[List[Tuple[str, str, int]]]:
    """Plain TSV rows: all with a count or all without, every count digits
    with nothing but spaces around them, every video more than spaces."""
    if not lines:
        return []
    fields = [line.split("\t") for line in lines]
    widths = set(map(len, fields))
    if widths != {2} and widths != {3}:
        return None
    columns = list(zip(*fields))
    terms, videos = columns[0], list(map(str.strip, columns[1]))
    # No video is empty once stripped: such a row is refused, or its line
    # (all spaces and tabs) skipped as blank.
    if "" in videos or max(map(len, terms)) > MAX_TERM_CHARS:
        return None
    if len(columns) == 2:
        counts: Iterable[int] = repeat(1, len(lines))
    else:
        if not _DIGITS_AND_SPACES.fullmatch("".join(columns[2])):
            return None
        try:
            counts = list(map(int, columns[2]))
        except ValueError:  # a count of only spaces, or spaces between digits
            return None
    return list(zip(terms, videos, counts))


# A line's JSON value and where it ends. CPython's scanner reads a line in
# well under half the time json.loads takes around it; PyPy's json.loads is
# its own and the faster there (and reads the whole line or raises).
_scan_json: Callable[[str, int], Tuple[Any, int]] = (
    json.JSONDecoder().scan_once  # type: ignore[attr-defined]
    if json.scanner.c_make_scanner is not None  # type: ignore[attr-defined]
    else lambda line, _: (json.loads(line), len(line))
)


def _plain_jsonl_rows(lines: List[str]) -> Optional[List[Tuple[Any, Any, Any]]]:
    """Plain JSON Lines rows: one object per line with a term and a video."""
    rows: List[Tuple[Any, Any, Any]] = []
    append, scan = rows.append, _scan_json
    try:
        for line in lines:
            obj, end = scan(line, 0)
            if end != len(line) or type(obj) is not dict:
                return None
            append((obj["term"], obj["video"], obj.get("count", 1)))
    except (ValueError, KeyError, StopIteration, RecursionError):
        return None
    if max((len(row[0]) for row in rows if type(row[0]) is str), default=0) > MAX_TERM_CHARS:
        return None
    return rows


def _position(raw: IO[bytes]) -> int:
    try:
        return raw.tell()
    except OSError:
        return 0


def _parse_tsv(text: str, lineno: int) -> Optional[Tuple[str, str, int]]:
    fields = text.split("\t")
    if lineno == 1 and [f.strip().lower() for f in fields] == _HEADER:
        return None
    if len(fields) == 2:
        term, video = fields
        count = 1
    elif len(fields) == 3:
        term, video, count_text = fields
        if not _COUNT.fullmatch(count_text):
            raise ValueError(f"the count {count_text!r} is not a non-negative whole number")
        count = int(count_text)
    else:
        raise ValueError(f"expected term<TAB>video<TAB>count, found {len(fields)} field(s)")
    return term, video.strip(), count


def _parse_jsonl(text: str, lineno: int) -> Tuple[str, str, int]:
    try:
        obj = json.loads(text)
    except ValueError as exc:
        raise ValueError(f"not valid JSON: {exc}") from None
    except RecursionError:
        raise ValueError("not valid JSON: nested too deeply") from None
    if not isinstance(obj, dict):
        raise ValueError(f"expected a JSON object with term, video and count, found {type(obj).__name__}")
    missing = [k for k in ("term", "video") if k not in obj]
    if missing:
        raise ValueError(f"the object has no {' and no '.join(repr(k) for k in missing)}")
    return obj["term"], obj["video"], obj.get("count", 1)
