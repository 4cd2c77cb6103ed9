#!/bin/sh
# Builds the C++ SymSpell peer (SymSpellCppPy) for one interpreter.
#   sh bench/install_symspellcpp.sh PYTHON
# Its source distribution fetches pybind11 from the network while CMake
# runs; the recipe points its CMakeLists at the pybind11 that PyPI provides
# instead, and builds without build isolation so that this pybind11 is seen.
set -eu
PY=${1:?usage: install_symspellcpp.sh PYTHON}
VERSION=0.0.18
if "$PY" -c 'import SymSpellCppPy' 2>/dev/null; then exit 0; fi
"$PY" -m pip install -q 'pybind11>=2.10' setuptools wheel
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$PY" -m pip download -q --no-binary :all: --no-deps -d "$WORK" "SymSpellCppPy==$VERSION"
tar xzf "$WORK/SymSpellCppPy-$VERSION.tar.gz" -C "$WORK"
SRC="$WORK/SymSpellCppPy-$VERSION"
CMAKEDIR=$("$PY" -m pybind11 --cmakedir)
# The Python branch's FetchContent block becomes a find_package of the local
# pybind11; the test branch (Catch2) is never configured.
"$PY" - "$SRC/CMakeLists.txt" "$CMAKEDIR" <<'PYEOF'
import re, sys
path, cmakedir = sys.argv[1], sys.argv[2]
text = open(path).read()
fetch = re.compile(r"Include\(FetchContent\)\s*FetchContent_Declare\(\s*pybind11.*?FetchContent_MakeAvailable\(pybind11\)", re.S)
text, n = fetch.subn('set(pybind11_DIR "%s")\n    find_package(pybind11 CONFIG REQUIRED)' % cmakedir, text)
if n != 1:
    sys.exit("SymSpellCppPy's CMakeLists has changed: no pybind11 FetchContent block to replace")
open(path, "w").write(text)
PYEOF
"$PY" -m pip install -q --no-build-isolation "$SRC"
"$PY" -c 'import SymSpellCppPy'
