"""Folding: the one rule that makes a term and what someone types comparable.

``fold`` applies Unicode NFKC (compatibility forms such as ligatures and
full-width letters become plain ones), then case folding, then takes the
combining diacritical marks U+0300 to U+036F off the canonical decomposition
and composes what is left (NFC). So "Ardèche", "ARDECHE" and a decomposed
"Ardèche" all fold to "ardeche". The marks of other scripts, which change a
word rather than accent it, stay.

An index built with folding (the default of ``IndexBuilder``) stores folded
terms and folds every query text the same way, with this function.
"""

from __future__ import annotations

import unicodedata

__all__ = ["fold"]

# str.translate table: each combining diacritical mark maps to nothing.
_DIACRITICAL_MARKS = dict.fromkeys(range(0x300, 0x370))


def fold(text: str) -> str:
    """``text`` folded for comparison: see the module's description."""
    if text.isascii():
        # On ASCII, NFKC, NFD and NFC change nothing, case folding is lower(),
        # and there are no marks: one C call instead of five.
        return text.lower()
    folded = unicodedata.normalize("NFKC", text).casefold()
    folded = unicodedata.normalize("NFD", folded).translate(_DIACRITICAL_MARKS)
    return unicodedata.normalize("NFC", folded)
