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
import re
import sys
import zlib
from contextlib import contextmanager
from functools import partial
from typing import IO, Callable, Iterable, Iterator, Optional, Protocol, Tuple

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
#: The longest line read, in bytes, its line break included: 1 MiB.
MAX_LINE_BYTES = 1 << 20
#: The longest term accepted, in characters: far beyond anything typed into
#: a search box, and it keeps one stray line from adding a deep chain of
#: nodes to the trie.
MAX_TERM_CHARS = 1000
_BOM = b"\xef\xbb\xbf"
_COUNT = re.compile(r"\s*[0-9]+\s*")
_HEADER = ["term", "video", "count"]

# progress(lines read, bytes read so far, total bytes or None)
Progress = Callable[[int, int, Optional[int]], None]


class Lines(Protocol):
    """A binary stream read line by line, each read bounded by ``size``."""

    def readline(self, size: int = -1, /) -> bytes: ...


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
def open_binary(path: str) -> Iterator[Tuple[Lines, IO[bytes], Optional[int]]]:
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
    with open_binary(path) as (stream, raw, size):
        report: Optional[Callable[[int], None]] = None
        if progress is not None:
            show = progress

            def report(lineno: int) -> None:
                show(lineno, _position(raw), size)

        # At most one byte past the limit per line, however long the line.
        bounded = iter(partial(stream.readline, MAX_LINE_BYTES + 1), b"")
        try:
            return load_lines(builder, bounded, fmt, source, report)
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
    if fmt not in FORMATS:
        raise InputError(f"unknown format {fmt!r} (choose from {', '.join(FORMATS)})")
    parse = _parse_tsv if fmt == "tsv" else _parse_jsonl
    add = builder.add
    rows = 0
    lineno = 0
    for lineno, line in enumerate(lines, 1):
        if report is not None and lineno % 8192 == 0:
            report(lineno)
        if len(line) > MAX_LINE_BYTES:
            raise InputError(f"{source}:{lineno}: the line is longer than {MAX_LINE_BYTES:,} bytes")
        if lineno == 1 and line.startswith(_BOM):
            line = line[len(_BOM):]
        try:
            text = line.decode("utf-8").rstrip("\r\n")
        except UnicodeDecodeError as exc:
            raise InputError(f"{source}:{lineno}: not UTF-8 text ({exc.reason} at column {exc.start + 1})") from None
        if not text.strip():
            continue
        try:
            row = parse(text, lineno)
            if row is None:
                continue
            term = row[0]
            if isinstance(term, str) and len(term) > MAX_TERM_CHARS:
                raise ValueError(f"the term is {len(term):,} characters long; at most {MAX_TERM_CHARS:,} are allowed")
            add(*row)
        except ValueError as exc:
            raise InputError(f"{source}:{lineno}: {exc}") from None
        rows += 1
    if report is not None:
        report(lineno)
    return rows


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
        with parquet.ParquetFile(path) as file:
            rows = 0
            for batch in file.iter_batches(batch_size=PARQUET_BATCH_ROWS):
                table = pyarrow.Table.from_batches([batch])
                try:
                    # Not all or nothing: a bad row leaves rows before it
                    # added, as a bad line of text does, and the rows go in
                    # while the next are read.
                    builder._native.add_arrow(table.__arrow_c_stream__(), False, rows)
                except (ValueError, TypeError) as exc:
                    raise InputError(f"{source}: {exc}") from None
                rows += batch.num_rows
                if progress is not None:
                    progress(rows, 0, None)
            return rows
    except (OSError, pyarrow.ArrowException) as exc:
        raise InputError(f"cannot read {source}: {exc}") from None


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
