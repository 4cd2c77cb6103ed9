"""``quellnor serve`` in a child process on a free loopback port, for the
server's tests, the browser test and the load benchmark."""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from importlib import resources
from typing import Any, List, Optional, Tuple

LISTENING = re.compile(r"Listening at: http://(127\.0\.0\.1:[0-9]+)")


class Served:
    """The server of one index file; ``url`` is its base, ``pid`` its master's."""

    def __init__(self, index_path: str, *, workers: int = 2, threads: int = 4, python: Optional[str] = None,
                 timeout: float = 60.0) -> None:
        self.log = tempfile.NamedTemporaryFile("w+", prefix="quellnor-serve-", suffix=".log")
        command = [python or sys.executable, "-m", "quellnor", "serve", index_path, "--port", "0",
                   "--workers", str(workers), "--threads", str(threads)]
        # Port 0: the system picks a free port, which gunicorn's log names.
        self.process = subprocess.Popen(command, stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.pid = self.process.pid
        try:
            self.url = "http://" + self._wait_for(LISTENING, timeout).group(1)
            self.wait_for_workers(workers, timeout)
        except BaseException:
            self.stop()
            raise

    def _wait_for(self, pattern: "re.Pattern[str]", timeout: float) -> "re.Match[str]":
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = pattern.search(self.output())
            if found:
                return found
            if self.process.poll() is not None:
                raise RuntimeError(f"quellnor serve exited with {self.process.returncode}:\n{self.output()}")
            time.sleep(0.05)
        raise TimeoutError(f"quellnor serve did not get that far in {timeout} s:\n{self.output()}")

    def wait_for_workers(self, workers: int, timeout: float) -> None:
        """Until ``workers`` distinct workers have answered the health check."""
        deadline = time.monotonic() + timeout
        seen = set()
        while len(seen) < workers:
            if time.monotonic() > deadline:
                raise TimeoutError(f"only {len(seen)} of {workers} workers answered:\n{self.output()}")
            status, body = self.get("/api/health")
            if status == 200:
                seen.add(body["pid"])

    def output(self) -> str:
        with open(self.log.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def get(self, path: str, method: str = "GET") -> Tuple[int, Any]:
        """The status and decoded JSON body (None when there is none) of one request."""
        request = urllib.request.Request(self.url + path, method=method)
        try:
            with urllib.request.urlopen(request, timeout=30) as response:
                status, raw = response.status, response.read()
        except urllib.error.HTTPError as error:
            status, raw = error.code, error.read()
        return status, json.loads(raw) if raw else None

    def reload(self) -> None:
        os.kill(self.pid, signal.SIGHUP)

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        return self.process.returncode

    def __enter__(self) -> "Served":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


def build_sample_index(path: str) -> None:
    """Writes the index of the sample catalogue that ships with the package to ``path``."""
    from quellnor._cli import main

    sample = resources.files("quellnor").joinpath("data").joinpath("sample_catalogue.tsv.gz")
    with resources.as_file(sample) as catalogue:
        if main(["build", str(catalogue), "-o", path]) != 0:
            raise RuntimeError(f"quellnor build of the sample catalogue into {path} failed")


def gunicorn_missing() -> List[str]:
    """Why the server cannot run here, as pytest's skip reasons (empty when it can)."""
    try:
        import gunicorn  # noqa: F401
    except ImportError:
        return ["gunicorn is not installed (pip install quellnor[serve])"]
    return []
