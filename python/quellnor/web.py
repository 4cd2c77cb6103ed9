"""A WSGI application that answers an index's queries over HTTP, and the
typeahead page that uses it.

``make_app(index)`` serves one loaded ``Index`` from any WSGI server;
``quellnor serve INDEX`` runs it under gunicorn with several worker
processes. Every answer is JSON::

    GET /api/suggest?q=chocl&k=10&max_dist=auto&transpositions=true
        {"q": "chocl", "results": [{"term": ..., "distance": ..., "weight": ...}, ...]}
    GET /api/suggest_videos?q=chocl&k=10            results: [{"video": ..., "score": ...}]
    GET /api/fuzzy_match?q=choclate&max_dist=1&limit=100    results: [{"term": ..., "distance": ...}]
    GET /api/fuzzy_match_video?q=photogr&max_dist=1&limit=10&prefix_nodes=auto
                                                    results: [{"video": ..., "share": ...}]
    GET /api/health     {"status": "ok", "index": ..., "terms": ..., "nodes": ..., "videos": ..., ...}
    GET /               the typeahead page

A bad, missing, repeated or unknown parameter is answered with 400 and
``{"error": ..., "parameter": ...}``; an unknown path with 404, a method
other than GET or HEAD with 405, and a failure inside a query with 500 (the
failure is logged; the worker lives on).
"""

from __future__ import annotations

import json
import logging
import os
from importlib import resources
from typing import Any, Callable, Dict, FrozenSet, Iterable, List, Tuple

from ._fold import fold
from ._index import Index
from ._panic import PanicException
from ._web_params import DEFAULT_LIMIT, MAX_DIST, MAX_K, MAX_LIMIT, MAX_QUERY_CHARS, BadParameter, Parameters

__all__ = ["make_app"]

_log = logging.getLogger("quellnor.web")

Json = Dict[str, Any]
StartResponse = Callable[..., Any]
Environ = Dict[str, Any]


class _Endpoint:
    """One API path: the parameters it takes and how it answers."""

    def __init__(self, accepted: Iterable[str], answer: Callable[[Index, Parameters], Json]) -> None:
        self.accepted: FrozenSet[str] = frozenset(accepted)
        self.answer = answer


def _suggest(index: Index, ask: Parameters) -> Json:
    q, k, options = _suggestion_arguments(index, ask)
    found = index.suggest(q, k, **options)
    return {"q": q, "results": [{"term": t, "distance": d, "weight": w} for t, d, w in found]}


def _suggest_videos(index: Index, ask: Parameters) -> Json:
    q, k, options = _suggestion_arguments(index, ask)
    found = index.suggest_videos(q, k, **options)
    return {"q": q, "results": [{"video": v, "score": s} for v, s in found]}


def _suggestion_arguments(index: Index, ask: Parameters) -> Tuple[str, int, Dict[str, Any]]:
    options = {"max_dist": ask.optional_whole("max_dist", 0, MAX_DIST),
               "transpositions": ask.flag("transpositions", True)}
    return _query(index, ask), ask.whole("k", 0, MAX_K, 10), options


def _query(index: Index, ask: Parameters) -> str:
    """``q``, bounded as the walks will see it: folding can make one character eighteen."""
    q = ask.text("q")
    if index.folded and len(fold(q)) > MAX_QUERY_CHARS:
        raise BadParameter("q", f"parameter 'q' is longer than {MAX_QUERY_CHARS} characters once folded")
    return q


def _fuzzy_match(index: Index, ask: Parameters) -> Json:
    q = _query(index, ask)
    # Limits from 1: the library stops only after its first hit, so limit 0 would still bring one.
    limit = ask.whole("limit", 1, MAX_LIMIT, DEFAULT_LIMIT)
    found = index.fuzzy_match(q, ask.whole("max_dist", 0, MAX_DIST, 1), limit)
    return {"q": q, "results": [{"term": t, "distance": d} for t, _, d in found]}


def _fuzzy_match_video(index: Index, ask: Parameters) -> Json:
    q = _query(index, ask)
    found = index.fuzzy_match_video(q, ask.whole("max_dist", 0, MAX_DIST, 1), ask.optional_whole("limit", 1, MAX_LIMIT),
                                    ask.prefix_nodes("prefix_nodes"))
    return {"q": q, "results": [{"video": v, "share": s} for v, s in found]}


_TEXT_QUERY = ("q", "k", "max_dist", "transpositions")
_ENDPOINTS: Dict[str, _Endpoint] = {
    "/api/suggest": _Endpoint(_TEXT_QUERY, _suggest),
    "/api/suggest_videos": _Endpoint(_TEXT_QUERY, _suggest_videos),
    "/api/fuzzy_match": _Endpoint(("q", "max_dist", "limit"), _fuzzy_match),
    "/api/fuzzy_match_video": _Endpoint(("q", "max_dist", "limit", "prefix_nodes"), _fuzzy_match_video),
}
_PAGE_PATHS = ("/", "/index.html")
_METHODS = ("GET", "HEAD")


class _Response:
    def __init__(self, status: str, body: bytes, content_type: str, extra: Tuple[Tuple[str, str], ...] = ()) -> None:
        self.status = status
        self.body = body
        self.headers: List[Tuple[str, str]] = [("Content-Type", content_type),
                                               ("Content-Length", str(len(body))), *extra]


def _json(status: str, payload: Json, *extra: Tuple[str, str]) -> _Response:
    body = json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    # The index behind an answer can be swapped at any time: nothing is cached.
    return _Response(status, body, "application/json; charset=utf-8", (("Cache-Control", "no-store"), *extra))


def _error(status: str, message: str, **fields: str) -> _Response:
    return _json(status, {"error": message, **fields})


class _App:
    """The WSGI callable: routes a request to its endpoint, the health check or the page."""

    def __init__(self, index: Index, label: str) -> None:
        self.index = index
        self.label = label
        self.page = resources.files("quellnor").joinpath("data").joinpath("typeahead.html").read_bytes()

    def __call__(self, environ: Environ, start_response: StartResponse) -> List[bytes]:
        response = self.respond(environ)
        start_response(response.status, response.headers)
        return [] if environ.get("REQUEST_METHOD") == "HEAD" else [response.body]

    def respond(self, environ: Environ) -> _Response:
        path = environ.get("PATH_INFO") or "/"
        endpoint = _ENDPOINTS.get(path)
        if endpoint is None and path != "/api/health" and path not in _PAGE_PATHS:
            return _error("404 Not Found", f"no such path: {path}")
        method = environ.get("REQUEST_METHOD", "GET")
        if method not in _METHODS:
            return _json("405 Method Not Allowed", {"error": f"method {method} is not allowed here; use GET"},
                         ("Allow", ", ".join(_METHODS)))
        if path in _PAGE_PATHS:
            return _Response("200 OK", self.page, "text/html; charset=utf-8")
        query_string = environ.get("QUERY_STRING", "")
        try:
            if endpoint is None:
                Parameters(query_string, frozenset())
                return _json("200 OK", self.health())
            return _json("200 OK", endpoint.answer(self.index, Parameters(query_string, endpoint.accepted)))
        except BadParameter as exc:
            return _error("400 Bad Request", str(exc), parameter=exc.parameter)
        except (Exception, PanicException):
            # A corrupt index or a fault of ours fails this request, not the
            # worker; the traceback goes to the server's log.
            _log.exception("%s %s?%s failed", method, path, query_string)
            return _error("500 Internal Server Error", "the query failed; the server's log says why")

    def health(self) -> Json:
        index = self.index
        return {"status": "ok", "index": self.label, "terms": len(index), "nodes": index.node_count,
                "videos": index.video_count, "folded": index.folded, "pid": os.getpid()}


def make_app(index: Index, *, label: str = "") -> Callable[[Environ, StartResponse], List[bytes]]:
    """A WSGI application answering from ``index``; ``label`` (the index's
    path, say) is what ``/api/health`` reports as its ``index``."""
    if not isinstance(index, Index):
        raise TypeError(f"make_app() needs a quellnor.Index, not {type(index).__name__}")
    return _App(index, label)
