"""Runs the installed htseq-count (1.99.2, Debian's python3-htseq) and dulse htseq-count on the
same records (fc_model's SamRecord) and features, and returns what each printed.

What htseq-count 1.99.2 does, as observed on small files:

- Single-end, per record: secondary and supplementary records are skipped unless
  --secondary-/--supplementary-alignments score (the default skips them, in no counter). Then,
  in this order: unaligned -> __not_aligned; NH > 1 -> __alignment_not_unique, the end of it
  under --nonunique none, else the record goes on (and can land in a second counter); MAPQ
  below -a -> __too_low_aQual; an aligned block on a chromosome without features of the type
  -> __no_feature; then the feature set over the M, = and X blocks (D and N skipped) by -m:
  empty -> __no_feature, several -> __ambiguous, one -> that gene.
- --nonunique all adds 1 to each gene of an ambiguous set; fraction adds 1/n to each (and
  prints every gene that got anything as a Python float, summed in file order); random adds 1
  to one. NH never divides.
- A file is paired-end when its first record is; a single-end record after that is an error.
  A file whose first record is single-end is counted record by record, read 2 not flipped.
- Pairs by name: only adjacent records of one name; of them, the earliest read pairs with the
  first later record of the other read number whose aligned flag is what it says of its mate
  (a mate is aligned when 0x8 is clear and RNEXT is set) and, when both are aligned, that lies
  where it says. Pairs by position (-r pos): the same keys with template lengths opposite,
  anywhere in the file; HI is never looked at. Unpaired records are counted alone, at the end
  with -r pos.
- A pair: __not_aligned when read 1 is missing or unaligned (1.99.2; htseq-count's
  documentation, and 2.x, count such a pair by its read 2); NH > 1 on either record;
  MAPQ below -a on either record, aligned or not (an unmapped mate with MAPQ 0 makes the pair
  __too_low_aQual); then both reads' blocks, read 2's on the other strand, make one set.
- The table: genes sorted by ID, then the five counters; --additional-attr and
  --add-chromosome-info take the gene's last feature's values.
"""

from __future__ import annotations

import contextlib
import io
import shutil
import subprocess
from pathlib import Path

import fc_peer

EXECUTABLE = "htseq-count"
INPUT = "input.sam"
ANNOTATION = "annotation.gtf"


def available():
    return shutil.which(EXECUTABLE) is not None


def write_inputs(folder, records, features, sort_order, lengths):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    fc_peer.write_sam(folder / INPUT, records, sort_order, lengths)
    fc_peer.write_gtf(folder / ANNOTATION, features)
    return folder


def run_htseq(folder, options):
    """(exit status, standard output, standard error) of htseq-count in folder."""
    done = subprocess.run([EXECUTABLE, *options, INPUT, ANNOTATION], cwd=folder,
                          capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def run_dulse(folder, options):
    """(exit status, standard output, standard error) of dulse htseq-count, in this process."""
    from dulse.cli import main

    folder = Path(folder)
    out, err = io.StringIO(), io.StringIO()
    arguments = [*options, str(folder / INPUT), str(folder / ANNOTATION)]
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = main(["htseq-count", "-q", *arguments])
        except SystemExit as exit:
            status = exit.code
    return status, out.getvalue(), err.getvalue()
