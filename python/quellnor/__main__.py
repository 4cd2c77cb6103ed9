"""``python -m quellnor``: the command line (see ``quellnor --help``)."""

import sys

from quellnor._cli import main

if __name__ == "__main__":
    sys.exit(main())
