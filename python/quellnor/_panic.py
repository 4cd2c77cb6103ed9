"""The exception that the extension raises when its native code faults.

``PanicException`` derives from ``BaseException``, like ``SystemExit``: an
``except Exception`` does not catch it. The command line catches it to report
a corrupt index; a server that loads indexes it did not build itself may do
the same around its queries.
"""

from __future__ import annotations

import os
import sys
from typing import Type

import _quellnor  # makes _quellnor_runtime importable

__all__ = ["PanicException"]


def _provoked() -> Type[BaseException]:
    # Until the extension registers _quellnor_runtime, the type is only to be
    # had from a fault: labels without node shifts make any walk fault. The
    # fault's report on standard error is silenced.
    broken = _quellnor.PrefixSearch.from_bytes(bytes.fromhex("00" "020061" "00" "00" "00" "00"))
    sys.stderr.flush()
    try:
        saved = os.dup(2)
    except OSError:
        saved = -1
    if saved >= 0:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        os.close(devnull)
    try:
        broken.fuzzy_match("a")
    except BaseException as exc:  # noqa: B036 -- the fault is what is wanted
        return type(exc)
    finally:
        if saved >= 0:
            os.dup2(saved, 2)
            os.close(saved)
    raise ImportError("the extension does not raise PanicException")


try:
    from _quellnor_runtime import PanicException
except ImportError:  # remove with _provoked once the extension registers _quellnor_runtime
    PanicException = _provoked()  # type: ignore[assignment,misc]
