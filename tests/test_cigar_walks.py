"""A record's blocks are read from its CIGAR in two ways: alone, which is all most counts need,
and beside the read's lengths and splice junctions, which -J and the options that measure
overlaps need. Whatever a CIGAR holds (every operation, runs of aligned ones, zero lengths,
clips in the middle, more sections than --maxMOp looks at), both must give the same blocks:
counting with -J, or with a --nonOverlap limit that no read reaches, changes no count and no
summary row.
"""

import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import bam_bytes
import fc_peer
import sam_strategies as S
from dulse import Settings, count_bam, read_annotation

EXAMPLES = int(os.environ.get("CIGAR_WALK_EXAMPLES", "60"))
CONTIGS = (("chr1", 5000), ("chr2", 5000))

OPERATIONS = st.tuples(st.sampled_from("MMM==XIDNSHP"), st.integers(0, 40)).map(
    lambda op: (op[0], op[1] * 10 if op[0] == "N" else op[1]))


@st.composite
def records(draw):
    reads = []
    for number in range(draw(st.integers(1, 30))):
        cigar = draw(st.lists(OPERATIONS, min_size=1, max_size=12))
        reads.append(bam_bytes.record(
            name=f"r{number}".encode(), flag=draw(st.sampled_from((0, 16))),
            tid=draw(st.integers(0, 1)), pos=draw(st.integers(0, S.SPAN)), cigar=cigar,
            aux=b"NHC" + bytes([draw(st.integers(1, 2))])))
    return reads


@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(reads=records(), features=S.annotations(), max_m_operations=st.integers(1, 12),
       multi_overlap=st.booleans(), multi_mapping=st.booleans())
def test_blocks_alone_are_the_blocks_beside_lengths_and_junctions(
        tmp_path_factory, reads, features, max_m_operations, multi_overlap, multi_mapping):
    folder = tmp_path_factory.mktemp("cigars")
    bam = folder / "reads.bam"
    bam.write_bytes(bam_bytes.bam(reads, refs=CONTIGS))
    annotation = read_annotation(fc_peer.write_saf(folder / "genes.saf", features),
                                 file_format="SAF")
    base = Settings(max_m_operations=max_m_operations, multi_overlap=multi_overlap,
                    multi_mapping=multi_mapping)
    results = []
    for chosen in (base, base.replace(junctions=True), base.replace(non_overlap=1 << 30)):
        result = count_bam(str(bam), annotation, chosen)
        results.append((result.counts.tolist(), dict(result.summary)))
    assert sum(results[0][1].values()) == len(reads)
    assert results[1] == results[0]
    assert results[2] == results[0]
