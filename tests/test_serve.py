"""The reference server: ``quellnor serve`` in a child process on a loopback
port, its answers checked against the library's own, and the web
application in process for what a real index cannot provoke."""

from __future__ import annotations

import os
import time
import urllib.parse
import urllib.request

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quellnor
from quellnor import Index
from quellnor._cli import main as cli_main
from quellnor._serve import load
from quellnor.web import make_app
from served import Served, build_sample_index, gunicorn_missing
from test_index import shared_subtree
from trie_bytes import encode

needs_gunicorn = pytest.mark.skipif(bool(gunicorn_missing()), reason="".join(gunicorn_missing()))


@pytest.fixture(scope="module")
def sample_path(tmp_path_factory):
    """The index of the sample catalogue that ships with the package."""
    path = str(tmp_path_factory.mktemp("served") / "sample.idx")
    build_sample_index(path)
    return path


@pytest.fixture(scope="module")
def server(sample_path):
    if gunicorn_missing():
        pytest.skip(gunicorn_missing()[0])
    # gunicorn's sync workers here; the other servers of the tests run its threaded ones.
    with Served(sample_path, workers=2, threads=1) as served:
        yield served


@pytest.fixture(scope="module")
def sample(sample_path):
    return load(sample_path)


# --- answers equal the library's ---------------------------------------------

def expected(index: Index, endpoint: str, params: dict) -> list:
    """What the endpoint should answer: the library's call, with the server's defaults."""
    q = params["q"]
    flag = {None: True, "true": True, "false": False}[params.get("transpositions")]
    max_dist = params.get("max_dist")
    if endpoint in ("suggest", "suggest_videos"):
        found = getattr(index, endpoint)(q, params.get("k", 10), max_dist=max_dist, transpositions=flag)
        if endpoint == "suggest":
            return [{"term": t, "distance": d, "weight": w} for t, d, w in found]
        return [{"video": v, "score": s} for v, s in found]
    if endpoint == "fuzzy_match":
        found = index.fuzzy_match(q, 1 if max_dist is None else max_dist, params.get("limit", 100))
        return [{"term": t, "distance": d} for t, _, d in found]
    prefix = {None: None, "auto": None, "yes": True, "no": False}[params.get("prefix_nodes")]
    found = index.fuzzy_match_video(q, 1 if max_dist is None else max_dist, params.get("limit"), prefix)
    return [{"video": v, "share": s} for v, s in found]


WORDS = ["chocolate", "mountain", "photograph", "guitar", "volcano", "knitting", "telescope", "a"]
typed = st.builds(lambda word, cut, noise: word[:cut] + noise, st.sampled_from(WORDS), st.integers(0, 12),
                  st.sampled_from(["", "e", "x", "É"]))
OPTIONAL = {
    "suggest": {"k": st.integers(0, 100), "max_dist": st.integers(0, 3),
                "transpositions": st.sampled_from(["true", "false"])},
    "fuzzy_match": {"max_dist": st.integers(0, 3), "limit": st.integers(1, 1000)},
    "fuzzy_match_video": {"max_dist": st.integers(0, 3), "limit": st.integers(1, 1000),
                          "prefix_nodes": st.sampled_from(["auto", "yes", "no"])},
}
OPTIONAL["suggest_videos"] = OPTIONAL["suggest"]


@st.composite
def requests(draw):
    endpoint = draw(st.sampled_from(sorted(OPTIONAL)))
    params = {"q": draw(st.one_of(typed, st.text(max_size=6)))}
    for name, values in OPTIONAL[endpoint].items():
        if draw(st.booleans()):
            params[name] = draw(values)
    return endpoint, params


@needs_gunicorn
@given(requests())
def test_every_endpoint_answers_as_the_library_does(server, sample, request_):
    endpoint, params = request_
    status, body = server.get(f"/api/{endpoint}?" + urllib.parse.urlencode(params, quote_via=urllib.parse.quote))
    assert status == 200, body
    assert body == {"q": params["q"], "results": expected(sample, endpoint, params)}


@needs_gunicorn
def test_health_names_the_index_and_a_worker(server, sample, sample_path):
    status, body = server.get("/api/health")
    assert status == 200
    assert body == {"status": "ok", "index": sample_path, "terms": len(sample), "nodes": sample.node_count,
                    "videos": sample.video_count, "folded": sample.folded, "pid": body["pid"]}
    assert body["pid"] != server.pid  # a worker answers, not the master


# --- refusals ------------------------------------------------------------------

@needs_gunicorn
@pytest.mark.parametrize("path, status, parameter", [
    ("/api/suggest", 400, "q"),
    ("/api/suggest?q=a&k=101", 400, "k"),
    ("/api/suggest?q=a&k=-1", 400, "k"),
    ("/api/suggest?q=a&k=%2B3", 400, "k"),
    ("/api/suggest?q=a&k=1.5", 400, "k"),
    ("/api/suggest_videos?q=a&max_dist=4", 400, "max_dist"),
    ("/api/suggest?q=a&transpositions=maybe", 400, "transpositions"),
    ("/api/suggest?q=a&q=b", 400, "q"),
    ("/api/suggest?q=" + "a" * 101, 400, "q"),
    ("/api/suggest?q=%C3", 400, "q"),
    ("/api/suggest?q=a&max_dst=1", 400, "max_dst"),
    ("/api/fuzzy_match?q=a&limit=0", 400, "limit"),
    ("/api/fuzzy_match?q=a&limit=1001", 400, "limit"),
    ("/api/fuzzy_match_video?q=a&prefix_nodes=sometimes", 400, "prefix_nodes"),
    ("/api/health?verbose=1", 400, "verbose"),
    ("/api/suggest?" + "&".join(f"p{i}=1" for i in range(17)), 400, ""),
    ("/api/nothing", 404, None),
    ("/api/suggest/", 404, None),
])
def test_bad_requests_are_answered_in_json(server, path, status, parameter):
    got, body = server.get(path)
    assert got == status
    assert isinstance(body["error"], str) and body["error"]
    assert body.get("parameter") == parameter


@needs_gunicorn
@pytest.mark.parametrize("method", ["POST", "PUT", "DELETE"])
def test_other_methods_are_refused(server, method):
    status, body = server.get("/api/suggest?q=a", method=method)
    assert status == 405 and method in body["error"]


@needs_gunicorn
def test_head_and_the_page(server):
    assert server.get("/api/suggest?q=choc", method="HEAD") == (200, None)
    with urllib.request.urlopen(server.url + "/") as response:
        assert response.headers["Content-Type"].startswith("text/html")
        assert b'id="q"' in response.read()


def call_app(app, statuses, path, query):
    return b"".join(app({"REQUEST_METHOD": "GET", "PATH_INFO": path, "QUERY_STRING": query},
                        lambda status, headers: statuses.append(status)))


def test_a_failing_query_is_a_500_and_the_application_lives_on():
    app = make_app(Index.from_bytes(encode(shared_subtree())), label="dag")
    statuses = []

    def call(path, query):
        return call_app(app, statuses, path, query)

    assert b"error" in call("/api/suggest", "q=a")  # suggest panics on a trie that is not a tree
    assert b'"distance":0' in call("/api/fuzzy_match", "q=ac&max_dist=0")
    assert statuses == ["500 Internal Server Error", "200 OK"]


@pytest.mark.parametrize("endpoint", sorted(OPTIONAL))
def test_the_length_bound_holds_for_the_text_as_folded(endpoint):
    """U+FDFA folds to eighteen characters: six of them are over a hundred."""
    app = make_app(quellnor.build_index([("salla", "3b342e3a-8ce5-4c75-82ec-b832b8c0a1ee", 1)]))
    statuses = []
    for text, status in (("\ufdfa" * 5, "200 OK"), ("\ufdfa" * 6, "400 Bad Request")):
        call_app(app, statuses, f"/api/{endpoint}", "q=" + urllib.parse.quote(text))
        assert statuses[-1] == status


# --- the command ----------------------------------------------------------------

@pytest.mark.parametrize("hide_gunicorn, index, message", [
    (True, "sample", "pip install quellnor[serve]"),
    (False, "missing", "No such file"),
    (False, "garbage", "garbage.idx"),
])
def test_serve_refuses_to_start_with_a_reason(monkeypatch, capsys, tmp_path, sample_path,
                                               hide_gunicorn, index, message):
    if hide_gunicorn:
        monkeypatch.setitem(__import__("sys").modules, "gunicorn.app.base", None)
    elif gunicorn_missing():
        pytest.skip(gunicorn_missing()[0])
    (tmp_path / "garbage.idx").write_bytes(b"not an index")
    path = {"sample": sample_path, "missing": str(tmp_path / "missing.idx"),
            "garbage": str(tmp_path / "garbage.idx")}[index]
    assert cli_main(["serve", path]) == 1
    assert message in capsys.readouterr().err


# --- swapping the index ----------------------------------------------------------

def write_index(path, words):
    # save() writes beside the file and renames over it: the old file stays
    # whole for the workers that still map it.
    quellnor.build_index((w, "3b342e3a-8ce5-4c75-82ec-b832b8c0a1ee", 1) for w in words).save(path)


def first_terms(server, q):
    status, body = server.get(f"/api/suggest?q={q}")
    assert status == 200, body
    return [r["term"] for r in body["results"]]


def settle(server, q, want, timeout=60.0):
    """Until ten answers in a row are ``want``: every worker answers from the same index.

    While workers hand over, gunicorn may reset a connection that an old
    worker accepted as it stopped (a known fault of its threaded workers):
    such a request is asked again, as a client would.
    """
    deadline, streak = time.monotonic() + timeout, 0
    while streak < 10:
        assert time.monotonic() < deadline, f"still not {want}:\n{server.output()}"
        streak = streak + 1 if asked_again(lambda: first_terms(server, q)) == want else 0


def asked_again(ask):
    """``ask()``, repeated while its connection is reset."""
    while True:
        try:
            return ask()
        except ConnectionResetError:
            pass


@needs_gunicorn
def test_hup_swaps_in_the_new_file_and_keeps_the_old_when_the_new_is_broken(tmp_path):
    path = str(tmp_path / "live.idx")
    write_index(path, ["apple", "apricot"])
    with Served(path, workers=2) as server:
        assert first_terms(server, "ap") == ["apple", "apricot"]
        write_index(path, ["apple", "applied"])
        assert first_terms(server, "ap") == ["apple", "apricot"]  # nothing changes until asked
        server.reload()
        settle(server, "ap", ["apple", "applied"])

        with open(path + ".new", "wb") as f:
            f.write(b"not an index")
        os.replace(path + ".new", path)
        _, health = server.get("/api/health")
        server.reload()
        deadline = time.monotonic() + 60
        while "does not load" not in server.output():
            assert time.monotonic() < deadline, server.output()
            time.sleep(0.05)
        old_worker = health["pid"]
        while asked_again(lambda: server.get("/api/health"))[1]["pid"] == old_worker:
            assert time.monotonic() < deadline, server.output()
        settle(server, "ap", ["apple", "applied"])
        assert server.process.poll() is None
