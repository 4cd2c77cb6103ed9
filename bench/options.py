"""The options every benchmark script takes: its size, and the interpreter run beside this one."""

from __future__ import annotations

import argparse
import platform
from pathlib import Path
from typing import Optional

REPO = Path(__file__).resolve().parent.parent


def add_size_and_pypy(parser: argparse.ArgumentParser, quick: str = "smoke run", full: str = "the figures (default)") -> None:
    """--quick or --full (default), and --pypy PATH or --no-pypy."""
    size = parser.add_mutually_exclusive_group()
    size.add_argument("--quick", dest="mode", action="store_const", const="quick", help=quick)
    size.add_argument("--full", dest="mode", action="store_const", const="full", help=full)
    parser.set_defaults(mode="full")
    second = parser.add_mutually_exclusive_group()
    second.add_argument("--pypy", metavar="PATH", default=None,
                        help="second interpreter, run beside this one (default: .venv-pypy/bin/python if present)")
    second.add_argument("--no-pypy", action="store_true", help="run on this interpreter only")


def second_interpreter(args: argparse.Namespace) -> Optional[str]:
    """--pypy, else the worktree's PyPy venv when this interpreter is not PyPy itself, unless --no-pypy."""
    if args.no_pypy:
        return None
    if args.pypy:
        return str(args.pypy)
    default = REPO / ".venv-pypy" / "bin" / "python"
    if default.exists() and platform.python_implementation() != "PyPy":
        return str(default)
    return None
