"""dulse htseq-count against the installed htseq-count 1.99.2 on random read sets: single-end and
paired (every file order, by name and by position), every overlap mode, --nonunique none, all
and fraction, secondary and supplementary alignments scored or not, every strandedness and
several minimum qualities. The counts table must be the same text.

Pairs are compared with --pairs-as-1.99 (1.99.2 calls a pair without an aligned read 1
__not_aligned); test_htseq.py checks the 2.x rule dulse follows by default. Skipped where
htseq-count is not installed, except under CI=true, where that fails.
HTSEQ_EXAMPLES=50 widens the search, HTSEQ_SHRINK=1 shrinks a failing example, and
HTSEQ_KEEP=FOLDER keeps its input files there.
"""

import os
import tempfile

import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

import htseq_peer
import sam_strategies as S
from helpers import require_peer

EXAMPLES = int(os.environ.get("HTSEQ_EXAMPLES", "3"))

# Each example runs htseq-count, which takes half a second: failures are not shrunk unless
# HTSEQ_SHRINK=1.
PHASES = [Phase.explicit, Phase.generate] + ([Phase.shrink]
                                             if os.environ.get("HTSEQ_SHRINK") == "1" else [])
differential = settings(max_examples=EXAMPLES, deadline=None, database=None,
                        phases=PHASES, suppress_health_check=list(HealthCheck))


@pytest.fixture(scope="module", autouse=True)
def htseq_count():
    require_peer(htseq_peer.available(), "htseq-count")


SCORE = ["--secondary-alignments", "score", "--supplementary-alignments", "score"]
SINGLE_END = {
    "defaults": [],
    "unstranded": ["-s", "no"],
    "reverse a0": ["-s", "reverse", "-a", "0"],
    "strict all": ["-m", "intersection-strict", "--nonunique", "all"],
    "nonempty fraction unstranded": ["-m", "intersection-nonempty", "--nonunique", "fraction",
                                     "-s", "no"],
    "union fraction scored a0": ["--nonunique", "fraction", "-a", "0", *SCORE],
    "strict secondary scored a30": ["-m", "intersection-strict", "-a", "30",
                                    "--secondary-alignments", "score"],
    "nonempty all supplementary reverse": ["-m", "intersection-nonempty", "--nonunique", "all",
                                           "--supplementary-alignments", "score", "-s",
                                           "reverse"],
}
PAIRED = {
    "defaults": [],
    "unstranded scored a0": ["-s", "no", "-a", "0", *SCORE],
    "strict all reverse": ["-m", "intersection-strict", "--nonunique", "all", "-s", "reverse"],
    "nonempty fraction scored": ["-m", "intersection-nonempty", "--nonunique", "fraction",
                                 *SCORE],
    "union fraction unstranded a1": ["--nonunique", "fraction", "-s", "no", "-a", "1"],
    "strict supplementary a0": ["-m", "intersection-strict", "-a", "0",
                                "--supplementary-alignments", "score"],
}
ORDERS = {"aligner": "name", "name": "name", "coordinate": "pos", "shuffled": "pos"}


def assert_same_table(records, features, options, sort_order="unsorted", dulse_options=(),
                      peer_options=()):
    with tempfile.TemporaryDirectory() as folder:
        htseq_peer.write_inputs(folder, records, features, sort_order, S.CONTIG_LENGTHS)
        status, expected, error = htseq_peer.run_htseq(folder, [*peer_options, *options])
        assert status == 0, error[-500:]
        status, text, error = htseq_peer.run_dulse(folder, [*dulse_options, *options])
        assert status == 0, error
        if text != expected and os.environ.get("HTSEQ_KEEP"):
            import shutil
            shutil.copytree(folder, os.environ["HTSEQ_KEEP"], dirs_exist_ok=True)
        assert text == expected, (options, sort_order)


@pytest.mark.parametrize("group", SINGLE_END)
@differential
@given(records=S.single_end_reads(min_reads=3, max_reads=30), features=S.annotations())
def test_single_end_tables_agree(group, records, features):
    assert_same_table(records, features, SINGLE_END[group])


@pytest.mark.parametrize("group", PAIRED)
@differential
@given(records=S.paired_end_reads(min_templates=2, max_templates=20, single_end_records=False),
       features=S.annotations(), rng=st.randoms())
def test_paired_tables_agree_in_every_order(group, records, features, rng):
    for (sort_order, ordered), order in zip(S.file_orders(records, rng), ORDERS):
        assert_same_table(ordered, features, ["-r", ORDERS[order], *PAIRED[group]], sort_order,
                          dulse_options=["--pairs-as-1.99"])


@differential
@given(records=S.single_end_reads(min_reads=3, max_reads=30), features=S.annotations(),
       types=st.sampled_from([["-t", "exon"], ["-t", "exon", "-t", "CDS"]]),
       extra=st.sampled_from([[], ["--additional-attr", "transcript_id"],
                              ["--add-chromosome-info", "-d", ","]]))
def test_annotation_options_agree(records, features, types, extra):
    # htseq-count 1.99.2 keeps the last -t only (2.x all of them): the file has exon lines
    # alone, so -t exon -t CDS is -t exon. --additional-attr takes the gene's last feature's
    # value.
    assert_same_table(records, features, extra, dulse_options=types, peer_options=["-t", "exon"])
