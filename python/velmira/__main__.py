"""``python -m velmira``, and the ``velmira`` command's entry point.

The entry point imports the package's modules itself, so that Ctrl-C while they load (most
of the command's first tenth of a second) ends it as Ctrl-C does later: one line, status 130.
"""

import sys
from typing import Optional, Sequence


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        from .cli import main as run
    except KeyboardInterrupt:
        sys.stderr.write("velmira: interrupted\n")
        return 130
    return run(argv)


if __name__ == "__main__":
    sys.exit(main())
