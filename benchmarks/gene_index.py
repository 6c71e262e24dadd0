"""The interval index the counting function takes, built from a GTF's exon lines.

Genes are identified by their gene_id attribute, in order of first appearance; each contig's
entry holds every distinct exon of every gene on it, ascending by start.
"""

import re

GENE_ID = re.compile(r'gene_id "([^"]*)"')


class ContigEntry:
    """One contig's intervals with their starts and running maximum of ends."""

    __slots__ = ("intervals", "starts", "prefix_max_ends")

    def __init__(self, intervals):
        self.intervals = tuple(sorted(intervals))
        self.starts = tuple(interval[0] for interval in self.intervals)
        ends, running = [], None
        for interval in self.intervals:
            running = interval[1] if running is None else max(running, interval[1])
            ends.append(running)
        self.prefix_max_ends = tuple(ends)


def read_gtf(path, feature="exon"):
    """-> (gene_ids, gene_index) from the `feature` lines of a GTF file."""
    gene_ids = {}
    per_contig = {}
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            if line.startswith("#") or not line.strip():
                continue
            fields = line.rstrip("\n").split("\t")
            if len(fields) != 9:
                raise ValueError(f"{path}:{number}: expected 9 tab-separated fields, "
                                 f"found {len(fields)}")
            if fields[2] != feature:
                continue
            match = GENE_ID.search(fields[8])
            if match is None:
                raise ValueError(f"{path}:{number}: {feature} line without a gene_id")
            try:
                start, end = int(fields[3]) - 1, int(fields[4])
            except ValueError:
                raise ValueError(f"{path}:{number}: start and end must be integers") from None
            gene_id = match.group(1)
            gene_ids.setdefault(gene_id, None)
            per_contig.setdefault(fields[0], set()).add((start, end, gene_id, fields[6]))
    index = {contig: ContigEntry(intervals) for contig, intervals in per_contig.items()}
    return list(gene_ids), index
