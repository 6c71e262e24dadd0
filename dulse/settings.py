"""How reads are counted: featureCounts' options, each under one Python name.

| Settings field          | featureCounts | meaning                                                  |
|-------------------------|---------------|----------------------------------------------------------|
| paired                  | -p            | paired-end: records flagged paired are joined with mates |
| count_fragments         | --countReadPairs | count each pair once (else each read of it)           |
| both_ends_mapped        | -B            | a pair counts only with both ends mapped                 |
| exclude_chimeric        | -C            | not pairs whose ends lie on different contigs            |
| check_fragment_length   | -P            | only fragments of min/max_fragment_length (-d, -D)       |
| strandedness            | -s            | "unstranded" (0), "forward" (1), "reverse" (2), "auto"   |
| min_mapq                | -Q            | minimum mapping quality                                  |
| multi_mapping           | -M            | count reads with NH > 1 too                              |
| fraction                | --fraction    | 1/NH with -M, 1/genes with -O, their product with both   |
| primary_only            | --primary     | leave secondary alignments out                           |
| multi_overlap           | -O            | a read on several genes counts for each                  |
| ignore_duplicates       | --ignoreDup   | leave reads flagged as duplicates out                    |
| max_m_operations        | --maxMOp      | blocks (runs of M, =, X) of a record looked at (10)      |
| long_reads              | -L            | long reads (Nanopore, PacBio): every block looked at     |
| feature_level           | -f            | count per feature (annotation row), not per gene         |
| min_overlap             | --minOverlap  | bases on the gene (1); N < 1: within 1 - N bases counts  |
| frac_overlap            | --fracOverlap | least share of the read's bases on the gene (0 to 1)     |
| frac_overlap_feature    | --fracOverlapFeature | least share of a feature's bases covered          |
| largest_overlap         | --largestOverlap | the gene with the most bases on it wins               |
| non_overlap             | --nonOverlap  | most bases of the read off the gene (None: no limit)     |
| non_overlap_feature     | --nonOverlapFeature | most bases of a feature left uncovered (None)      |
| read_shift_type         | --readShiftType | "upstream", "downstream", "left" or "right"           |
| read_shift_size         | --readShiftSize | bases the read is moved that way, all blocks together |
| read_extension5         | --readExtension5 | bases added at the read's 5' end                      |
| read_extension3         | --readExtension3 | bases added at the read's 3' end                      |
| read_to_pos             | --read2pos    | None, or 5 / 3: the read reduced to that end's base      |
| split_only              | --splitOnly   | count split alignments (an N in the CIGAR) only          |
| non_split_only          | --nonSplitOnly | count alignments without N only                         |
| contig_aliases          | -A            | (annotation name, BAM name) pairs for contigs named apart |
| junctions               | -J            | also count the splice junctions (N operations) of the reads |
| by_read_group           | --byReadGroup | a column per read group of each file (its header's @RG IDs) |

A read is moved first, then extended, then reduced to one end. Upstream is toward the read's 5'
end (left on the forward strand), downstream toward its 3' end; left and right are toward the
contig's start and end whatever the strand. A read moved stops at the contig's first base, or
with its end at the contig's length (the header's @SQ LN).

With by_read_group each read (a fragment: its first record in the file) is counted in the
column of its RG tag's group, named FILE:ID; reads whose RG tag is missing or names no @RG line
of the header are left out, as featureCounts leaves them out.

A contig of an alignment file is the annotation's contig of the same name, else the one its
alias names, else the one whose name differs by a "chr" prefix (chr1 and 1), as featureCounts
matches them.

dulse's own, with no featureCounts flag: count_secondary / count_supplementary set False sets
such alignments aside before any other check (as Unassigned_Secondary), while NH still weighs
the primary ones.
"""

import dataclasses
from typing import Optional

__all__ = ["STRANDEDNESS", "HtseqSettings", "Settings"]

# The strandedness rules, by name and by featureCounts' number.
STRANDEDNESS = {"unstranded": 0, "forward": 1, "reverse": 2}
STRANDEDNESS_NAMES = {number: name for name, number in STRANDEDNESS.items()}
AUTO = "auto"
# --readShiftType's words, in the engine's order.
SHIFT_TYPES = ("upstream", "downstream", "left", "right")
# Every aligned block of a record, as htseq-count and featureCounts' -L look at them.
_ALL_BLOCKS = 1 << 30


@dataclasses.dataclass(frozen=True)
class Settings:
    paired: bool = False
    count_fragments: bool = False
    both_ends_mapped: bool = False
    exclude_chimeric: bool = False
    check_fragment_length: bool = False
    min_fragment_length: int = 50
    max_fragment_length: int = 600
    strandedness: str = "unstranded"
    min_mapq: int = 0
    multi_mapping: bool = False
    fraction: bool = False
    primary_only: bool = False
    multi_overlap: bool = False
    ignore_duplicates: bool = False
    max_m_operations: int = 10
    long_reads: bool = False
    count_secondary: bool = True
    count_supplementary: bool = True
    feature_level: bool = False
    min_overlap: int = 1
    frac_overlap: float = 0.0
    frac_overlap_feature: float = 0.0
    largest_overlap: bool = False
    non_overlap: Optional[int] = None
    non_overlap_feature: Optional[int] = None
    read_shift_type: str = "upstream"
    read_shift_size: int = 0
    read_extension5: int = 0
    read_extension3: int = 0
    read_to_pos: Optional[int] = None
    split_only: bool = False
    non_split_only: bool = False
    contig_aliases: tuple = ()
    junctions: bool = False
    by_read_group: bool = False

    def __post_init__(self):
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            if field.type is bool and type(value) is not bool:
                raise TypeError(f"{field.name} must be True or False, not {value!r}")
            if field.name == "min_overlap":
                if type(value) is not int or abs(value) >= 2**31:
                    raise ValueError(f"min_overlap must be a whole number, not {value!r}")
            elif field.type is int or (field.type == Optional[int] and value is not None):
                if type(value) is not int or not 0 <= value < 2**31:
                    raise ValueError(f"{field.name} must be a whole number of 0 or more, "
                                     f"not {value!r}")
            if field.type is float:
                if type(value) not in (int, float) or not 0 <= value <= 1:
                    raise ValueError(f"{field.name} must be a number from 0 to 1, not "
                                     f"{value!r}")
                object.__setattr__(self, field.name, float(value))
        if self.read_shift_type not in SHIFT_TYPES:
            raise ValueError(f"read_shift_type must be one of {', '.join(SHIFT_TYPES)}, not "
                             f"{self.read_shift_type!r}")
        if self.read_to_pos not in (None, 3, 5):
            raise ValueError(f"read_to_pos must be None, 3 or 5, not {self.read_to_pos!r}")
        aliases = self.contig_aliases
        if isinstance(aliases, dict):
            aliases = tuple(aliases.items())
        try:
            aliases = tuple((annotation, bam) for annotation, bam in aliases)
        except (TypeError, ValueError):
            aliases = None
        if aliases is None or not all(type(name) is str for pair in aliases for name in pair):
            raise TypeError("contig_aliases must be (annotation contig, BAM contig) pairs of str")
        object.__setattr__(self, "contig_aliases", aliases)
        if self.split_only and self.non_split_only:
            raise ValueError("split_only and non_split_only exclude each other")
        strandedness = self.strandedness
        if type(strandedness) is int and strandedness in STRANDEDNESS_NAMES:
            object.__setattr__(self, "strandedness", STRANDEDNESS_NAMES[strandedness])
        elif strandedness not in STRANDEDNESS and strandedness != AUTO:
            raise ValueError(f"strandedness must be one of unstranded, forward, reverse, auto "
                             f"(or 0, 1, 2), not {strandedness!r}")
        if self.max_m_operations < 1:
            raise ValueError(f"max_m_operations must be at least 1, not {self.max_m_operations}")
        if self.min_mapq > 255:
            raise ValueError(f"min_mapq must be from 0 to 255, not {self.min_mapq}")
        if self.min_fragment_length > self.max_fragment_length:
            raise ValueError(f"min_fragment_length ({self.min_fragment_length}) is above "
                             f"max_fragment_length ({self.max_fragment_length})")
        if self.check_fragment_length and not self.both_ends_mapped:
            raise ValueError("check_fragment_length (-P) needs both_ends_mapped (-B) too, as "
                             "featureCounts has it")
        if self.long_reads and self.count_fragments:
            raise ValueError("long_reads counts reads, not fragments: it does not go with "
                             "count_fragments, as featureCounts has it")
        if not self.paired:
            for name in ("count_fragments", "check_fragment_length", "both_ends_mapped",
                         "exclude_chimeric"):
                if getattr(self, name):
                    raise ValueError(f"{name} needs paired=True")

    def replace(self, **changes):
        return dataclasses.replace(self, **changes)

    def engine_arguments(self, strandedness=None):
        """The keyword arguments of the engine's count_file, for one strandedness rule."""
        values = dataclasses.asdict(self)
        rule = strandedness or self.strandedness
        values["strandedness"] = STRANDEDNESS.get(rule, 0)
        del values["feature_level"]  # the index's matter: one target per feature
        if values.pop("long_reads"):
            values["max_m_operations"] = _ALL_BLOCKS
        values["min_fraction"] = values.pop("frac_overlap")
        values["min_feature_fraction"] = values.pop("frac_overlap_feature")
        for name, engine_name in (("non_overlap", "max_non_overlap"),
                                  ("non_overlap_feature", "max_feature_non_overlap")):
            limit = values.pop(name)
            values[engine_name] = -1 if limit is None else limit
        values["shift"] = values.pop("read_shift_size")
        values["shift_direction"] = SHIFT_TYPES.index(values.pop("read_shift_type"))
        values["extend5"] = values.pop("read_extension5")
        values["extend3"] = values.pop("read_extension3")
        values["read_position"] = values.pop("read_to_pos") or 0
        values["split_rule"] = 1 if values.pop("split_only") else 2 if values.pop(
            "non_split_only") else 0
        values.pop("non_split_only", None)
        # A BAM contig named twice takes its last alias, as featureCounts reads the file.
        values["contig_aliases"] = {bam: annotation for annotation, bam in self.contig_aliases}
        return values


# htseq-count's choices, by its names, and the engine's numbers for them.
HTSEQ_STRANDED = {"no": "unstranded", "yes": "forward", "reverse": "reverse"}
HTSEQ_MODES = {"union": 0, "intersection-strict": 1, "intersection-nonempty": 2}
HTSEQ_NONUNIQUE = {"none": 0, "all": 1, "fraction": 2, "random": 3}
HTSEQ_ORDERS = {"name": 0, "pos": 1}


@dataclasses.dataclass(frozen=True)
class HtseqSettings:
    """How htseq-count counts: its options, under their htseq-count names.

    | field                   | htseq-count                   | default  |
    |-------------------------|-------------------------------|----------|
    | stranded                | -s yes / no / reverse         | "yes"    |
    | min_aqual               | -a                            | 10       |
    | mode                    | -m union / intersection-...   | "union"  |
    | nonunique               | --nonunique none/all/fraction/random | "none" |
    | order                   | -r name / pos                 | "name"   |
    | secondary_alignments    | --secondary-alignments score / ignore | "ignore" |
    | supplementary_alignments | --supplementary-alignments score / ignore | "ignore" |
    | random_seed             | (dulse's) the seed of --nonunique random | 0 |
    | pairs_as_1_99           | (dulse's) a pair without an aligned read 1 is __not_aligned, as in htseq-count 1.99.2 | False |

    Whether a file is paired-end is told from its first record, as htseq-count tells it.
    """

    stranded: str = "yes"
    min_aqual: int = 10
    mode: str = "union"
    nonunique: str = "none"
    order: str = "name"
    secondary_alignments: str = "ignore"
    supplementary_alignments: str = "ignore"
    random_seed: int = 0
    pairs_as_1_99: bool = False

    def __post_init__(self):
        for name, choices in (("stranded", HTSEQ_STRANDED), ("mode", HTSEQ_MODES),
                              ("nonunique", HTSEQ_NONUNIQUE), ("order", HTSEQ_ORDERS),
                              ("secondary_alignments", ("score", "ignore")),
                              ("supplementary_alignments", ("score", "ignore"))):
            if getattr(self, name) not in choices:
                raise ValueError(f"{name} must be one of {', '.join(choices)}, not "
                                 f"{getattr(self, name)!r}")
        if type(self.min_aqual) is not int or not 0 <= self.min_aqual <= 256:
            raise ValueError(f"min_aqual must be a whole number from 0 to 256, not "
                             f"{self.min_aqual!r}")
        if type(self.pairs_as_1_99) is not bool:
            raise TypeError(f"pairs_as_1_99 must be True or False, not {self.pairs_as_1_99!r}")
        if type(self.random_seed) is not int or not 0 <= self.random_seed < 2**64:
            raise ValueError(f"random_seed must be a whole number from 0 to 2**64 - 1, not "
                             f"{self.random_seed!r}")

    @property
    def strandedness(self):
        return HTSEQ_STRANDED[self.stranded]

    def replace(self, **changes):
        return dataclasses.replace(self, **changes)

    def engine_arguments(self, paired=True):
        """The keyword arguments of the engine's count_file. paired=False counts every
        record alone, as htseq-count does when a file's first record is single-end."""
        return dict(
            rules=1, paired=paired, count_fragments=paired,
            strandedness=STRANDEDNESS[self.strandedness], min_mapq=self.min_aqual,
            overlap_mode=HTSEQ_MODES[self.mode], nonunique=HTSEQ_NONUNIQUE[self.nonunique],
            pairing=HTSEQ_ORDERS[self.order],
            count_secondary=self.secondary_alignments == "score",
            count_supplementary=self.supplementary_alignments == "score",
            max_m_operations=_ALL_BLOCKS, random_seed=self.random_seed,
            read1_decides=self.pairs_as_1_99, match_chr_prefix=False)
