"""`python -m dulse`: the same as the `dulse` command."""

import sys

from dulse.cli import main

sys.exit(main())
