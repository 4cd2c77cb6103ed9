"""The DuckDB recipe end to end: a million events aggregated by DuckDB into
Parquet, indexed by quellnor build, queried."""

import sys
from pathlib import Path

import pytest

pytest.importorskip("duckdb", reason="DuckDB has no wheels for this interpreter")
pytest.importorskip("pyarrow", reason="pyarrow has no wheels for this interpreter")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import duckdb_recipe  # noqa: E402


def test_the_index_ranks_first_the_video_the_log_says_was_clicked_most(tmp_path):
    checked = duckdb_recipe.run(1_000_000, tmp_path)
    assert len(checked) == 20
    assert [found for _, _, found in checked] == [expected for _, expected, _ in checked]
