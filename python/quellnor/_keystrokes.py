"""Suggestions as a person types: one block per keystroke, for the command line."""

from __future__ import annotations

from typing import IO, Optional

from ._index import Index

__all__ = ["show_keystrokes"]


def show_keystrokes(index: Index, text: str, out: IO[str], *, k: int = 10, videos: bool = False,
                    max_dist: Optional[int] = None) -> None:
    """Writes what ``suggest`` (and with ``videos`` ``suggest_videos``) gives
    for each prefix of ``text``, from its first character to the whole."""
    for end in range(1, len(text) + 1):
        typed = text[:end]
        out.write(f"  [{typed}]\n")
        found = index.suggest(typed, k, max_dist=max_dist)
        if not found:
            out.write("    no terms\n")
        width = max((len(term) for term, _, _ in found), default=0)
        for rank, (term, distance, weight) in enumerate(found, 1):
            out.write(f"  {rank:>3}. {term:<{width}}  {distance}  {weight:>,}\n")
        if videos:
            ranking = index.suggest_videos(typed, k, max_dist=max_dist)
            out.write("    videos: " + (", ".join(f"{video} {score:.1%}" for video, score in ranking) or "none")
                      + "\n")
