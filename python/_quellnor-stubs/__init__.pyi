"""A compact character trie of search terms with typo-tolerant lookup.

Each node may carry a payload of video ids with counts; queries find the
terms within an edit distance of what was typed and rank the videos behind
them. Instances are immutable and made only by the two static constructors.
"""

from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, SupportsIndex, TypeVar, final

from typing_extensions import Self, disjoint_base

__all__ = ["PrefixSearch"]

@final
class PrefixSearch:
    """An immutable index: a trie of terms whose nodes carry video payloads."""

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[int],
        child_labels: Sequence[str],
        payloads: Sequence[tuple[int, Sequence[int], Sequence[int]] | None],
        child_transitions: Sequence[int],
        video_index: Sequence[Sequence[int]],
        video_top_n: SupportsIndex,
    ) -> PrefixSearch:
        """Builds an index from a trie flattened into parallel arrays.

        Node n's children are ``child_transitions[node_shifts[n]:node_shifts[n+1]]``
        (to the end for the last node), ``child_labels[n]`` is the character
        on the edge into n ("" for the root), and ``payloads[n]`` is None or
        ``(total_count, video_ids, video_counts)`` for a node where a term
        ends. ``video_index[v]`` holds the 16-byte key of video id v. Payloads
        are summed into every ancestor and each list is cut to
        ``video_top_n`` entries. Parents must be numbered before children.
        Raises ValueError for inconsistent arrays.
        """

    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch:
        """Loads an index from the bytes that ``to_bytes`` wrote.

        Raises ValueError ("decode error: ...") for malformed bytes.
        """

    def to_bytes(self) -> bytes:
        """The index as a byte string, for ``from_bytes``."""

    def fuzzy_match(
        self, term: str, max_dist: int = 1, limit: SupportsIndex | None = None
    ) -> list[tuple[str, int, int]]:
        """The indexed terms within ``max_dist`` edits of ``term``.

        Returns ``(term, 1, distance)`` tuples in depth-first trie order:
        all of them, or with a ``limit`` the first ``limit``. The walk checks
        the limit only after it has added a hit, so ``limit=0`` returns the
        first hit just as ``limit=1`` does; only a query with no term within
        reach returns an empty list.
        """

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: int = 1,
        limit: SupportsIndex | None = None,
        include_prefix_nodes: bool | None = None,
    ) -> list[tuple[str, float]]:
        """Ranks the videos behind the nodes within ``max_dist`` edits of ``term``.

        Returns ``(key, share)`` pairs, highest share first, the key in UUID
        text form; shares below 0.01 are left out, and a ``limit`` keeps the
        ``limit`` highest (``limit=0``: none). ``include_prefix_nodes``
        True also ranks nodes where no term ends, False never does, and None
        does only when no term end is within reach.
        """

@disjoint_base
class IndexCore:
    """The trie of PrefixSearch with what its byte form cannot carry beside it:
    whether terms are folded, how each is shown, and what each weighs.

    Use quellnor.Index, which folds query text and adds the container protocol.
    Binding messages name the class Index.
    """

    @classmethod
    def from_internal_data_v2(
        cls,
        node_shifts: Sequence[int],
        child_labels: Sequence[str],
        payloads: Sequence[tuple[int, Sequence[int], Sequence[int]] | None],
        child_transitions: Sequence[int],
        video_index: Sequence[Sequence[int]],
        video_top_n: SupportsIndex,
    ) -> Self:
        """Builds an index from a trie flattened into parallel arrays, as PrefixSearch does."""

    def to_bytes(self) -> bytes:
        """The trie in the byte form of PrefixSearch.to_bytes."""

    @classmethod
    def from_bytes(cls, b: bytes) -> Self:
        """Loads the byte form of PrefixSearch.to_bytes: terms unfolded, shown as stored."""

    def fuzzy_match(
        self, term: str, max_dist: int = 1, limit: SupportsIndex | None = None
    ) -> list[tuple[str, int, int]]:
        """The terms within max_dist edits of term, as PrefixSearch.fuzzy_match finds them."""

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: int = 1,
        limit: SupportsIndex | None = None,
        include_prefix_nodes: bool | None = None,
    ) -> list[tuple[str, float]]:
        """The videos behind term, ranked as PrefixSearch.fuzzy_match_video ranks them."""

    def suggest(
        self,
        text: str,
        k: SupportsIndex = 10,
        *,
        max_dist: SupportsIndex | None = None,
        transpositions: bool = True,
    ) -> list[tuple[str, int, int]]:
        """The k best terms for text as typed so far: [(term, distance, weight), ...].

        Text is taken as it is; quellnor.Index folds it first.
        """

    def suggest_videos(
        self,
        text: str,
        k: SupportsIndex = 10,
        *,
        max_dist: SupportsIndex | None = None,
        transpositions: bool = True,
    ) -> list[tuple[str, float]]:
        """The k best videos behind text as typed so far: [(video, score), ...]."""

    def prefix_search(self) -> PrefixSearch:
        """A PrefixSearch holding a copy of the same trie."""

    @property
    def folded(self) -> bool:
        """Whether the terms were folded when the index was built."""

    @property
    def node_count(self) -> int:
        """The nodes of the trie."""

    @property
    def video_count(self) -> int:
        """The videos of the index."""

    @property
    def term_count(self) -> int:
        """The terms of the index."""

    @property
    def video_key_kind(self) -> str:
        """What the videos are: 'uuid', or the caller's own 'str' or 'int' ids."""

    @classmethod
    def _assemble(
        cls,
        node_shifts: Sequence[int],
        child_labels: Sequence[str],
        payloads: Sequence[tuple[int, Sequence[int], Sequence[int]] | None],
        child_transitions: Sequence[int],
        video_index: Sequence[Sequence[int]],
        video_top_n: SupportsIndex,
        folded: bool,
        spellings: Mapping[str, str],
    ) -> Self:
        """As from_internal_data_v2, with whether the terms are folded and a dict of each
        term's display spelling where it differs from the term."""

    @classmethod
    def _load(cls, b: bytes, extras: bytes) -> Self:
        """from_bytes, with the extras that _extras() wrote."""

    def _extras(self) -> bytes:
        """What the byte form of the trie cannot carry, as bytes."""

    def _term_weight(self, text: str) -> int | None:
        """The weight of the term spelt text, or None."""

    def _term_page(self, position: SupportsIndex) -> tuple[list[str], int]:
        """([term, ...], next position): terms in code-point order from a position on."""

    def _same_index(self, other: object) -> bool:
        """Whether other holds the same trie and terms."""

    @classmethod
    def _open_file(cls, path: bytes, verify: bool) -> Self:
        """The index file at path (bytes), mapped."""

    @classmethod
    def _from_file_bytes(cls, b: bytes, verify: bool) -> Self:
        """The index file's bytes, copied into owned memory."""

    def _file_bytes(self) -> bytes:
        """The index file, as bytes."""

    def _write_file(self, fd: int) -> int:
        """Writes the index file to an open file descriptor; returns its length."""

    def _native_bytes(self) -> int:
        """The bytes the index's arrays hold, mapped or owned."""

    @staticmethod
    def _live_native_bytes() -> int:
        """The bytes the arrays of every index alive hold, mapped or owned."""

_Index = TypeVar("_Index", bound=IndexCore)

@final
class NativeBuilder:
    """Rows in batches, grouped and summed natively; build() makes the index.
    With lowers_ascii, fold is known to lower-case pure-ASCII text (A-Z to a-z)
    and change nothing else in it: such terms are folded without calling it."""

    def __new__(cls, fold: Callable[[str], str] | None = None, lowers_ascii: bool = False) -> NativeBuilder: ...
    def add(self, term: object, video: object, count: object, /) -> None:
        """Adds one row, or raises ValueError naming it."""

    def add_rows(self, rows: Iterable[object], start: int = 0, atomic: bool = True, /) -> None:
        """Adds (term, video, count) rows, all or none; a bad row raises
        ValueError naming its position, counted from start."""

    def add_columns(self, terms: Any, videos: Any, counts: Any = None, atomic: bool = True, /) -> None:
        """Adds a row per position of three columns
        (sequences, or numpy arrays read in place); counts default to 1."""

    def add_arrow(self, stream: object, atomic: bool = True, start: int = 0, /) -> None:
        """Adds the rows of an Arrow table given as the PyCapsule of its
        __arrow_c_stream__: columns term, video and count, or the first two or three."""

    def add_packed(self, chunks: Sequence[tuple[Any, Any, Any, Any, bool, Any]], start: int = 0,
                   atomic: bool = True, /) -> None:
        """Adds rows packed into buffers, a tuple (terms, term_ends, videos,
        video_ends, uuids, counts) per chunk: texts as UTF-8 with int64 ends, int ids and counts as int64."""

    def build(
        self,
        cls: type[_Index],
        video_top_n: int,
        progress: Callable[[str, int], object] | None = None,
        consume: bool = False,
        /,
    ) -> _Index:
        """An instance of cls (an IndexCore type) holding the index;
        progress(phase, items) is called as each phase starts. With consume, the rows are let go
        as soon as they are read, which leaves the builder empty."""

    @property
    def term_count(self) -> int:
        """Distinct terms added so far."""

    @property
    def video_count(self) -> int:
        """Distinct videos added so far."""

    @property
    def video_kind(self) -> str | None:
        """'uuid', 'str' or 'int', or None before the first row."""
