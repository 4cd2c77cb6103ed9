"""The exception that the extension raises when its native code faults.

``PanicException`` derives from ``BaseException``, like ``SystemExit``: an
``except Exception`` does not catch it. The command line catches it to report
a corrupt index; a server that loads indexes it did not build itself may do
the same around its queries.
"""

from __future__ import annotations

import _quellnor  # noqa: F401 -- importing the extension registers _quellnor_runtime
from _quellnor_runtime import PanicException

__all__ = ["PanicException"]
