"""`dulse count -J` (and -G) against the installed featureCounts 2.0.3: random spliced reads
(one to three N operations, with D, I and soft clips among them) whose junctions share sites and
fall inside, across and outside genes, on both strands, single-end, paired (reads and
fragments), in one or two files, with the options that decide which reads count. Where genes
tangle (nested, sharing starts, on both strands, named alike so that featureCounts files them
in one bucket of its table of gene names, their features spread through the file), a junction's
genes and their order are put to the test too. The .jcounts files must be the same byte for
byte.

Skipped where featureCounts is not installed, except under CI=true, where that fails.
"""

import random
import subprocess

import pytest

import fc_peer
from dulse.outputs.junctions import contig_order_key
from engine_peer import require_featurecounts
from fc_model import Feature, SamRecord
from test_cli import dulse

CONTIGS = {"chr1": 6000, "chr2": 6000}


@pytest.fixture(scope="module", autouse=True)
def featurecounts():
    require_featurecounts()


# --------------------------------------------------------------------------------------------
# Random inputs


def exons(rng, name, contig, low, high):
    """One gene's SAF rows: exons of 10 to 300 bases from `low` to about `high`, on one strand,
    with gaps of 1 to 200 bases between them."""
    strand = rng.choice("+-")
    rows, at = [], low
    while at < high:
        end = min(high, at + rng.randint(10, 300))
        rows.append((name, contig, at, end, strand))
        at = end + rng.randint(1, 200)
    return rows


def random_annotation(rng, overlapping):
    """SAF rows (gene, contig, start, end, strand): genes of one to three exons, apart from one
    another or overlapping at random."""
    rows = []
    for contig, length in CONTIGS.items():
        names = [f"{contig[-1]}g{n}" for n in range(7)]
        if overlapping:
            regions = [(start, start + rng.randint(200, 900))
                       for start in (rng.randint(1, length - 1000) for _ in names)]
        else:
            cuts = sorted(rng.sample(range(1, length - 100), 2 * len(names)))
            regions = list(zip(cuts[::2], cuts[1::2]))
        for name, (low, high) in zip(names, regions):
            rows += exons(rng, name, contig, low, high)
    rng.shuffle(rows)
    return rows


# Names that featureCounts files in one bucket of its table of gene names, found by running it.
SHARED_BUCKETS = [("a", "uZ", "eyx", "oAm"), ("qX", "e\u00e9h", "f_y", "jfF"),
                  ("dl", "n1", "clc", "m1m"), ("PO", "aQG", "qAG", "tvq"),
                  ("N5", "m5-", "M5M", "Svj"), ("Gn", "cMh", "FnF", "Plo")]


def tangled_annotation(rng):
    """Rows (gene, contig, start, end, strand) of genes that overlap in every way: names from
    SHARED_BUCKETS (the same on both contigs) and a few of their own, some starting where
    another starts, some nested in another, on either strand, their features spread through
    the file."""
    shared = [name for group in rng.sample(SHARED_BUCKETS, 3) for name in rng.sample(group, 3)]
    rows = []
    for contig, length in CONTIGS.items():
        names = shared + [f"{contig[-1]}g{n}" for n in range(3)] + [f"{contig[-1]}\u00fc"]
        starts = [rng.randint(1, length - 1000) for _ in range(3)]
        for name in names:
            low = rng.choice(starts) if rng.random() < 0.3 else rng.randint(1, length - 1000)
            high = low + rng.randint(50, 900)
            rows += exons(rng, name, contig, low, high)
            if rng.random() < 0.2:
                inner = rng.randint(low, high)
                rows.append((name + "n", contig, inner, inner + rng.randint(5, 100),
                             rng.choice("+-")))
    rng.shuffle(rows)
    return rows


def site_pool(rng):
    """Places that junctions start or end at, at least 12 bases apart, per contig."""
    pool = {}
    for contig, length in CONTIGS.items():
        places = sorted(rng.sample(range(60, length - 60, 12), 16))
        pool[contig] = places
    return pool


def spliced_cigar(rng, sites):
    """(first base, CIGAR) of an alignment whose N operations join the (left, right) pairs of
    `sites` (1-based: last base before, first base after), with a D or I now and then inside
    its aligned runs and a soft clip at either end."""
    ops = []

    def aligned(length):
        if length >= 4 and rng.random() < 0.25:
            cut = rng.randint(1, length - 2)
            kind = rng.choice("DI")
            if kind == "D":
                ops.extend([f"{cut}M", "1D", f"{length - cut - 1}M"])
            else:
                ops.extend([f"{cut}M", "2I", f"{length - cut}M"])
        else:
            ops.append(f"{length}M")

    first = rng.randint(3, 25)
    start = sites[0][0] - first + 1
    if rng.random() < 0.2:
        ops.append(f"{rng.randint(1, 5)}S")
    aligned(first)
    for k, (left, right) in enumerate(sites):
        ops.append(f"{right - left - 1}N")
        upto = sites[k + 1][0] if k + 1 < len(sites) else right + rng.randint(2, 25) - 1
        aligned(upto - right + 1)
    if rng.random() < 0.2:
        ops.append(f"{rng.randint(1, 5)}S")
    return start, "".join(ops)


def random_junctions(rng, pool):
    """One to three junctions in order along a contig, from the pool's places."""
    contig = rng.choice(list(pool))
    count = rng.choice((1, 1, 2, 3))
    places = sorted(rng.sample(pool[contig], 2 * count))
    return contig, list(zip(places[::2], places[1::2]))


def record_extras(rng):
    """Flags and tags that the options judge: duplicates, secondary alignments, NH, MAPQ."""
    flag = 0
    if rng.random() < 0.1:
        flag |= 0x400
    if rng.random() < 0.1:
        flag |= 0x100
    tags = (("NH", 2),) if rng.random() < 0.15 else ()
    return flag, rng.choice((60, 60, 60, 5)), tags


def single_end_records(rng, pool, n):
    records = []
    for number in range(n):
        contig, sites = random_junctions(rng, pool)
        start, cigar = spliced_cigar(rng, sites)
        flag, mapq, tags = record_extras(rng)
        if rng.random() < 0.5:
            flag |= 0x10
        if rng.random() < 0.05:
            records.append(SamRecord(f"u{number}", 4, None, 0, 0, "*"))
            continue
        records.append(SamRecord(f"r{number}", flag, contig, start, mapq, cigar, tags=tags))
    return records


def paired_records(rng, pool, n):
    """Pairs, mates adjacent; some share a junction, some have an unmapped mate."""
    records = []
    for number in range(n):
        contig, sites = random_junctions(rng, pool)
        if rng.random() < 0.3:
            mate_sites = sites[:1]
        else:
            mate_sites = random_junctions(rng, {contig: pool[contig]})[1]
        first, first_cigar = spliced_cigar(rng, sites)
        second, second_cigar = spliced_cigar(rng, mate_sites)
        extra, mapq, tags = record_extras(rng)
        reverse_first = rng.random() < 0.5
        flag1 = 0x1 | 0x2 | 0x40 | (0x10 if reverse_first else 0x20) | extra
        flag2 = 0x1 | 0x2 | 0x80 | (0x20 if reverse_first else 0x10) | (extra & 0x100)
        name = f"p{number}"
        if rng.random() < 0.1:
            records.append(SamRecord(name, flag1 | 0x8, contig, first, mapq, first_cigar,
                                     contig, first, 0, tags))
            records.append(SamRecord(name, 0x1 | 0x4 | 0x80, contig, first, 0, "*", contig,
                                     first, 0))
            continue
        records.append(SamRecord(name, flag1, contig, first, mapq, first_cigar, contig, second,
                                 0, tags))
        records.append(SamRecord(name, flag2, contig, second, rng.choice((60, 60, 5)),
                                 second_cigar, contig, first, 0, tags))
    return records


MOTIFS = {"+": ("GT", "AG"), "-": ("CT", "AC")}


def write_reference(path, rng, pool, last_contig_loaded=True):
    """A FASTA file over A and C, with GT or CT after some pool places and AG or AC before
    others, so that some junctions read GT-AG or CT-AC. featureCounts does not load the last
    sequence of the file: a short one is appended unless `last_contig_loaded` is False."""
    lines = []
    for contig, length in CONTIGS.items():
        bases = [rng.choice("AC") for _ in range(length)]
        for place in pool[contig]:
            donor, acceptor = MOTIFS[rng.choice("+-")]
            if rng.random() < 0.8:
                bases[place:place + 2] = rng.choice((donor, donor.lower()))
            if rng.random() < 0.8:
                bases[place - 3:place - 1] = rng.choice((acceptor, acceptor.lower()))
        text = "".join(bases)
        lines.append(f">{contig} random bases")
        lines += [text[at:at + 60] for at in range(0, length, 60)]
    if last_contig_loaded:
        lines += [">spare", "ACGT"]
    path.write_text("\n".join(lines) + "\n")
    return path


# --------------------------------------------------------------------------------------------
# Running both


def write_inputs(folder, records_per_file, annotation, bam=False, gtf=False):
    write = fc_peer.write_gtf if gtf else fc_peer.write_saf
    write(folder / ("genes.gtf" if gtf else "genes.saf"), [Feature(*row) for row in annotation])
    names = []
    for number, records in enumerate(records_per_file):
        sam = fc_peer.write_sam(folder / f"in{number}.sam", records, lengths=CONTIGS)
        if bam:
            fc_peer.write_bam(sam, folder / f"in{number}.bam")
            names.append(f"in{number}.bam")
        else:
            names.append(sam.name)
    return names


def both_jcounts(folder, options, inputs, gtf=False):
    annotation = ["-a", "genes.gtf"] if gtf else ["-F", "SAF", "-a", "genes.saf"]
    arguments = [*annotation, "-J", *options]
    peer = subprocess.run(["featureCounts", *arguments, "-o", "fc.txt", *inputs], cwd=folder,
                          capture_output=True, text=True)
    assert peer.returncode == 0, peer.stderr
    ours = dulse(folder, [*arguments, "-o", "dulse.txt", *inputs])
    assert ours.returncode == 0, ours.stderr
    return ((folder / "fc.txt.jcounts").read_text(encoding="utf-8"),
            (folder / "dulse.txt.jcounts").read_text(encoding="utf-8"))


SINGLE_OPTIONS = [[], ["-M"], ["-Q", "10"], ["--primary"], ["--ignoreDup"], ["--maxMOp", "2"],
                  ["-s", "2", "-M", "--primary"], ["--maxMOp", "3", "--ignoreDup", "-Q", "10"]]


@pytest.mark.parametrize("options", SINGLE_OPTIONS, ids=" ".join)
@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("overlapping", [False, True], ids=["genes apart", "genes overlap"])
def test_single_end_as_featurecounts(tmp_path, options, seed, overlapping):
    rng = random.Random(seed)
    annotation = random_annotation(rng, overlapping)
    pool = site_pool(rng)
    inputs = write_inputs(tmp_path, [single_end_records(rng, pool, 150)], annotation)
    expected, got = both_jcounts(tmp_path, options, inputs)
    assert expected.count("\n") > 20
    assert got == expected


PAIRED_OPTIONS = [["-p"], ["-p", "--countReadPairs"], ["-p", "--countReadPairs", "-M"],
                  ["-p", "--countReadPairs", "-Q", "10", "--ignoreDup"],
                  ["-p", "-M", "--primary"], ["-p", "--countReadPairs", "-B", "-C"]]


@pytest.mark.parametrize("options", PAIRED_OPTIONS, ids=" ".join)
@pytest.mark.parametrize("seed", [3, 4])
def test_pairs_as_featurecounts(tmp_path, options, seed):
    rng = random.Random(seed)
    annotation = random_annotation(rng, overlapping=False)
    pool = site_pool(rng)
    inputs = write_inputs(tmp_path, [paired_records(rng, pool, 80)], annotation)
    expected, got = both_jcounts(tmp_path, options, inputs)
    assert got == expected


@pytest.mark.parametrize("gtf", [False, True], ids=["SAF", "GTF"])
@pytest.mark.parametrize("paired", [False, True], ids=["single-end", "pairs"])
@pytest.mark.parametrize("seed", range(10, 14))
def test_tangled_genes_as_featurecounts(tmp_path, seed, paired, gtf):
    rng = random.Random(seed)
    annotation = tangled_annotation(rng)
    pool = site_pool(rng)
    make = paired_records if paired else single_end_records
    inputs = write_inputs(tmp_path, [make(rng, pool, 100)], annotation, gtf=gtf)
    expected, got = both_jcounts(tmp_path, ["-p", "--countReadPairs"] if paired else [], inputs,
                                 gtf=gtf)
    listed = [[row[0], *row[1].split(",")] for row in
              (line.split("\t") for line in expected.splitlines()[1:])]
    assert any(len(set(genes) & set(group)) > 1 for genes in listed for group in SHARED_BUCKETS)
    assert got == expected


@pytest.mark.parametrize("order", ["as listed", "reversed", "interleaved"])
def test_genes_sharing_a_bucket_as_featurecounts(tmp_path, order):
    """Genes of one bucket of featureCounts' table holding both sites of a junction on each
    contig; a gene's features on one contig come before or after those of the others on the
    other contig, and a gene turns up again on the same contig further on."""
    group = SHARED_BUCKETS[1]
    on_first = [(name, "chr1", 100 + 10 * n, 800, "+") for n, name in enumerate(group)]
    on_second = [(name, "chr2", 100, 800, "-") for name in group]
    if order == "reversed":
        on_second.reverse()
    annotation = on_second + on_first
    if order == "interleaved":
        annotation = [row for pair in zip(on_first, on_second[::-1]) for row in pair]
    annotation.append((group[1], "chr1", 850, 900, "+"))
    records = [SamRecord(f"r{contig}", 0, contig, 291, 60, "10M199N10M")
               for contig in CONTIGS]
    expected, got = both_jcounts(tmp_path, [], write_inputs(tmp_path, [records], annotation))
    assert expected.count("\n") == 3
    assert got == expected


def test_many_genes_at_one_site_as_featurecounts(tmp_path):
    """Hundreds of genes holding both sites of one junction, listed in featureCounts' order:
    every printable character as a name, letters repeated up to 254 bytes, two-byte UTF-8
    characters likewise; spans of random starts, in random file order."""
    rng = random.Random(11)
    names = [chr(code) for code in range(0x21, 0x7F) if chr(code) not in "#,"]
    names += [letter * length for letter in "az" for length in range(2, 255)]
    names += ["\u00e9" * length for length in range(1, 128)]
    annotation = [(name, "chr1", rng.randint(1, 290), rng.randint(600, 900), rng.choice("+-"))
                  for name in names]
    rng.shuffle(annotation)
    records = [SamRecord("r", 0, "chr1", 291, 60, "10M199N10M")]
    expected, got = both_jcounts(tmp_path, [], write_inputs(tmp_path, [records], annotation))
    assert len(expected.splitlines()[1].split("\t")[1].split(",")) == len(names) - 1
    assert got == expected


@pytest.mark.parametrize("paired", [False, True])
def test_two_files_one_column_each_rows_their_union(tmp_path, paired):
    rng = random.Random(5)
    annotation = random_annotation(rng, overlapping=False)
    pool = site_pool(rng)
    make = paired_records if paired else single_end_records
    inputs = write_inputs(tmp_path, [make(rng, pool, 60), make(rng, pool, 60)], annotation,
                          bam=True)
    expected, got = both_jcounts(tmp_path, ["-p", "--countReadPairs"] if paired else [], inputs)
    assert expected.splitlines()[0].endswith("\tin0.bam\tin1.bam")
    assert got == expected


@pytest.mark.parametrize("last_contig_loaded", [True, False])
@pytest.mark.parametrize("options", [[], ["-s", "1"], ["-p", "--countReadPairs"]], ids=" ".join)
def test_reference_gives_the_strands_as_featurecounts(tmp_path, options, last_contig_loaded):
    rng = random.Random(6)
    annotation = random_annotation(rng, overlapping=False)
    pool = site_pool(rng)
    make = paired_records if "-p" in options else single_end_records
    inputs = write_inputs(tmp_path, [make(rng, pool, 120)], annotation)
    write_reference(tmp_path / "genome.fa", rng, pool, last_contig_loaded)
    expected, got = both_jcounts(tmp_path, ["-G", "genome.fa", *options], inputs)
    rows = [line.split("\t") for line in expected.splitlines()[1:]]
    assert {"+", "-", "NA"} <= {row[4] for row in rows if row[2] == "chr1"}
    on_last = {row[4] for row in rows if row[2] == "chr2"}
    assert on_last == {"NA"} if not last_contig_loaded else {"+", "-"} <= on_last
    assert got == expected


def test_threads_count_the_same_junctions(tmp_path):
    """A BAM file of many BGZF blocks, counted on one thread and on three: the same table, and
    featureCounts'."""
    rng = random.Random(7)
    annotation = random_annotation(rng, overlapping=False)
    pool = site_pool(rng)
    inputs = write_inputs(tmp_path, [paired_records(rng, pool, 12000)], annotation, bam=True)
    expected, one = both_jcounts(tmp_path, ["-p", "--countReadPairs", "-T", "1"], inputs)
    three = dulse(tmp_path, ["-F", "SAF", "-a", "genes.saf", "-J", "-p", "--countReadPairs",
                             "-T", "3", "-o", "threads.txt", *inputs])
    assert three.returncode == 0, three.stderr
    assert one == expected
    assert (tmp_path / "threads.txt.jcounts").read_text() == expected


def test_counts_and_summary_unchanged_by_j(tmp_path):
    rng = random.Random(8)
    annotation = random_annotation(rng, overlapping=True)
    pool = site_pool(rng)
    inputs = write_inputs(tmp_path, [single_end_records(rng, pool, 100)], annotation)
    for name, extra in (("plain.txt", []), ("with.txt", ["-J"])):
        done = dulse(tmp_path, ["-F", "SAF", "-a", "genes.saf", *extra, "-o", name, *inputs])
        assert done.returncode == 0, done.stderr
    assert (tmp_path / "with.txt.summary").read_text() == (
        tmp_path / "plain.txt.summary").read_text()
    plain = (tmp_path / "plain.txt").read_text().splitlines()[1:]
    assert (tmp_path / "with.txt").read_text().splitlines()[1:] == plain
    assert not (tmp_path / "plain.txt.jcounts").exists()


# --------------------------------------------------------------------------------------------
# The order of contigs


CONTIG_NAMES = ["chr10", "chr2", "chr1", "1", "10", "2", "chrX", "X", "chrY", "chrM", "MT",
                "chrUn_KI270302v1", "chr1_KI270706v1_random", "GL000009.2", "chrEBV", "b",
                "Chr3", "chr22", "chr90", "chr91", "chr98", "chr99", "chr100", "X_1", "Y.2",
                "chrMT", "chr01", "+5", "0", "chr-1", "4294967297", "scaffold_12"]


def test_contig_order_as_featurecounts(tmp_path):
    records = [SamRecord(f"r{number}", 0, name, 100, 60, "10M50N10M")
               for number, name in enumerate(CONTIG_NAMES)]
    lengths = dict.fromkeys(CONTIG_NAMES, 1000)
    fc_peer.write_sam(tmp_path / "in.sam", records, lengths=lengths)
    (tmp_path / "genes.saf").write_text("GeneID\tChr\tStart\tEnd\tStrand\ng\tchr1\t1\t50\t+\n")
    peer = subprocess.run(["featureCounts", "-F", "SAF", "-a", "genes.saf", "-J", "-o",
                           "fc.txt", "in.sam"], cwd=tmp_path, capture_output=True, text=True)
    assert peer.returncode == 0, peer.stderr
    order = [line.split("\t")[2] for line in
             (tmp_path / "fc.txt.jcounts").read_text().splitlines()[1:]]
    assert sorted(CONTIG_NAMES, key=contig_order_key) == order


# --------------------------------------------------------------------------------------------
# Bad -G


@pytest.mark.parametrize("make", ["missing", "folder", "unreadable"])
def test_unusable_reference_is_one_line_naming_it(tmp_path, make):
    rng = random.Random(9)
    annotation = random_annotation(rng, overlapping=False)
    inputs = write_inputs(tmp_path, [single_end_records(rng, site_pool(rng), 10)], annotation)
    reference = tmp_path / "genome.fa"
    if make == "folder":
        reference.mkdir()
    elif make == "unreadable":
        reference.write_text(">chr1\nACGT\n")
        reference.chmod(0)
        try:
            reference.open().close()
            pytest.skip("the file stays readable (root)")
        except PermissionError:
            pass
    done = dulse(tmp_path, ["-F", "SAF", "-a", "genes.saf", "-J", "-G", str(reference), "-o",
                            "out.txt", *inputs])
    assert done.returncode in (1, 2)
    errors = [line for line in done.stderr.splitlines() if "genome.fa" in line]
    assert len(errors) == 1 and "Traceback" not in done.stderr
    assert not any((tmp_path / name).exists()
                   for name in ("out.txt", "out.txt.summary", "out.txt.jcounts"))
