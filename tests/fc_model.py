"""A plain-Python model of how featureCounts 2.0.3 counts reads and fragments per gene.

Every rule here was established by running featureCounts 2.0.3 on small generated files (see
fc_peer.py and test_fc_model.py, which compare this model with the installed program) and from
its usage text. Each rule lives in one function, whose docstring says what featureCounts does.

Input: SAM records (``SamRecord``), the annotation as features (``Feature``) and the options
(``Options``, with featureCounts' meanings). Output (``Result``): per-gene counts in annotation
order and the 14 summary rows in featureCounts' order.

The model does not depend on the order of the records. featureCounts itself does, in a few
corners (see ``order_sensitive_fragments``); the model reports those fragments so that callers can
keep to inputs where featureCounts' answer is the same in every file order.
"""

from __future__ import annotations

import re
import struct
from dataclasses import dataclass, field
from typing import Iterable, Optional

SUMMARY_ROWS = (
    "Assigned",
    "Unassigned_Unmapped",
    "Unassigned_Read_Type",
    "Unassigned_Singleton",
    "Unassigned_MappingQuality",
    "Unassigned_Chimera",
    "Unassigned_FragmentLength",
    "Unassigned_Duplicate",
    "Unassigned_MultiMapping",
    "Unassigned_Secondary",
    "Unassigned_NonSplit",
    "Unassigned_NoFeatures",
    "Unassigned_Overlapping_Length",
    "Unassigned_Ambiguity",
)



def summary_rows(options):
    """The summary's rows: under --nonSplitOnly featureCounts names the row of the reads it
    sets aside Unassigned_Split instead of Unassigned_NonSplit."""
    if not options.non_split_only:
        return SUMMARY_ROWS
    return tuple("Unassigned_Split" if row == "Unassigned_NonSplit" else row
                 for row in SUMMARY_ROWS)


# SAM flag bits.
PAIRED = 0x1
UNMAPPED = 0x4
MATE_UNMAPPED = 0x8
REVERSE = 0x10
MATE_REVERSE = 0x20
FIRST = 0x40
SECOND = 0x80
SECONDARY = 0x100
DUPLICATE = 0x400
SUPPLEMENTARY = 0x800

# featureCounts keeps fractional counts in fixed point with 16 fractional bits.
FIXED_POINT_ONE = 1 << 16

MAX_M_OPERATIONS = 10  # featureCounts' --maxMOp default


@dataclass(frozen=True)
class SamRecord:
    """One SAM line. ``contig``/``mate_contig`` are None for '*'; positions are 1-based (0: none).

    ``mate_contig`` holds the mate's contig name itself, never '='."""

    name: str
    flag: int
    contig: Optional[str]
    pos: int
    mapq: int
    cigar: str  # '*' when absent
    mate_contig: Optional[str] = None
    mate_pos: int = 0
    tlen: int = 0
    tags: tuple = ()  # ((tag, value), ...): NH and HI (int), RG (str)

    def tag(self, name, default=None):
        for key, value in self.tags:
            if key == name:
                return value
        return default


@dataclass(frozen=True)
class Feature:
    """One annotation row (an exon): 1-based inclusive coordinates, strand '+' or '-'."""

    gene: str
    contig: str
    start: int
    end: int
    strand: str


@dataclass(frozen=True)
class Options:
    """featureCounts' options, by their flags."""

    paired: bool = False  # -p
    count_read_pairs: bool = False  # --countReadPairs
    both_aligned: bool = False  # -B
    exclude_chimeric: bool = False  # -C
    check_fragment_length: bool = False  # -P
    min_fragment_length: int = 50  # -d
    max_fragment_length: int = 600  # -D
    strand: int = 0  # -s 0|1|2
    min_mapq: int = 0  # -Q
    multi_mapping: bool = False  # -M
    fraction: bool = False  # --fraction
    primary_only: bool = False  # --primary
    multi_overlap: bool = False  # -O
    ignore_dup: bool = False  # --ignoreDup
    feature_level: bool = False  # -f: counts per feature row, not per gene
    min_overlap: int = 1  # --minOverlap (negative: a gap allowed)
    frac_overlap: float = 0.0  # --fracOverlap
    frac_overlap_feature: float = 0.0  # --fracOverlapFeature
    largest_overlap: bool = False  # --largestOverlap
    non_overlap: Optional[int] = None  # --nonOverlap
    non_overlap_feature: Optional[int] = None  # --nonOverlapFeature
    read2pos: Optional[int] = None  # --read2pos 5|3
    read_shift_type: str = "upstream"  # --readShiftType
    read_shift_size: int = 0  # --readShiftSize
    read_extension5: int = 0  # --readExtension5
    read_extension3: int = 0  # --readExtension3
    split_only: bool = False  # --splitOnly
    non_split_only: bool = False  # --nonSplitOnly

    @property
    def fragments(self):
        """Whether the counted units are fragments (-p --countReadPairs) rather than reads."""
        return self.paired and self.count_read_pairs


@dataclass
class Result:
    counts: dict  # gene (with -f: feature row) -> float, in annotation order
    summary: dict  # summary row -> int, in SUMMARY_ROWS order
    order_sensitive: list = field(default_factory=list)  # names of order-sensitive fragments


class Refused(Exception):
    """featureCounts refuses the input or the options: it prints ``message`` on stderr (after its
    banner) and exits with status 255, writing neither the counts file nor the summary."""

    exit_status = 255

    def __init__(self, message):
        super().__init__(message)
        self.message = message


# --------------------------------------------------------------------------------------------
# Refusals


def check_options(options: Options):
    """featureCounts refuses -P without -B; it accepts --fraction without -M or -O (no effect)."""
    if options.check_fragment_length and not options.both_aligned:
        raise Refused(
            "ERROR: when the '-P' option is specified for checking fragment lengths, the '-B' "
            "option must also be specified to require both ends mapped.")


def check_library_type(records: list, options: Options, file_name: str):
    """Any record with flag 0x1, anywhere in the file (mapped or not), makes a run without -p fail;
    a run with -p fails when no record has 0x1. The file is named as given on the command line."""
    any_paired = any(record.flag & PAIRED for record in records)
    if any_paired and not options.paired:
        raise Refused(f"ERROR: Paired-end reads were detected in single-end read library : {file_name}")
    if options.paired and not any_paired:
        raise Refused(
            f"ERROR: No paired-end reads were detected in paired-end read library : {file_name}")


# --------------------------------------------------------------------------------------------
# Alignments: covered bases and strand

CIGAR_OPERATION = re.compile(r"(\d+)([MIDNSHP=X])")


def aligned_blocks(record: SamRecord, max_m_operations=MAX_M_OPERATIONS):
    """The reference intervals a record covers: each run of M, = and X operations is one block
    (adjacent M/=/X merge). D and N consume the reference but are not covered, and split blocks;
    I, S, H and P cover nothing and also end a block. Only the blocks of the CIGAR's first
    ``max_m_operations`` sections (--maxMOp, 10) are used: every N, D and I begins a section
    (a leading one too; two in a row leave an empty one), S, H and P do not."""
    if record.flag & UNMAPPED or record.contig is None or record.cigar == "*":
        return []
    blocks, position, run_start, section = [], record.pos, None, 0
    for length, operation in CIGAR_OPERATION.findall(record.cigar):
        length = int(length)
        if operation in "M=X":
            if run_start is None:
                if section >= max_m_operations:
                    break
                run_start = position
            position += length
            continue
        if run_start is not None:
            blocks.append((run_start, position - 1))
            run_start = None
        if operation in "DN":
            position += length
        if operation in "DNI":
            section += 1
    if run_start is not None:
        blocks.append((run_start, position - 1))
    return blocks


def read_strand(record: SamRecord, options: Options):
    """The strand a record counts on: its own (0x10), flipped for the second read of a pair
    (0x80) in paired mode, in read counting and fragment counting alike."""
    reverse = bool(record.flag & REVERSE)
    if options.paired and record.flag & PAIRED and record.flag & SECOND:
        reverse = not reverse
    return "-" if reverse else "+"


def strand_matches(read_strand_: str, feature_strand: str, options: Options):
    """-s 0: any strand; -s 1: the feature's strand must be the read's; -s 2: the opposite."""
    if options.strand == 0:
        return True
    if options.strand == 1:
        return read_strand_ == feature_strand
    return read_strand_ != feature_strand


# --------------------------------------------------------------------------------------------
# Pairing


def multi_mapping_count(record: SamRecord):
    """The NH tag; missing or 0 counts as 1."""
    return max(int(record.tag("NH", 1)), 1)


def is_mapped(record: SamRecord):
    return not record.flag & UNMAPPED


def pair_signature(record: SamRecord):
    """What a record says about its pair: (read 1's place, read 2's place), each place None when
    that read is unmapped. Its own place is its contig and position unless it is unmapped (0x4);
    its mate's place is the mate fields unless the mate is unmapped (0x8). So an unmapped read's
    own position, and a mapped read's mate fields when its mate is unmapped, do not matter."""
    own = None if record.flag & UNMAPPED else (record.contig, record.pos)
    mate = None if record.flag & MATE_UNMAPPED else (record.mate_contig, record.mate_pos)
    return (own, mate) if record.flag & FIRST else (mate, own)


def pairing_key(record: SamRecord):
    """featureCounts pairs two records, in any file order and however far apart, when they have
    the same name, one is read 1 (0x40) and the other read 2 (0x80), their HI tags are equal
    (a missing HI equals only a missing HI; HI:0 is not missing) and their pair signatures agree.
    Primary, secondary and supplementary records pair alike: a secondary read 2 pairs with a
    primary read 1 if their positions point at each other. Records without 0x1, or with neither or
    both of 0x40 and 0x80, never pair."""
    if not record.flag & PAIRED or bool(record.flag & FIRST) == bool(record.flag & SECOND):
        return None
    return (record.name, record.tag("HI"), pair_signature(record))


def form_fragments(records: list):
    """Groups records into fragments: pairs (read 1, read 2) per ``pairing_key`` and lone records
    (a record whose mate is not in the file, an unpaired secondary or supplementary alignment, or a
    single-end record). Two records with the same name, flags' read number, HI and signature make
    featureCounts' pairing depend on file order; callers keep such duplicates out."""
    waiting = {}
    fragments = []
    for record in records:
        key = pairing_key(record)
        if key is None:
            fragments.append((record,))
            continue
        slot = waiting.setdefault(key, ([], []))
        slot[0 if record.flag & FIRST else 1].append(record)
    for firsts, seconds in waiting.values():
        for first, second in zip(firsts, seconds):
            fragments.append((first, second))
        unmatched = firsts[len(seconds):] + seconds[len(firsts):]
        fragments.extend((record,) for record in unmatched)
    return fragments


def ambiguous_pairings(records: list):
    """Names of reads with two records of the same pairing key and read number: featureCounts'
    pairing of those depends on file order."""
    seen, clashes = set(), set()
    for record in records:
        key = pairing_key(record)
        if key is None:
            continue
        slot = (key, bool(record.flag & FIRST))
        if slot in seen:
            clashes.add(record.name)
        seen.add(slot)
    return clashes


# --------------------------------------------------------------------------------------------
# Filters


def record_filter(record: SamRecord, options: Options):
    """The per-record checks, in featureCounts' order: --ignoreDup (0x400) before multi-mapping
    (NH > 1 without -M) before --primary (0x100; supplementary records count as primary) before
    --nonSplitOnly (``is_split``; the summary's eleventh row, see ``summary_rows``).
    An unmapped record (an unmapped mate, in fragment counting) is checked for 0x400 only.
    Returns the summary row a failing record lands in, or None."""
    if options.ignore_dup and record.flag & DUPLICATE:
        return "Unassigned_Duplicate"
    if not is_mapped(record):
        return None
    if not options.multi_mapping and multi_mapping_count(record) > 1:
        return "Unassigned_MultiMapping"
    if options.primary_only and record.flag & SECONDARY:
        return "Unassigned_Secondary"
    if options.non_split_only and is_split(record):
        return "Unassigned_NonSplit"
    return None


def read_status(record: SamRecord, options: Options):
    """Single-end counting, and -p without --countReadPairs, judge each record on its own:
    unmapped (0x4) first, then -B's Singleton (only for a record without 0x1 in a paired run:
    a mapped read whose mate is unmapped or absent is still counted), then -Q on the record's own
    MAPQ, then the per-record checks. -C and -P do nothing when reads are counted."""
    if record.flag & UNMAPPED:
        return "Unassigned_Unmapped"
    if options.paired and options.both_aligned and not record.flag & PAIRED:
        return "Unassigned_Singleton"
    if record.mapq < options.min_mapq:
        return "Unassigned_MappingQuality"
    return record_filter(record, options) or (
        "Unassigned_NonSplit" if split_only_fails((record,), options) else None)


def fragment_unmapped(fragment: tuple):
    """A fragment is Unmapped when it is a pair of unmapped reads, or a lone unmapped single-end
    record (no 0x1). A lone unmapped record with 0x1 (its mate absent) is not: it goes on, and
    ends as NoFeatures, or as Singleton with -B."""
    if any(is_mapped(record) for record in fragment):
        return False
    return len(fragment) == 2 or not fragment[0].flag & PAIRED


def both_ends_aligned(fragment: tuple):
    """-B's test: a pair whose two records are mapped, or a lone record that has 0x1, is mapped
    and says its mate is mapped (its mate need not be in the file)."""
    return all(record.flag & PAIRED and not record.flag & (UNMAPPED | MATE_UNMAPPED)
               for record in fragment)


def is_chimeric(fragment: tuple):
    """-C's test. For two mapped mates: different contigs, or the same strand (both forward or
    both reverse, from each record's own 0x10). A lone mapped record is judged by its mate fields
    (mate contig, 0x20) when it says its mate is mapped. A pair with an unmapped mate never is."""
    mapped = [record for record in fragment if is_mapped(record)]
    if len(fragment) == 2:
        if len(mapped) < 2:
            return False
        first, second = mapped
        return (first.contig != second.contig
                or bool(first.flag & REVERSE) == bool(second.flag & REVERSE))
    record = fragment[0]
    if not mapped or not record.flag & PAIRED or record.flag & MATE_UNMAPPED:
        return False
    return (record.mate_contig != record.contig
            or bool(record.flag & REVERSE) == bool(record.flag & MATE_REVERSE))


def fragment_length(fragment: tuple):
    """-P's fragment length is |TLEN| as written, not computed from the alignments. (For a pair
    featureCounts reads the TLEN of the record that comes later in the file; aligners write the
    same |TLEN| on both mates, and the model requires that.)"""
    return abs(fragment[-1].tlen)


def fragment_length_fails(fragment: tuple, options: Options):
    """-P (with -d, -D; inclusive bounds) applies only to fragments whose ends are on one contig
    on opposite strands: a chimeric-looking fragment (see ``is_chimeric``) is never rejected for
    its length, even without -C."""
    if not options.check_fragment_length or is_chimeric(fragment):
        return False
    length = fragment_length(fragment)
    return not options.min_fragment_length <= length <= options.max_fragment_length


def mapq_fails(fragment: tuple, options: Options):
    """-Q for fragments: rejected only when every record is below the threshold; the MAPQ of an
    unmapped mate counts too."""
    return all(record.mapq < options.min_mapq for record in fragment)


def fragment_status(fragment: tuple, options: Options):
    """Fragment counting (-p --countReadPairs), in featureCounts' order:
    1. ``fragment_unmapped``: Unmapped;
    2. -B: Singleton unless ``both_ends_aligned``;
    3. -C: Chimera if ``is_chimeric``;
    4. -P: FragmentLength;
    5. the per-record checks (``record_filter``) of one mate, then -Q on the fragment, then the
       per-record checks of the other mate. featureCounts takes the mate that comes later in the
       file first, so when the mates fail different checks the answer depends on file order
       (``order_sensitive``)."""
    if fragment_unmapped(fragment):
        return "Unassigned_Unmapped"
    if options.both_aligned and not both_ends_aligned(fragment):
        return "Unassigned_Singleton"
    if options.exclude_chimeric and is_chimeric(fragment):
        return "Unassigned_Chimera"
    if fragment_length_fails(fragment, options):
        return "Unassigned_FragmentLength"
    statuses = mate_statuses(fragment, options)
    failing = [status for status in statuses if status]
    if failing and len(failing) == len(statuses) and len(set(failing)) == 1:
        return failing[0]
    if mapq_fails(fragment, options):
        return "Unassigned_MappingQuality"
    if failing:
        return failing[0]
    return "Unassigned_NonSplit" if split_only_fails(fragment, options) else None


def is_split(record: SamRecord):
    """A split alignment: a mapped record with an N anywhere in its CIGAR (D does not split)."""
    return is_mapped(record) and "N" in record.cigar


def split_only_fails(records: tuple, options: Options):
    """--splitOnly, once every other check has passed: a read, or a fragment whose records are
    all mapped, with no split record lands in Unassigned_NonSplit. Counting fragments, a pair
    with an unmapped mate passes, and so do a lone record that is unmapped, says its mate is
    (0x8) or has no 0x1."""
    if not options.split_only or not all(is_mapped(record) for record in records):
        return False
    if options.fragments and any(record.flag & MATE_UNMAPPED or not record.flag & PAIRED
                                 for record in records):
        return False
    return not any(is_split(record) for record in records)


def lone_end_quirk(fragment: tuple, options: Options):
    """Counting fragments with --read2pos, featureCounts gives a lone paired record whose mate
    is flagged mapped (0x8 unset) a second end besides its own: with an extension at that end
    (--readExtension5 for 5, --readExtension3 for 3, or --minOverlap below 1) it lies elsewhere
    (the end extended twice, or not at all, by rules that the mate's strand flag 0x20 enters),
    and it may count on the other strand; an unmapped lone record can be assigned by it. The
    model leaves that second end out; callers leave such records out, as they do the
    order-sensitive ones."""
    if not options.fragments or options.read2pos is None or len(fragment) != 1:
        return False
    record = fragment[0]
    return bool(record.flag & PAIRED) and not record.flag & MATE_UNMAPPED


def mate_statuses(fragment: tuple, options: Options):
    """``record_filter`` of each record of a fragment."""
    return [record_filter(record, options) for record in fragment]


def order_sensitive(fragment: tuple, options: Options):
    """Whether featureCounts' verdict on a fragment depends on which mate comes later in the file:
    mates failing different per-record checks, or one failing one while -Q rejects the fragment;
    also mates whose |TLEN| differ when -P looks at it."""
    if len(fragment) != 2 or not options.fragments:
        return False
    if len({abs(record.tlen) for record in fragment}) > 1 and options.check_fragment_length:
        return True
    statuses = set(mate_statuses(fragment, options))
    if len(statuses) < 2:
        return False
    return None not in statuses or mapq_fails(fragment, options)


# --------------------------------------------------------------------------------------------
# Assignment


def choose_genes(ends_hits: list, options: Options, overlaps=None):
    """The genes a read or fragment is counted for, or the row it lands in.

    ``ends_hits`` holds one set of genes per mapped record. With --largestOverlap: the gene
    with the most overlapping bases (``overlaps``), all those tied with -O, else Ambiguity
    when several tie; the records' votes below play no part. With -O: every gene hit. Without
    -O: the one gene hit, else the gene hit by the most records (a fragment whose read 1 hits X
    and whose read 2 hits X and Y goes to X), else Ambiguity. Blocks of one record do not vote
    separately: a single read hitting two genes is ambiguous."""
    union = set().union(*ends_hits) if ends_hits else set()
    if not union:
        return "Unassigned_NoFeatures"
    if options.largest_overlap:
        most = max(overlaps[gene] for gene in union)
        union = {gene for gene in union if overlaps[gene] == most}
        return union if len(union) == 1 or options.multi_overlap else "Unassigned_Ambiguity"
    if options.multi_overlap or len(union) == 1:
        return union
    votes = {gene: sum(gene in hits for hits in ends_hits) for gene in union}
    best = max(votes.values())
    winners = {gene for gene, count in votes.items() if count == best}
    return winners if len(winners) == 1 else "Unassigned_Ambiguity"


def fixed_point_weight(divisor: int):
    """featureCounts adds 1/divisor as floor(65536 / divisor) / 65536: 1/3 adds 0.333328...,
    so three thirds make 0.99998, written 1.00."""
    return (FIXED_POINT_ONE // divisor) / FIXED_POINT_ONE


def unit_weight(records: Iterable[SamRecord], genes, options: Options):
    """The count each chosen gene receives. Without --fraction: 1. With --fraction: 1/x with -M
    (x: NH, for a fragment the largest NH of its mapped records), times 1/y with -O (y: the
    genes that passed the overlap rules, ``genes``: with --largestOverlap more than those
    chosen), kept in fixed point (``fixed_point_weight``). With --primary the NH part is
    dropped: the primary alignment of a multi-mapping read counts whole."""
    if not options.fraction:
        return 1.0
    divisor = 1
    if options.multi_mapping and not options.primary_only:
        divisor *= max(multi_mapping_count(record) for record in records if is_mapped(record))
    if options.multi_overlap:
        divisor *= len(genes)
    return 1.0 if divisor == 1 else fixed_point_weight(divisor)


def assign(records: tuple, annotation: list, options: Options, counts: dict, lengths=None):
    """Counts one read or fragment that passed the filters; returns its summary row."""
    mapped = [record for record in records if is_mapped(record)]
    measured = measure(mapped, annotation, options, lengths)
    if isinstance(measured, str):
        return measured
    ends_hits, overlaps = measured
    chosen = choose_genes(ends_hits, options, overlaps)
    if isinstance(chosen, str):
        return chosen
    weight = unit_weight(mapped, overlaps, options)
    for gene in chosen:
        counts[gene] += weight
    return "Assigned"


# --------------------------------------------------------------------------------------------
# Overlap lengths


def _operations_looked_at(record: SamRecord, max_m_operations):
    """The CIGAR's operations, a leading soft clip cut to POS bases, and the index of the last
    aligned operation of the first --maxMOp sections (-1 for none)."""
    operations = [(int(n), op) for n, op in CIGAR_OPERATION.findall(record.cigar)]
    leading = [at for at, (_, op) in enumerate(operations) if op != "H"][:1]
    if leading and operations[leading[0]][1] == "S":
        operations[leading[0]] = (min(operations[leading[0]][0], record.pos), "S")
    section, last, in_block = 0, -1, False
    for at, (_, op) in enumerate(operations):
        if op in "M=X":
            if not in_block and section >= max_m_operations:
                break
            in_block = True
            last = at
        else:
            in_block = False
            section += op in "DNI"
    return operations, last


def query_length(record: SamRecord, max_m_operations=MAX_M_OPERATIONS):
    """The read's length as the overlap rules take it, from the CIGAR whatever the sequence
    field holds: the query bases (M, I, S, =, X) up to the end of the last block looked at (in
    the first --maxMOp sections, see aligned_blocks), and those of the one operation right
    after it, when that is I or S (10M2I3S is 12 bases long, 10M3S 13, 10M2D3S 10). A soft clip
    that comes first (hard clips aside) counts for at most POS bases, as if it lay on the
    reference and stopped at its start (5S15M at POS 2 is 17 bases long). An extension or
    --read2pos leaves the length as it is."""
    operations, last = _operations_looked_at(record, max_m_operations)
    if last < 0:
        return 0
    length = sum(n for n, op in operations[:last + 1] if op in "MIS=X")
    if last + 1 < len(operations) and operations[last + 1][1] in "IS":
        length += operations[last + 1][0]
    return length


def placed_bases(record: SamRecord, max_m_operations=MAX_M_OPERATIONS):
    """Where the mates' overlap (fragment_bases) places the record's bases on the reference:
    the positions (1-based) of its aligned bases in the blocks looked at, of a soft clip that
    begins the CIGAR (hard clips aside; as many bases as query_length counts) on the positions
    right before the first block, and of a soft clip right after the last block on those after
    it; and (position, length) for each insertion among the bases query_length counts, placed
    on the base right before it (aligned or clipped), or after a deletion, a skip or nothing,
    on the one right after it (3S2I5M at 10: the clip on 7-9, the insertion on 9; 5M3D2I5M at
    10: the insertion on 18)."""
    operations, last = _operations_looked_at(record, max_m_operations)
    positions, insertions = set(), []
    if last < 0:
        return positions, insertions
    counted = last + 1
    if counted < len(operations) and operations[counted][1] in "IS":
        counted += 1
    at, before, placed, previous = record.pos, None, None, None
    for index, (n, op) in enumerate(operations[:counted]):
        if op == "S" and index == counted - 1 and index > last:
            positions.update(range(at, at + n))          # a clip right after the last block
        elif op == "S":
            positions.update(range(at - n, at))           # the clip that begins the CIGAR
            before = at - 1
        elif op in "M=X":
            positions.update(range(at, at + n))
            at += n
            before = at - 1
        elif op == "I":
            if previous != "I":
                placed = before if before is not None else at
            insertions.append((placed, n))
        elif op in "DN":
            at += n
        if op not in "MS=XI":
            before = None
        previous = op
    return positions, insertions


def fragment_bases(mapped: list):
    """The length --fracOverlap and --nonOverlap measure against: the records' ``query_length``
    together, less what the mates share: the positions where both place bases, and the bases
    of each one's insertions placed where the other places bases (see placed_bases)."""
    total = sum(query_length(record) for record in mapped)
    if len(mapped) == 2 and mapped[0].contig == mapped[1].contig:
        (first, first_inserted), (second, second_inserted) = map(placed_bases, mapped)
        total -= len(first & second)
        total -= sum(n for at, n in first_inserted if at in second)
        total -= sum(n for at, n in second_inserted if at in first)
    return total


def shifted(blocks, reverse: bool, contig_length, options: Options):
    """The blocks moved together by --readShiftSize: upstream is toward the 5' end (left on the
    forward strand), downstream toward the 3' end, left and right whatever the strand. Moved
    left, the first block stops at base 1; moved right, the last ends at the contig's length at
    most (a read already past it moves back to it)."""
    right = {"upstream": reverse, "downstream": not reverse, "left": False,
             "right": True}[options.read_shift_type]
    if right:
        limit = contig_length or 2**31 - 1
        by = min(blocks[-1][1] + options.read_shift_size, limit) - blocks[-1][1]
    else:
        by = max(blocks[0][0] - options.read_shift_size, 1) - blocks[0][0]
    return [[start + by, end + by] for start, end in blocks]


def counted_blocks(record: SamRecord, options: Options, lengths=None):
    """The blocks that are looked up: the first --maxMOp aligned blocks, moved (``shifted``,
    by the contig's length in ``lengths``), then the read extended (--readExtension5/3: the 5'
    end is the first block's start on the forward strand, the last block's end on the reverse,
    by the record's own 0x10; a start stops at base 1), then reduced to one base (--read2pos
    5|3) at its 5' or 3' end.

    A read moved and then extended past the contig's start loses its first block, or stops at
    base 2, in featureCounts 2.0.3; it stops at base 1 here, as an extension alone does.

    --minOverlap N below 1 is an extension of 1 - N bases at both ends, in place of
    --readExtension5/3: a feature within -N bases of the read's ends is hit (a gap between two
    blocks is not bridged), and the bases of the extension count as overlap."""
    blocks = [list(block) for block in aligned_blocks(record)]
    if not blocks:
        return []
    reverse = bool(record.flag & REVERSE)
    if options.read_shift_size:
        blocks = shifted(blocks, reverse, (lengths or {}).get(record.contig), options)
    five, three = options.read_extension5, options.read_extension3
    if options.min_overlap < 1:
        five = three = 1 - options.min_overlap
    if reverse:
        blocks[-1][1] += five
        blocks[0][0] -= three
    else:
        blocks[0][0] -= five
        blocks[-1][1] += three
    blocks[0][0] = max(blocks[0][0], 1)
    if options.read2pos is not None:
        at = blocks[0][0] if (options.read2pos == 5) != reverse else blocks[-1][1]
        blocks = [[at, at]]
    return [tuple(block) for block in blocks]


def signed_overlap(block, feature: Feature):
    """Bases of the block on the feature; minus the gap between them when they do not meet (0
    when they touch)."""
    return min(block[1], feature.end) - max(block[0], feature.start) + 1


def bases_covered(pieces):
    """Distinct bases in a list of (contig, start, end) pieces."""
    total, reach = 0, None
    for contig, start, end in sorted(pieces):
        if reach is None or contig != reach[0] or start > reach[1]:
            total += end - start + 1
            reach = (contig, end)
        elif end > reach[1]:
            total += end - reach[1]
            reach = (contig, end)
    return total


def single_precision(value: float):
    """featureCounts keeps --fracOverlap and --fracOverlapFeature as single-precision floats:
    0.8 is 0.800000011920929, so 8 bases of 10 fall short of --fracOverlap 0.8."""
    return struct.unpack("f", struct.pack("f", value))[0]


def target_of(row: int, feature: Feature, options: Options):
    """What a feature counts for: its gene, or with -f its own row."""
    return row if options.feature_level else feature.gene


def measure(mapped: list, annotation: list, options: Options, lengths=None):
    """The targets (genes, or features with -f) each mapped record hits, and each target's
    overlap in bases; or the row the read or fragment lands in.

    1. A record hits a feature on its contig, of a strand that passes -s, when one of its
       ``counted_blocks`` overlaps it.
    2. A feature's overlap is the number of its bases covered by the blocks of the records
       that hit it, a base covered by both mates counted once. --fracOverlapFeature (of the
       feature's length) and --nonOverlapFeature (its bases not covered) drop the feature
       that falls short.
    3. A target's overlap is the number of distinct bases of the features kept, covered by the
       records' blocks. --minOverlap, --fracOverlap (of ``fragment_bases``) and --nonOverlap
       (``fragment_bases`` less the overlap) drop the target that falls short.
    Unassigned_NoFeatures when no feature is hit or kept, Unassigned_Overlapping_Length when
    targets were found and all of them dropped."""
    ends = [(record, counted_blocks(record, options, lengths), read_strand(record, options))
            for record in mapped]
    hitting = {}  # feature row -> the numbers of the records hitting it
    for number, (record, blocks, strand) in enumerate(ends):
        for row, feature in enumerate(annotation):
            if feature.contig != record.contig or not strand_matches(strand, feature.strand,
                                                                     options):
                continue
            if any(signed_overlap(block, feature) > 0 for block in blocks):
                hitting.setdefault(row, set()).add(number)

    def pieces(row, numbers):
        feature = annotation[row]
        return [(feature.contig, max(start, feature.start), min(end, feature.end))
                for number in numbers for start, end in ends[number][1]
                if signed_overlap((start, end), feature) > 0]

    kept = {}
    for row, numbers in hitting.items():
        feature = annotation[row]
        length = feature.end - feature.start + 1
        overlap = bases_covered(pieces(row, numbers))
        if overlap < single_precision(options.frac_overlap_feature) * length:
            continue
        if options.non_overlap_feature is not None and length - overlap > options.non_overlap_feature:
            continue
        kept[row] = numbers
    if not kept:
        return "Unassigned_NoFeatures"

    by_target = {}
    for row, numbers in kept.items():
        by_target.setdefault(target_of(row, annotation[row], options), []).append(row)
    read_length = fragment_bases(mapped)
    overlaps, ends_hits = {}, [set() for _ in ends]
    for target, rows in by_target.items():
        overlap = bases_covered([piece for row in rows for piece in pieces(row, kept[row])])
        if overlap < options.min_overlap:
            continue
        if overlap < single_precision(options.frac_overlap) * read_length:
            continue
        if options.non_overlap is not None and read_length - overlap > options.non_overlap:
            continue
        overlaps[target] = overlap
        for row in rows:
            for number in kept[row]:
                ends_hits[number].add(target)
    if not overlaps:
        return "Unassigned_Overlapping_Length"
    return ends_hits, overlaps


# --------------------------------------------------------------------------------------------
# Counting


def feature_order(starts: list):
    """The places (into ``starts``, one contig's features in annotation order) in the order
    featureCounts sorts them, found by running it: by start, features of one start as its merge
    sort leaves them. Runs of up to 11 are sorted by selection (the first smallest swapped
    forward), longer ones split after floor(n / 2), the second half first on a tie."""
    def sort(places):
        if len(places) <= 11:
            places = list(places)
            for i in range(len(places)):
                smallest = min(range(i, len(places)), key=lambda k: (starts[places[k]], k))
                places[i], places[smallest] = places[smallest], places[i]
            return places
        first, second = sort(places[:len(places) // 2]), sort(places[len(places) // 2:])
        merged = []
        while first and second:
            taken = first if starts[first[0]] < starts[second[0]] else second
            merged.append(taken.pop(0))
        return merged + first + second

    return sort(list(range(len(starts))))


def gene_order(annotation: list):
    """Genes in the order of their first feature in the annotation."""
    return list(dict.fromkeys(feature.gene for feature in annotation))


def count(records: list, annotation: list, options: Options, file_name="input.sam",
          lengths=None) -> Result:
    """featureCounts' counts and summary for one input file (raises ``Refused`` where it refuses);
    ``lengths``: the header's contig lengths, by name."""
    check_options(options)
    check_library_type(records, options, file_name)
    if options.feature_level:
        counts = {row: 0.0 for row in range(len(annotation))}
    else:
        counts = {gene: 0.0 for gene in gene_order(annotation)}
    summary = {row: 0 for row in SUMMARY_ROWS}
    sensitive = []
    if options.fragments:
        sensitive.extend(sorted(ambiguous_pairings(records)))
        for fragment in form_fragments(records):
            if order_sensitive(fragment, options) or lone_end_quirk(fragment, options):
                sensitive.append(fragment[0].name)
            status = fragment_status(fragment, options)
            if status is None:
                status = assign(fragment, annotation, options, counts, lengths)
            summary[status] += 1
    else:
        for record in records:
            status = read_status(record, options)
            if status is None:
                status = assign((record,), annotation, options, counts, lengths)
            summary[status] += 1
    if options.non_split_only:
        summary = dict(zip(summary_rows(options), summary.values()))
    return Result(counts, summary, sensitive)


# --------------------------------------------------------------------------------------------
# The counts file


def format_count(value: float):
    """How featureCounts writes a count: a whole number as an integer ('0', '2'), anything else
    with two decimals, rounded ('0.50', '0.33', '1.00' for three fixed-point thirds)."""
    if value == int(value):
        return str(int(value))
    return f"{value:.2f}"


def gene_rows(annotation: list):
    """The Chr, Start, End, Strand and Length columns featureCounts writes for each gene.

    - Exons are listed one per feature, duplicates included, ';'-separated in each column.
    - Contigs come in the order of their first appearance in the whole annotation (not the gene).
    - Within a contig, a gene's exons are grouped by strand; the groups come in the order of
      their lowest start, and each group is sorted by start. (Exons of one gene with equal
      starts on one contig come in an order the model does not settle.)
    - Length is the number of distinct bases per (contig, strand), summed: overlapping exons on
      the same strand are merged, on opposite strands they are not.
    """
    contig_rank = {contig: rank for rank, contig in
                   enumerate(dict.fromkeys(feature.contig for feature in annotation))}
    rows = {}
    for gene in gene_order(annotation):
        exons = [feature for feature in annotation if feature.gene == gene]
        listed = []
        for contig in sorted({exon.contig for exon in exons}, key=contig_rank.get):
            on_contig = sorted((exon for exon in exons if exon.contig == contig),
                               key=lambda exon: exon.start)
            for strand in dict.fromkeys(exon.strand for exon in on_contig):
                listed.extend(exon for exon in on_contig if exon.strand == strand)
        rows[gene] = {
            "Chr": ";".join(exon.contig for exon in listed),
            "Start": ";".join(str(exon.start) for exon in listed),
            "End": ";".join(str(exon.end) for exon in listed),
            "Strand": ";".join(exon.strand for exon in listed),
            "Length": str(gene_length(exons)),
        }
    return rows


def gene_length(exons: list):
    """Distinct bases covered by the exons, counted per (contig, strand) and summed."""
    total = 0
    for group in {(exon.contig, exon.strand) for exon in exons}:
        intervals = sorted((exon.start, exon.end) for exon in exons
                           if (exon.contig, exon.strand) == group)
        current_start, current_end = intervals[0]
        for start, end in intervals[1:]:
            if start > current_end + 1:
                total += current_end - current_start + 1
                current_start, current_end = start, end
            else:
                current_end = max(current_end, end)
        total += current_end - current_start + 1
    return total
