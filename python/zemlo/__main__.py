"""`python -m zemlo`: the zemlo command (see `zemlo --help`)."""

import sys

from zemlo.cli import main

if __name__ == "__main__":
    sys.exit(main())
