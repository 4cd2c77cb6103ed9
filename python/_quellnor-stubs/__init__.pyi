"""A compact character trie of search terms with typo-tolerant lookup.

Each node may carry a payload of video ids with counts; queries find the
terms within an edit distance of what was typed and rank the videos behind
them. Instances are immutable and made only by the two static constructors.
"""

from collections.abc import Sequence
from typing import SupportsIndex, final

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
