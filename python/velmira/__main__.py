"""``python -m velmira``: the same as the ``velmira`` command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
