"""``quellnor serve INDEX``: the WSGI application of ``quellnor.web`` under
gunicorn, with several pre-forked worker processes.

Each worker opens the index itself after the fork, so none is loaded into
the master and copied. The master holds the file open instead: a worker
opens the file the master holds, not the path, so that a ``kill -HUP`` after
the path was replaced by a broken file starts workers on the last good
index, and the log says why.
"""

from __future__ import annotations

import logging
import os
from typing import Any, Callable, Dict, List, Optional

from ._index import Index
from ._index_file import open_index
from ._panic import PanicException
from .web import make_app

__all__ = ["serve", "ServeError", "load"]

INSTALL_HINT = "the server needs gunicorn: pip install quellnor[serve]"

_log = logging.getLogger("gunicorn.error")


class ServeError(Exception):
    """The server cannot start: no gunicorn, or an index that does not load."""


def load(path: str) -> Index:
    """The index file at ``path``, mapped: every worker shares its pages."""
    return open_index(Index, path)


class _HeldIndex:
    """The index file the master has checked, open for the workers to read.

    The path is opened and loaded once in the master to check it, then only
    the open file is kept; a worker loads through it (``/proc/self/fd``,
    where the system has it), so it sees the file as it was when checked,
    whatever has since been put at the path.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        self.fd: Optional[int] = None
        self.take()

    def take(self) -> None:
        """Checks the file now at the path and holds it; raises when it does not load."""
        fd = os.open(self.path, os.O_RDONLY)
        try:
            load(self._name(fd))
        except BaseException:
            os.close(fd)
            raise
        if self.fd is not None:
            os.close(self.fd)
        self.fd = fd

    def retake(self) -> None:
        """On a reload: the file now at the path if it loads, else the one held."""
        try:
            self.take()
            _log.info("quellnor: workers will load %s as it is now", self.path)
        except (Exception, PanicException) as exc:  # whatever the file holds, the master lives on
            _log.error("quellnor: %s does not load (%s); new workers keep the index loaded before", self.path, exc)

    def open(self) -> Index:
        assert self.fd is not None
        return load(self._name(self.fd))

    def _name(self, fd: int) -> str:
        held = f"/proc/self/fd/{fd}"
        return held if os.path.exists(held) else self.path


def _log_as_gunicorn(logger: logging.Logger) -> None:
    """Sends ``logger``'s records where gunicorn's error log goes, in its format."""
    if not logger.handlers:
        for handler in _log.handlers:
            logger.addHandler(handler)
        logger.propagate = False


def serve(path: str, *, host: str = "127.0.0.1", port: int = 8000, workers: int = 2, threads: int = 4,
          access_log: bool = False, extra: Optional[Dict[str, Any]] = None) -> None:
    """Runs the server until it is stopped (SIGINT or SIGTERM).

    ``threads`` above 1 runs gunicorn's threaded workers, which keep
    connections alive between requests and let a slow client hold a thread
    rather than the whole worker; 1 runs its sync workers. ``extra`` sets any other gunicorn
    setting by name.
    """
    try:
        from gunicorn.app.base import BaseApplication  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise ServeError(INSTALL_HINT) from None
    try:
        held = _HeldIndex(path)
    except (OSError, ValueError, PanicException) as exc:
        raise ServeError(f"{path}: {getattr(exc, 'strerror', None) or exc}") from None
    bind = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    settings: Dict[str, Any] = {
        "bind": [bind], "workers": workers, "threads": threads, "proc_name": "quellnor serve",
        "accesslog": "-" if access_log else None, "errorlog": "-",
        # A request takes milliseconds; a worker silent this long is stuck, and replaced.
        "timeout": 30, "graceful_timeout": 10, **(extra or {}),
    }

    class Application(BaseApplication):  # type: ignore[misc,unused-ignore]
        def load_config(self) -> None:
            # gunicorn 25.1 and later listen on a control socket in the home
            # directory, one path for every server of the user: not for us.
            quiet = {"control_socket_disable": True} if "control_socket_disable" in self.cfg.settings else {}
            for name, value in {**quiet, **settings}.items():
                self.cfg.set(name, value)

        def load(self) -> Callable[..., List[bytes]]:
            # Without preload_app this runs in each worker, after the fork.
            _log_as_gunicorn(logging.getLogger("quellnor.web"))
            return make_app(held.open(), label=path)

        def reload(self) -> None:
            super().reload()
            held.retake()

    Application().run()
