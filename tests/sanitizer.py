"""Whether this run is the sanitizer build's (make asan), where every call is
several times slower and freed memory stays in quarantine."""

import os

UNDER_SANITIZER = os.environ.get("HYPOTHESIS_PROFILE") == "asan" or "asan" in os.environ.get("LD_PRELOAD", "")
