#!/usr/bin/env bash
# Type-checks tests/typing/user_program.py with mypy --strict the way a user
# of the installed package would: mypy (run by MYPY_PYTHON) reads the
# site-packages of TARGET_PYTHON, from an empty directory, so nothing of the
# source tree can stand in for what the wheel installed.
#
#   scripts/check_user_types.sh MYPY_PYTHON TARGET_PYTHON
set -euo pipefail

program=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/typing/user_program.py
# Absolute, but not resolved: a venv's python is a link out of the venv.
absolute() { case $1 in /*) echo "$1" ;; */*) echo "$PWD/$1" ;; *) command -v "$1" ;; esac; }
mypy_python=$(absolute "$1")
target=$(absolute "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/quellnor-types.XXXXXX")
trap 'rm -rf "$work"' EXIT

cp "$program" "$work/"
cd "$work"
"$mypy_python" -m mypy --strict --no-incremental --python-executable "$target" user_program.py
