"""Read sets made from a seeded random generator, for tests that need more reads than hypothesis
draws cheaply: read pairs of every kind, and single-end reads."""

import sam_strategies as S
from fc_model import (DUPLICATE, FIRST, MATE_REVERSE, MATE_UNMAPPED, PAIRED, REVERSE, SECOND,
                      SECONDARY, SUPPLEMENTARY, UNMAPPED, SamRecord)


def mapped_pair(name, pos1, pos2, contig1="chr1", contig2=None, length=50, reverse1=False,
                tags=(), extra=0, mapq=60):
    """Read 1 at pos1 and read 2 at pos2 (1-based), 50M each, pointing at each other."""
    contig2 = contig2 or contig1
    cigar = f"{length}M"
    tlen = 0
    if contig1 == contig2:
        tlen = max(pos1, pos2) + length - min(pos1, pos2)
    flag1 = PAIRED | FIRST | extra | (REVERSE if reverse1 else MATE_REVERSE)
    flag2 = PAIRED | SECOND | extra | (MATE_REVERSE if reverse1 else REVERSE)
    return [SamRecord(name, flag1, contig1, pos1, mapq, cigar, contig2, pos2,
                      tlen if pos1 <= pos2 else -tlen, tags),
            SamRecord(name, flag2, contig2, pos2, mapq, cigar, contig1, pos1,
                      -tlen if pos1 <= pos2 else tlen, tags)]


def random_library(rng, templates):
    """Read pairs along chr1 and chr2: most proper, some multi-mapped (HI, secondary), some with
    a mate missing, a supplementary piece, one mate or both unmapped, duplicates."""
    records = []
    for number in range(templates):
        name = f"t{number}"
        kind = rng.random()
        contig = rng.choice(("chr1", "chr2", "chrU"))
        pos1 = rng.randint(1, 4500)
        pos2 = max(1, min(4900, pos1 + rng.randint(-100, 400)))
        extra = DUPLICATE if rng.random() < 0.05 else 0
        if kind < 0.6:
            records += mapped_pair(name, pos1, pos2, contig, reverse1=rng.random() < 0.5,
                                   extra=extra, mapq=rng.choice((0, 10, 60)))
        elif kind < 0.75:
            hits = rng.randint(2, 4)
            for hi in range(1, hits + 1):
                here = rng.randint(1, 4500)
                records += mapped_pair(name, here, here + rng.randint(0, 300),
                                       rng.choice(("chr1", "chr2")),
                                       tags=(("NH", hits), ("HI", hi)),
                                       extra=SECONDARY if hi > 1 else 0)
        elif kind < 0.83:
            records.append(rng.choice(mapped_pair(name, pos1, pos2, contig)))
        elif kind < 0.9:
            first, second = mapped_pair(name, pos1, pos2, contig)
            records += [first, second, SamRecord(name, PAIRED | SECOND | SUPPLEMENTARY, "chr1",
                                                 rng.randint(1, 4500), 60, "20S30M", contig,
                                                 pos1, 0)]
        elif kind < 0.96:
            records += [SamRecord(name, PAIRED | FIRST | MATE_UNMAPPED, contig, pos1, 60, "50M",
                                  contig, pos1, 0),
                        SamRecord(name, PAIRED | SECOND | UNMAPPED, contig, pos1, 0, "*", contig,
                                  pos1, 0)]
        else:
            records += S.unmapped_pair(name)
    return records


def random_single_end(rng, reads):
    """Single-end reads on chr1, chr2 and chrU: most aligned once, some multi-mapped (NH, HI,
    secondary), some spliced, some unmapped, of MAPQ 0 to 60."""
    records = []
    for number in range(reads):
        name = f"s{number}"
        if rng.random() < 0.05:
            records.append(SamRecord(name, UNMAPPED, None, 0, 0, "*"))
            continue
        hits = rng.choice((1, 1, 1, 2, 3))
        for hi in range(1, hits + 1):
            cigar = rng.choice(("50M", "20M200N30M", "10S40M", "25M2D25M"))
            flag = (REVERSE if rng.random() < 0.5 else 0) | (SECONDARY if hi > 1 else 0)
            tags = (("NH", hits), ("HI", hi)) if hits > 1 else (("NH", 1),)
            records.append(SamRecord(name, flag, rng.choice(("chr1", "chr2", "chrU")),
                                     rng.randint(1, 4500), rng.choice((0, 10, 60)), cigar,
                                     tags=tags))
    return records
