"""The type stubs match the built extension, and type-check a user's program.

Needs mypy (``make typecheck`` installs it into the CPython venv); skipped
without it and on PyPy, where mypy does not run.
"""

import platform
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


def run(*args, cwd):
    return subprocess.run([*args], capture_output=True, text=True, cwd=cwd, timeout=600, check=False)


def test_installed_stubs_match_the_extension(tmp_path):
    # The stubs are read as installed: stub-only packages beside the module.
    modules = ["_quellnor", "_quellnor_runtime"]  # the second exists once the first is imported
    done = run(sys.executable, "-m", "mypy.stubtest", *modules, "--allowlist", str(ALLOWLIST), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"Success: no issues found in {len(modules)} module" in done.stdout


def test_package_passes_mypy_strict(tmp_path):
    done = run(sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
               str(ROOT / "python" / "quellnor"), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_a_user_program_sees_the_installed_types():
    done = run("bash", str(ROOT / "scripts" / "check_user_types.sh"), sys.executable, sys.executable, cwd=ROOT)
    assert done.returncode == 0, done.stdout + done.stderr
