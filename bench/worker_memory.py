"""PSS of 1 and 8 worker processes that each open one index file, by the
queries they answer: suggestions and exact matches only ("open-exact"), or
those and fuzzy_match at one and two edits ("open"), which need the reversed
terms: kept in the file, or derived in each worker's own memory when the
file predates them.

    python bench/worker_memory.py INDEX_FILE [--workers 1 8]

The workers are bench/serving.py's; this runs them on any index file.
"""

import argparse
import sys

from serving import memory_figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("index")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 8])
    args = parser.parse_args()
    print(f"{'traffic':<12}{'workers':>8}{'added MiB':>11}{'x file':>8}")
    for row in memory_figures(sys.executable, args.index, args.workers, ["open-exact", "open"]):
        print(f"{row['mode']:<12}{row['workers']:>8}{row['added_pss_mib']:>11.1f}{row['times_one_index']:>8.2f}"
              f"   (file {row['file_mib']:.1f} MiB)")


if __name__ == "__main__":
    main()
