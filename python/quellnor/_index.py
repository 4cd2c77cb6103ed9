"""``Index``: the index that ``IndexBuilder``, ``build_index`` and pickling
give, with suggestions for every keystroke beside the five calls of
``PrefixSearch``.

The native base (``_quellnor.IndexCore``) holds the trie, whether its terms
were folded, their display spellings and weights, and answers every query.
This class adds the policy: query text is folded on an index whose terms
are, and the container protocol, equality and pickling.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Iterator, List, Optional, SupportsIndex, Tuple, TypeVar

from _quellnor import IndexCore, PrefixSearch

from ._files import save_to
from ._fold import fold
from ._index_file import PathLike, is_index_file, tell_collector

__all__ = ["Index"]

_T = TypeVar("_T")
_I = TypeVar("_I", bound="Index")

_suggest = IndexCore.suggest
_suggest_videos = IndexCore.suggest_videos
_fuzzy_match = IndexCore.fuzzy_match
_fuzzy_match_video = IndexCore.fuzzy_match_video


class Index(IndexCore):
    """An immutable index of terms and the videos behind them.

    Made by ``IndexBuilder.build``, ``build_index``, ``Index.from_bytes`` (the
    byte form of ``PrefixSearch``: unfolded, terms shown as stored) or
    ``Index.from_internal_data_v2``; ``to_bytes`` writes that byte form.

    On a folded index (``folded``), query text is folded with ``quellnor.fold``
    before every query, ``fuzzy_match`` and ``fuzzy_match_video`` included,
    since its terms are stored folded; ``suggest`` shows each term in its most
    frequent original spelling. An unfolded index never folds.

    ``len(index)`` counts the terms, ``term in index`` looks one up (folded),
    iterating gives the terms as ``suggest`` shows them, in code-point order
    of their stored form, and ``index.weight(term)`` is a term's weight.
    Indexes with the same trie, terms and weights are equal; an index
    pickles with everything it holds.
    """

    __slots__ = ()
    __module__ = "quellnor"

    def suggest(
        self,
        text: str,
        k: SupportsIndex = 10,
        *,
        max_dist: Optional[SupportsIndex] = None,
        transpositions: bool = True,
    ) -> List[Tuple[str, int, int]]:
        """The ``k`` best terms for ``text`` as typed so far.

        Returns ``(term, distance, weight)`` tuples, best first. A term comes
        when it, or one of its prefixes, is within ``max_dist`` edits of
        ``text`` (a completion); its distance is the smaller of the two.
        Order: distance ascending; at equal distance whole-term matches before
        completions; then weight (the sum of the term's counts) descending;
        then the stored term in code-point order. ``max_dist=None`` chooses by
        length: 0 for 1-2 characters, 1 for 3-5, 2 from 6 on. With
        ``transpositions`` two adjacent characters swapped count as one edit.
        An empty ``text`` gives the ``k`` heaviest terms.
        """
        return self._ask(_suggest, text, k, max_dist, transpositions)

    def suggest_videos(
        self,
        text: str,
        k: SupportsIndex = 10,
        *,
        max_dist: Optional[SupportsIndex] = None,
        transpositions: bool = True,
    ) -> List[Tuple[str, float]]:
        """The ``k`` best videos behind ``text`` as typed so far.

        Returns ``(video, score)`` pairs, best first. The nodes within
        ``max_dist`` edits of ``text`` take part (as for ``suggest``); one
        counts unless a node above it takes part at the same or a smaller
        distance. A counting node weighs 1.0 at distance 0, (1 - d/L) * 0.05
        at distance d from a text of L characters, times 0.85 where no term
        ends (nothing at d >= L). A video's score is its weighted count over
        the weighted total of the counting nodes (0.0 when that is 0). Every
        video behind a counting node is ranked, highest score first, equal
        scores by ascending video key. Whenever a term with videos starts
        with ``text``, the list is not empty.
        """
        return self._ask(_suggest_videos, text, k, max_dist, transpositions)

    def _ask(self, native: Callable[..., _T], text: str, k: SupportsIndex, max_dist: Optional[SupportsIndex],
             transpositions: bool) -> _T:
        """A suggestion call of the native base, with the text folded as the terms are."""
        if isinstance(text, str) and self.folded:
            text = fold(text)
        if max_dist is None and transpositions is True:  # the keystroke's call, kept short
            return native(self, text, k)
        return native(self, text, k, max_dist=max_dist, transpositions=transpositions)

    def fuzzy_match(
        self, term: str, max_dist: int = 1, limit: Optional[SupportsIndex] = None
    ) -> List[Tuple[str, int, int]]:
        """As ``PrefixSearch.fuzzy_match``; on a folded index ``term`` is folded
        first, and the terms come back as stored (folded)."""
        if isinstance(term, str) and self.folded:
            term = fold(term)
        return _fuzzy_match(self, term, max_dist, limit)

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: int = 1,
        limit: Optional[SupportsIndex] = None,
        include_prefix_nodes: Optional[bool] = None,
    ) -> List[Tuple[str, float]]:
        """As ``PrefixSearch.fuzzy_match_video``; on a folded index ``term`` is
        folded first."""
        if isinstance(term, str) and self.folded:
            term = fold(term)
        return _fuzzy_match_video(self, term, max_dist, limit, include_prefix_nodes)

    @classmethod
    def from_bytes(cls: "type[_I]", b: bytes) -> _I:
        """The index in ``b``: the byte form ``to_bytes`` writes, or the bytes
        of an index file (what ``save`` writes), told apart by the file's
        magic. Read as the byte form, a file's first bytes would make a tiny
        index of their own and lose the rest without a word."""
        if isinstance(b, bytes) and is_index_file(b):
            return tell_collector(cls._from_file_bytes(b, False))
        return super().from_bytes(b)

    def to_bytes(self) -> bytes:
        """As ``PrefixSearch.to_bytes``; an index of the caller's own video ids
        has no such form (its keys are UUIDs) and raises ``ValueError``."""
        self._require_uuid_videos("the byte form of to_bytes")
        return IndexCore.to_bytes(self)

    def prefix_search(self) -> PrefixSearch:
        """A ``PrefixSearch`` holding a copy of the same trie; an index of the
        caller's own video ids has none (its keys are UUIDs) and raises ``ValueError``."""
        self._require_uuid_videos("a PrefixSearch")
        return IndexCore.prefix_search(self)

    def _require_uuid_videos(self, what: str) -> None:
        if self.video_key_kind != "uuid":
            raise ValueError(f"this index's videos are the caller's {self.video_key_kind} ids, which {what} "
                             "cannot hold (its video keys are UUIDs): pickle the index instead")

    def weight(self, term: str) -> int:
        """The weight of ``term`` (the sum of its counts), 0 when it is absent."""
        if not isinstance(term, str):
            raise TypeError(f"Index.weight() argument 'term' must be str, not {type(term).__name__}")
        found = self._find(term)
        return 0 if found is None else found

    def __contains__(self, term: object) -> bool:
        return isinstance(term, str) and self._find(term) is not None

    def _find(self, term: str) -> Optional[int]:
        """The weight of ``term`` as the index stores it, or None."""
        try:
            return self._term_weight(fold(term) if self.folded else term)
        except UnicodeEncodeError:  # a lone surrogate: no term holds one
            return None

    def __len__(self) -> int:
        return self.term_count

    def __iter__(self) -> Iterator[str]:
        position = 0
        while True:
            terms, position = self._term_page(position)
            if not terms:
                return
            yield from terms

    def __repr__(self) -> str:
        kind = "folded" if self.folded else "unfolded"
        return (f"<{type(self).__module__}.{type(self).__qualname__}: {len(self):,} terms, "
                f"{self.node_count:,} nodes, {self.video_count:,} videos, {kind}>")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, IndexCore):
            return NotImplemented
        return self is other or self._same_index(other)

    def __hash__(self) -> int:
        # From what equal indexes share, without reading their arrays.
        return hash((self.term_count, self.node_count, self.video_count, self.folded))

    def save(self, path: "PathLike") -> None:
        """Writes the index file to ``path``, for ``quellnor.open``.

        A regular file is replaced whole: the file is written beside it,
        flushed to disk and renamed over it, so a process that has the old
        file open or mapped keeps reading the old index, and a failure leaves
        nothing behind. Through a symbolic link the file it points to is
        replaced; a device or a named pipe is written to as it is.
        """
        save_to(os.fsdecode(path), lambda f: self._write_file(f.fileno()))

    def __reduce__(self) -> Tuple[Callable[..., "Index"], Tuple[Any, ...]]:
        from ._pickle import restore_index_file

        return restore_index_file, (type(self), self._file_bytes())
