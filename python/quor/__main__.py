"""``python3 -m quor``: see :mod:`quor.cli`."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
