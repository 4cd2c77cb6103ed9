"""The other ways to answer "which terms lie within d edits of this query".

Each peer builds from the plain vocabulary and answers with its own result
objects; ``terms()`` turns a result into a set of terms outside the timed
region, so that the timing holds only the peer's own work.
"""

from __future__ import annotations

import importlib.util
from typing import Callable, Dict, List, Optional, Sequence, Set


class Peer:
    name = ""
    note = ""

    def build(self, vocabulary: Sequence[str]) -> None:
        raise NotImplementedError

    def lookup(self, query: str, max_dist: int) -> object:
        raise NotImplementedError

    def terms(self, result: object) -> Set[str]:
        raise NotImplementedError


class BruteForce(Peer):
    """rapidfuzz: Levenshtein distance to every vocabulary term."""

    name = "rapidfuzz"
    note = "process.extract over the whole vocabulary, Levenshtein, score_cutoff=d"

    def __init__(self) -> None:
        from rapidfuzz import process
        from rapidfuzz.distance import Levenshtein

        self._extract = process.extract
        self._scorer = Levenshtein.distance
        self._vocabulary: List[str] = []

    def build(self, vocabulary: Sequence[str]) -> None:
        self._vocabulary = list(vocabulary)

    def lookup(self, query: str, max_dist: int) -> object:
        return self._extract(query, self._vocabulary, scorer=self._scorer,
                             score_cutoff=max_dist, limit=None)

    def terms(self, result: object) -> Set[str]:
        return {choice for choice, _score, _index in result}


class SymmetricDelete(Peer):
    """symspellpy: precomputed deletes, Verbosity.ALL, Levenshtein."""

    name = "symspellpy"
    note = "SymSpell(max_dictionary_edit_distance=2), Verbosity.ALL, Levenshtein"

    def __init__(self) -> None:
        if importlib.util.find_spec("editdistpy") is None:  # the fast Levenshtein needs it
            raise ImportError("editdistpy is missing", name="editdistpy")
        from symspellpy import SymSpell, Verbosity
        from symspellpy.editdistance import DistanceAlgorithm, EditDistance

        self._make = lambda: SymSpell(max_dictionary_edit_distance=2,
                                      distance_comparer=EditDistance(DistanceAlgorithm.LEVENSHTEIN_FAST))
        self._all = Verbosity.ALL
        self._index = None

    def build(self, vocabulary: Sequence[str]) -> None:
        index = self._make()
        for term in vocabulary:
            index.create_dictionary_entry(term, 1)
        self._index = index

    def lookup(self, query: str, max_dist: int) -> object:
        return self._index.lookup(query, self._all, max_edit_distance=max_dist)

    def terms(self, result: object) -> Set[str]:
        return {item.term for item in result}


PEERS: Dict[str, Callable[[], Peer]] = {"rapidfuzz": BruteForce, "symspellpy": SymmetricDelete}


def load_peer(name: str) -> "tuple[Optional[Peer], str]":
    """The peer, or None and why it is missing."""
    try:
        return PEERS[name](), ""
    except ImportError as error:
        return None, f"{name} not importable ({error.name}); pip install -r bench/requirements.txt"
