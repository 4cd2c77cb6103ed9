"""The query string of a request to ``quellnor.web``: decoded strictly, and
each parameter checked against the bounds that keep one request cheap.

The bounds are what let a worker promise an answer in milliseconds whatever
a client sends: the edit distance is what makes a walk grow, the query's
length what makes each step of it dearer, and ``k`` and ``limit`` what size
the answer.
"""

from __future__ import annotations

from typing import Dict, FrozenSet, Optional
from urllib.parse import unquote_to_bytes

__all__ = ["BadParameter", "Parameters", "MAX_QUERY_CHARS", "MAX_K", "MAX_DIST", "MAX_LIMIT", "DEFAULT_LIMIT"]

MAX_QUERY_CHARS = 100
MAX_K = 100
MAX_DIST = 3
MAX_LIMIT = 1000
DEFAULT_LIMIT = 100  # fuzzy_match without a limit: the terms are many for a short query
MAX_PARAMETERS = 16  # far more than any endpoint takes, so a flood of fields is refused early

_TRUE = frozenset({"1", "true", "yes", "on"})
_FALSE = frozenset({"0", "false", "no", "off"})
_PREFIX_NODES: Dict[str, Optional[bool]] = {"auto": None, "yes": True, "no": False}


class BadParameter(ValueError):
    """A parameter missing, repeated, unknown or out of bounds; ``parameter`` names it."""

    def __init__(self, parameter: str, message: str) -> None:
        super().__init__(message)
        self.parameter = parameter


class Parameters:
    """The parameters of one request, each asked for by name and type.

    ``accepted`` lists what the endpoint takes: a parameter outside it is
    refused rather than ignored, so a misspelt ``max_dst`` never passes
    silently for the default.
    """

    def __init__(self, query_string: str, accepted: FrozenSet[str]) -> None:
        self._values = _decode(query_string)
        for name in self._values:
            if name not in accepted:
                raise BadParameter(name, f"unknown parameter {name!r}; this endpoint takes "
                                   + ", ".join(sorted(accepted)))

    def text(self, name: str) -> str:
        value = self._values.get(name)
        if value is None:
            raise BadParameter(name, f"parameter {name!r} is required")
        if len(value) > MAX_QUERY_CHARS:
            raise BadParameter(name, f"parameter {name!r} is longer than {MAX_QUERY_CHARS} characters")
        return value

    def whole(self, name: str, low: int, high: int, default: int) -> int:
        """A whole number from ``low`` to ``high``; ``default`` when absent or ``auto``."""
        found = self.optional_whole(name, low, high)
        return default if found is None else found

    def optional_whole(self, name: str, low: int, high: int) -> Optional[int]:
        """A whole number from ``low`` to ``high``; None when absent or ``auto``."""
        value = self._values.get(name)
        if value is None or value == "auto":
            return None
        # int() alone would take " 3", "3_0" and "+3": only plain digits are a number here.
        if not (value.isascii() and value.isdigit()) or not low <= int(value) <= high:
            raise BadParameter(name, f"parameter {name!r} must be a whole number from {low} to {high}, "
                               f"not {_shown(value)}")
        return int(value)

    def flag(self, name: str, default: bool) -> bool:
        value = self._values.get(name)
        if value is None:
            return default
        if value.lower() in _TRUE:
            return True
        if value.lower() in _FALSE:
            return False
        raise BadParameter(name, f"parameter {name!r} must be true or false, not {_shown(value)}")

    def prefix_nodes(self, name: str) -> Optional[bool]:
        value = self._values.get(name, "auto")
        if value not in _PREFIX_NODES:
            raise BadParameter(name, f"parameter {name!r} must be auto, yes or no, not {_shown(value)}")
        return _PREFIX_NODES[value]


def _decode(query_string: str) -> Dict[str, str]:
    """Name to value, percent-decoded as UTF-8 with '+' for a space.

    Text that is not valid UTF-8 is refused, never patched with replacement
    characters that would then be searched for.
    """
    fields = [field for field in query_string.split("&") if field]
    if len(fields) > MAX_PARAMETERS:
        raise BadParameter("", f"more than {MAX_PARAMETERS} parameters")
    values: Dict[str, str] = {}
    for field in fields:
        name_part, _, value_part = field.partition("=")
        name = _unquote(name_part, "")
        if name in values:
            raise BadParameter(name, f"parameter {name!r} is given more than once")
        values[name] = _unquote(value_part, name)
    return values


def _unquote(part: str, name: str) -> str:
    """``part`` decoded; ``name`` is its parameter's, empty for a name itself."""
    try:
        # A WSGI server passes the request's bytes as Latin-1 text (PEP 3333);
        # one that decoded them already passes text that Latin-1 cannot hold.
        try:
            raw = part.replace("+", " ").encode("latin-1")
        except UnicodeEncodeError:
            raw = part.replace("+", " ").encode("utf-8", "surrogatepass")
        return unquote_to_bytes(raw).decode("utf-8")
    except UnicodeDecodeError:
        what = f"parameter {name!r}" if name else "a parameter name"
        raise BadParameter(name, f"{what} is not valid UTF-8 text") from None


def _shown(value: str) -> str:
    return repr(value if len(value) <= 20 else value[:20] + "...")
