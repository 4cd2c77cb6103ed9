"""An index survives pickling (every protocol) and a trip to a worker process."""

import copy
import pickle
import re
import subprocess
import sys
import uuid
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

quellnor = pytest.importorskip("quellnor")

ROWS = [
    ("cat", uuid.UUID(int=1), 6),
    ("cat", uuid.UUID(int=2), 4),
    ("cap", uuid.UUID(int=3), 20),
    ("cart", uuid.UUID(int=2), 9),
    ("dog", uuid.UUID(int=4), 1),
    ("naïve", uuid.UUID(int=5), 2),
]
QUERIES = [("cat", 1), ("ca", 0), ("ca", 1), ("dgo", 2), ("naive", 1), ("", 3)]


@pytest.fixture(scope="module", params=["Index", "PrefixSearch"])
def index(request):
    built = quellnor.build_index(ROWS, video_top_n=2)
    return built if request.param == "Index" else built.prefix_search()


def answers(ps):
    return [(ps.fuzzy_match(q, d), ps.fuzzy_match_video(q, d), ps.fuzzy_match_video(q, d, None, True))
            for q, d in QUERIES]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(index, protocol):
    data = pickle.dumps(index, protocol=protocol)
    restored = pickle.loads(data)
    assert type(restored) is type(index)
    assert restored is not index
    assert restored.to_bytes() == index.to_bytes()
    assert answers(restored) == answers(index)


def test_pickle_inside_containers_and_copies(index):
    box = {"index": index, "same": index}
    restored = pickle.loads(pickle.dumps(box))
    assert restored["index"] is restored["same"]  # memoised, not duplicated
    assert restored["index"].to_bytes() == index.to_bytes()
    for clone in (copy.copy(index), copy.deepcopy(index)):
        assert clone.to_bytes() == index.to_bytes()


def _queries_in_worker(ps):
    return answers(ps), ps.to_bytes()


def test_process_pool_round_trip(index):
    # The default start method: Debian's PyPy 3.9 cannot run a pool under
    # "spawn"; the fresh-interpreter case is the test below.
    with ProcessPoolExecutor(max_workers=1) as pool:
        remote_answers, remote_bytes = pool.submit(_queries_in_worker, index).result(timeout=120)
    assert remote_bytes == index.to_bytes()
    assert remote_answers == answers(index)


def test_a_fresh_interpreter_unpickles_without_importing_quellnor_first(index):
    code = "import pickle, sys; ps = pickle.loads(sys.stdin.buffer.read()); print(ps.fuzzy_match('cat', 1))"
    done = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(index),
                          capture_output=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout.decode().strip() == repr(index.fuzzy_match("cat", 1))


def readme_example(first_line):
    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    (block,) = [b for b in re.findall(r"```python\n(.*?)```", readme, re.S) if b.startswith(first_line)]
    return block


@pytest.mark.parametrize("start_method", ["spawn", "fork"])
def test_the_readmes_worker_pool_runs_as_written(tmp_path, start_method):
    if start_method == "spawn" and sys.implementation.name == "pypy":
        pytest.skip("Debian's PyPy 3.9 cannot start a ProcessPoolExecutor's workers under spawn")
    (tmp_path / "search_workers.py").write_text(readme_example("# search_workers.py"), encoding="utf-8")
    videos = [uuid.UUID(int=i) for i in range(3)]
    index = quellnor.build_index([("mountain", videos[0], 3), ("mountains", videos[1], 1),
                                  ("chocolate", videos[1], 5), ("photograph", videos[2], 2)])
    index.save(tmp_path / "catalogue.qix")
    # A script's workers under spawn import it afresh: only its guard keeps
    # them from starting pools of their own.
    launch = (f"import multiprocessing, runpy; multiprocessing.set_start_method({start_method!r}); "
              "runpy.run_path('search_workers.py', run_name='__main__')")
    done = subprocess.run([sys.executable, "-c", launch], cwd=tmp_path, capture_output=True, text=True,
                          timeout=300, check=False)
    assert done.returncode == 0, done.stderr
    queries = ["mountian", "choclate", "photogr"]
    assert done.stdout == "".join(f"{q} {index.fuzzy_match_video(q, max_dist=2, limit=10)}\n" for q in queries)
