"""The `dulse` command: `dulse count` (featureCounts' command line) and `dulse htseq-count`
(htseq-count's).

Exit status: 0 on success, 1 when an input cannot be used (or an output cannot be written),
2 for a command line that does not make sense. Errors are one line on stderr; no output file
is left half-written.
"""

import sys
import warnings

from dulse import __version__, signals, stdio
from dulse.cli import count, htseq_count
from dulse.cli.common import Parser, run_command

__all__ = ["main", "build_parser"]


def build_parser():
    parser = Parser(prog="dulse", allow_abbrev=False,
                    description="Gene-level read counting for RNA-seq alignments.")
    parser.add_argument("--version", action="version", version=f"dulse {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=Parser)
    count.add_parser(commands)
    htseq_count.add_parser(commands)
    return parser


def main(argv=None):
    stdio.protect_descriptors()
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser().parse_args(argv)
    with warnings.catch_warnings(), signals.handled():
        return run_command(args, argv)
