"""Hypothesis profiles, chosen by HYPOTHESIS_PROFILE (else "ci" when CI is set, else "dev").

- dev:  the defaults, without the per-example deadline (PyPy's JIT warm-up trips it).
- ci:   reproducible runs: a fixed seed and no example database.
- asan: as ci, with fewer examples, for the sanitizer build where each call is slow.
"""

import os

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
