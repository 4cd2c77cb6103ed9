#!/usr/bin/env bash
# Installs every wheel in DIST (default dist/) into a fresh virtual environment
# of the interpreter its tag names, and checks that the installed package works
# away from the source tree: import, build, query, pickle, the stubs and
# py.typed, the console script and the demo. With MYPY_PYTHON set (an
# interpreter that has mypy), a CPython wheel's venv also gets a user program
# type-checked against it. Also checks that the sdist holds what a build from
# it needs.
#
#   [MYPY_PYTHON=python] scripts/check_wheel.sh [DIST]
#
# Exits non-zero on the first failure. Needs no network: wheels install with
# --no-index, and the package has no dependencies.
set -euo pipefail

dist=$(cd "${1:-dist}" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quellnor-wheel-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { printf 'check_wheel: FAILED: %s\n' "$*" >&2; exit 1; }

# The interpreter a wheel's Python tag asks for: cp311 -> python3.11, pp39 -> pypy3.9 (or pypy3).
interpreter_for() {
  local tag=$1 candidates=()
  case "$tag" in
    cp3*) candidates=("python3.${tag#cp3}") ;;
    pp3*) candidates=("pypy3.${tag#pp3}" pypy3) ;;
    *) fail "unknown Python tag $tag" ;;
  esac
  for c in "${candidates[@]}"; do
    if command -v "$c" >/dev/null 2>&1; then
      local want=${tag:2}  # e.g. 311 or 39
      local have
      have=$("$c" -c 'import sys; print("%d%d" % sys.version_info[:2])')
      if [ "$have" = "$want" ]; then echo "$c"; return 0; fi
    fi
  done
  fail "no interpreter for $tag (tried ${candidates[*]})"
}

shopt -s nullglob
wheels=("$dist"/quellnor-*.whl)
sdists=("$dist"/quellnor-*.tar.gz)
[ ${#wheels[@]} -gt 0 ] || fail "no wheels in $dist (run make dist)"
[ ${#sdists[@]} -eq 1 ] || fail "expected one sdist in $dist, found ${#sdists[@]}"

# The sdist must carry the sources, the stubs and the sample catalogue.
listing=$(tar -tzf "${sdists[0]}")
for needed in pyproject.toml CMakeLists.txt src/binding/module.cpp src/binding/exports.map \
              python/_quellnor-stubs/__init__.pyi python/_quellnor_runtime-stubs/__init__.pyi \
              python/quellnor/__init__.py python/quellnor/py.typed \
              python/quellnor/data/sample_catalogue.tsv.gz scripts/make_sample_catalogue.py; do
  grep -q "^[^/]*/$needed\$" <<<"$listing" || fail "${sdists[0]##*/} lacks $needed"
done
echo "ok   ${sdists[0]##*/}"

for wheel in "${wheels[@]}"; do
  name=${wheel##*/}
  tag=$(cut -d- -f3 <<<"$name")
  python=$(interpreter_for "$tag")
  venv="$work/venv-$tag"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-index --no-deps "$wheel"
  # Run from an empty directory, so that nothing is imported from the source tree.
  mkdir -p "$work/run-$tag"
  (
    cd "$work/run-$tag"
    "$venv/bin/python" - <<'EOF'
import pathlib, pickle, uuid
import _quellnor, quellnor

assert quellnor.PrefixSearch is _quellnor.PrefixSearch
site = pathlib.Path(_quellnor.__file__).parent
for stubs in ("_quellnor-stubs", "_quellnor_runtime-stubs"):
    assert (site / stubs / "__init__.pyi").is_file(), f"{stubs} not installed"
assert (pathlib.Path(quellnor.__file__).parent / "py.typed").is_file(), "py.typed not installed"
video = uuid.UUID(int=7)
ps = quellnor.build_index([("colour", video, 3), ("color", uuid.UUID(int=8), 1)])
assert ps.fuzzy_match("colur", 1) == [("color", 1, 1), ("colour", 1, 1)], ps.fuzzy_match("colur", 1)
assert ps.fuzzy_match_video("colour", 0) == [(str(video), 1.0)]
again = pickle.loads(pickle.dumps(ps))
assert again.to_bytes() == ps.to_bytes()
EOF
    "$venv/bin/quellnor" --help >/dev/null
    version=$(cut -d- -f2 <<<"$name")
    [ "$("$venv/bin/quellnor" --version)" = "quellnor $version" ] || fail "$name: --version does not say $version"
    "$venv/bin/quellnor" demo >demo.out
    grep -q '^Sample catalogue: ' demo.out || fail "$name: the demo printed no summary"
    if [ -n "${MYPY_PYTHON:-}" ] && [[ $tag == cp* ]]; then
      bash "$here/check_user_types.sh" "$MYPY_PYTHON" "$venv/bin/python" || fail "$name: a user program does not type-check"
    fi
  ) || fail "$name does not work when installed"
  echo "ok   $name ($python)"
done
echo "check_wheel: ${#wheels[@]} wheel(s) and the sdist are fine"
