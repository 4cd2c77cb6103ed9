"""Hypothesis profiles, chosen by HYPOTHESIS_PROFILE (else "ci" when CI is set, else "dev").

- dev:  the defaults, without the per-example deadline (PyPy's JIT warm-up trips it).
- ci:   reproducible runs: a fixed seed and no example database.
- asan: as ci, with fewer examples, for the sanitizer build where each call is slow.

And the marker `alone`, for a test that must not share the cores with another
worker's tests.
"""

import contextlib
import fcntl
import os
import shutil
import tempfile

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile("dev", deadline=None)
settings.register_profile("ci", deadline=None, derandomize=True, database=None, print_blob=True)
settings.register_profile(
    "asan",
    settings.get_profile("ci"),
    max_examples=20,
    suppress_health_check=[HealthCheck.too_slow],
)

settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE") or ("ci" if os.environ.get("CI") else "dev"))


# A test that times how soon something happens runs alone: under
# pytest-xdist every other test holds a shared lock on the cores while it
# runs (setup and teardown included, so a module's fixtures are not built
# beside it either), and a test marked `alone` holds it exclusively. Every
# taker passes a turnstile first, so that the shared holders, coming one
# after another, cannot keep an exclusive taker waiting for ever. The lock
# files live in a directory the controller makes before the workers start.
LOCKS = "QUELLNOR_TEST_LOCKS"


def pytest_configure(config):
    config.addinivalue_line("markers", "alone: runs while no other test runs, for it times how soon something happens")
    if os.environ.get("PYTEST_XDIST_WORKER") is None and getattr(config.option, "numprocesses", None):
        config._quellnor_locks = tempfile.mkdtemp(prefix="quellnor-test-locks-")
        os.environ[LOCKS] = config._quellnor_locks


def pytest_unconfigure(config):
    locks = getattr(config, "_quellnor_locks", None)
    if locks is not None:
        shutil.rmtree(locks, ignore_errors=True)
        os.environ.pop(LOCKS, None)


@contextlib.contextmanager
def cores_for(item):
    locks = os.environ.get(LOCKS) if os.environ.get("PYTEST_XDIST_WORKER") else None
    if locks is None:
        yield
        return
    alone = item.get_closest_marker("alone") is not None
    with open(os.path.join(locks, "turnstile"), "a") as turnstile, open(os.path.join(locks, "cores"), "a") as cores:
        fcntl.flock(turnstile, fcntl.LOCK_EX)
        try:
            fcntl.flock(cores, fcntl.LOCK_EX if alone else fcntl.LOCK_SH)
        finally:
            fcntl.flock(turnstile, fcntl.LOCK_UN)
        try:
            yield
        finally:
            fcntl.flock(cores, fcntl.LOCK_UN)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    with cores_for(item):
        yield
