"""`python -m dulse`: the same as the `dulse` command."""

import sys

from dulse.cli import main

if __name__ == "__main__":
    sys.exit(main())
