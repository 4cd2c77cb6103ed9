"""The type stubs match the built extension, and the package type-checks strictly.

Needs mypy (``make typecheck`` installs it into the CPython venv); skipped
without it and on PyPy, where mypy does not run.
"""

import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

if platform.python_implementation() != "CPython":
    pytest.skip("mypy runs on CPython only", allow_module_level=True)
pytest.importorskip("mypy")
_quellnor = pytest.importorskip("_quellnor")

ROOT = Path(__file__).resolve().parent.parent
ALLOWLIST = ROOT / "mk" / "stubtest-allowlist.txt"


def mypy(*args, cwd, env=None):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd,
                          env={**os.environ, **(env or {})}, timeout=600, check=False)


def test_installed_stubs_match_the_extension(tmp_path):
    installed = Path(_quellnor.__file__).with_name("_quellnor.pyi")
    assert installed.is_file(), f"the stubs are not installed beside {_quellnor.__file__}"
    # mypy will not read stubs out of site-packages for a single-file module,
    # and stubtest passes silently when it finds none: hand it a copy.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(installed, stubs)
    done = mypy("mypy.stubtest", "_quellnor", "--allowlist", str(ALLOWLIST), cwd=tmp_path,
                env={"MYPYPATH": str(stubs)})
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success: no issues found in 1 module" in done.stdout


def test_package_passes_mypy_strict(tmp_path):
    done = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                str(ROOT / "python" / "quellnor"), str(ROOT / "python" / "_quellnor.pyi"), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
