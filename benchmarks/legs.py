"""The benchmark's legs: what each runs, and how its output becomes a measurement."""

import hashlib
import json
import shutil
from pathlib import Path

HERE = Path(__file__).resolve().parent

# What a leg is to the table: the floor and the peer the ratios are taken against, the module's
# path on pysam's objects, or a whole run (annotation reading included) shown apart.
FLOOR, PEER, OBJECTS, WHOLE = "floor", "peer", "objects", "whole"


class Leg:
    """One thing to time; keeps the shortest of its runs."""

    def __init__(self, name, argv, parse, *, module=False, counting=False, hidden=False,
                 baseline=None, note=None, role=None, compared=False):
        self.name = name
        self.argv = argv
        self.parse = parse
        self.module = module          # a call of quantify_bam_fast
        self.counting = counting      # the module counting with the real index; results comparable
        self.compared = compared      # featureCounts' rules: summary and counts match its own
        self.hidden = hidden          # measured, but only to correct another leg
        self.baseline = baseline      # a leg whose best time is taken off this one's
        self.role = role
        self.note = note
        self.failed = None
        self.times = []
        self.cpu_times = []
        self.peak_kib = 0
        self.call_kib = None
        self.before_kib = None
        self.index_seconds = None
        self.pending_peak = None
        self.records = None
        self.result = None

    def record(self, wall, peak_kib, stdout, cpu=None):
        """One run: its wall time, peak resident size, output and processor time (a call's
        own, when the leg reports it, else the process's)."""
        seconds, facts = self.parse(wall, stdout)
        self.times.append(seconds)
        cpu = facts.get("cpu_seconds", cpu)
        if cpu is not None:
            self.cpu_times.append(cpu)
        self.peak_kib = max(self.peak_kib, peak_kib, facts.get("peak_kib", 0))
        if facts.get("call_kib") is not None:
            self.call_kib = max(self.call_kib or 0, facts["call_kib"])
        if facts.get("index_seconds") is not None:
            self.index_seconds = min(self.index_seconds or facts["index_seconds"],
                                     facts["index_seconds"])
        if facts.get("before_kib") is not None:
            self.before_kib = max(self.before_kib or 0, facts["before_kib"])
        if facts.get("pending_peak") is not None:
            self.pending_peak = max(self.pending_peak or 0, facts["pending_peak"])
        self.records = facts.get("records", self.records)
        result = facts.get("result")
        if result is not None:
            if self.result is not None and result != self.result:
                raise ValueError(f"{self.name}: two runs gave different results")
            self.result = result

    @property
    def whole_best(self):
        """The shortest run as measured, nothing taken off."""
        return min(self.times) if self.times else None

    @property
    def best(self):
        return self._best(self.times, "best")

    @property
    def best_cpu(self):
        """The least processor time of the runs, less the baseline's: on a shared machine it
        moves less than the wall time does with what else runs."""
        return self._best(self.cpu_times, "best_cpu")

    def _best(self, times, field):
        if not times:
            return None
        if self.baseline is None:
            return min(times)
        taken_off = getattr(self.baseline, field)
        return None if taken_off is None else min(times) - taken_off


def counts_digest(pairs):
    """A short digest of (gene, count) pairs, whatever their order and number type."""
    text = "\n".join(f"{gene}\t{float(value)!r}" for gene, value in sorted(pairs))
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def read_featurecounts_output(path):
    """(summary rows, counts digest, genes) of a counts file in featureCounts' layout and its
    .summary, for one input file."""
    path = Path(path)
    summary = {}
    with open(f"{path}.summary", encoding="utf-8") as rows:
        next(rows)  # Status <file>
        for line in rows:
            name, value = line.rstrip("\n").split("\t")
            summary[name] = int(value)
    pairs = []
    with open(path, encoding="utf-8") as counts:
        for line in counts:
            if line.startswith("#") or line.startswith("Geneid\t"):
                continue
            fields = line.rstrip("\n").split("\t")
            pairs.append((fields[0], float(fields[-1])))
    return {"summary": summary, "counts": counts_digest(pairs), "genes": len(pairs)}


def _parse_module(wall, stdout):
    facts = _last_json(stdout)
    call_kib = facts["call_peak_kib"] - facts["rss_before_kib"] if facts["peak_reset"] else None
    result = {"raw_stats": facts["raw_stats"], "counts": facts["counts"]}
    return facts["seconds"], {"call_kib": call_kib, "before_kib": facts["rss_before_kib"],
                              "peak_kib": facts["process_peak_kib"],
                              "cpu_seconds": facts["cpu_seconds"],
                              "index_seconds": facts["index_seconds"],
                              "records": facts["raw_stats"][0], "result": result}


def _parse_engine(wall, stdout):
    facts = _last_json(stdout)
    call_kib = facts["call_peak_kib"] - facts["rss_before_kib"] if facts["peak_reset"] else None
    result = {"summary": facts["summary"], "counts": facts["counts"], "genes": facts["genes"]}
    return facts["seconds"], {"call_kib": call_kib, "before_kib": facts["rss_before_kib"],
                              "peak_kib": facts["process_peak_kib"],
                              "cpu_seconds": facts["cpu_seconds"],
                              "index_seconds": facts["index_seconds"],
                              "pending_peak": facts["pending_peak"],
                              "records": facts["records"], "result": result}


def _last_json(stdout):
    lines = stdout.strip().splitlines()
    if not lines:
        raise ValueError("the leg printed nothing")
    return json.loads(lines[-1])


def _parse_count(wall, stdout):
    return wall, {"records": int(stdout.strip())}


def _parse_wall(wall, stdout):
    return wall, {}


def _parse_outputs(output):
    """A parser for a tool that writes counts in featureCounts' layout to `output`."""
    def parse(wall, stdout):
        return wall, {"result": read_featurecounts_output(output)}
    return parse


def module_legs(python, bam, gtf, strand, mapq, *, modes=("native", "objects", "decoder")):
    def argv(mode):
        return [python, str(HERE / "leg.py"), mode, str(bam), str(gtf), str(strand), str(mapq),
                "0", "1"]

    legs = {
        "native": Leg("native path", argv("native"), _parse_module, module=True, counting=True),
        "objects": Leg("pysam objects", argv("objects"), _parse_module, module=True,
                       counting=True, role=OBJECTS),
        "decoder": Leg("decoder alone", argv("decoder"), _parse_module, module=True),
    }
    return [legs[mode] for mode in modes]


def engine_leg(python, bam, gtf, paired, strand, mapq, threads=1):
    """dulse's engine on featureCounts' rules: fragments of pairs, or single-end reads."""
    argv = [python, str(HERE / "engine_leg.py"), "pairs" if paired else "single", str(bam),
            str(gtf), str(strand), str(mapq), str(threads)]
    name = "dulse engine" if threads == 1 else f"dulse engine -T {threads}"
    return Leg(name, argv, _parse_engine, compared=True)


def count_options(paired, strand, mapq):
    """featureCounts' options for the counting being timed, dulse count's being the same."""
    return (["-p", "--countReadPairs"] if paired else []) + ["-s", str(strand), "-Q", str(mapq)]


def tool_legs(bam, annotation, paired, strand, mapq, scratch, tag="", threads=1):
    """samtools and featureCounts, those of them that are installed; with threads > 1, also
    featureCounts on that many threads (beside dulse's engine on as many)."""
    legs = []
    samtools = shutil.which("samtools")
    if samtools:
        legs.append(Leg("samtools view -c", [samtools, "view", "-c", "-@0", str(bam)],
                        _parse_count, role=FLOOR))
    feature_counts = shutil.which("featureCounts")
    if feature_counts:
        def argv(target, output, options):
            return [feature_counts, "-T", "1", *options, "-a", str(annotation["gtf"]),
                    "-o", str(scratch / output), str(target)]

        # featureCounts -p refuses a file without pairs: the header-only run, which times the
        # annotation reading, goes without -p.
        header_only = Leg("featureCounts, header only",
                          argv(annotation["header_only"], f"h{tag}.txt",
                               count_options(False, strand, mapq)),
                          _parse_wall, hidden=True)
        legs.append(header_only)
        output = scratch / f"fc{tag}.txt"
        legs.append(Leg("featureCounts", argv(bam, output.name,
                                              count_options(paired, strand, mapq)),
                        _parse_outputs(output), baseline=header_only, role=PEER))
        if threads > 1:
            def threaded(target, name, options):
                command = argv(target, name, options)
                command[command.index("-T") + 1] = str(threads)
                return command

            header_threads = Leg(f"featureCounts -T {threads}, header only",
                                 threaded(annotation["header_only"], f"hT{tag}.txt",
                                          count_options(False, strand, mapq)),
                                 _parse_wall, hidden=True)
            legs.append(header_threads)
            output = scratch / f"fcT{tag}.txt"
            legs.append(Leg(f"featureCounts -T {threads}",
                            threaded(bam, output.name, count_options(paired, strand, mapq)),
                            _parse_outputs(output), baseline=header_threads))
    return legs


def cli_leg(python, bam, gtf, paired, strand, mapq, scratch, tag=""):
    """`dulse count` with featureCounts' options: the whole run, annotation reading included."""
    output = scratch / f"dulse{tag}.txt"
    argv = [python, "-m", "dulse", "count", *count_options(paired, strand, mapq),
            "-a", str(gtf), "-o", str(output), str(bam)]
    return Leg("dulse count", argv, _parse_outputs(output), role=WHOLE, compared=True)


def describe_untimed_work(legs):
    """Notes saying what each leg's time leaves out."""
    for leg in legs:
        if leg.index_seconds is not None and (leg.counting or leg.compared):
            reader = ("dulse.quantify.annotation" if leg.module else
                      "dulse.quantify.annotation and the engine's FeatureIndex")
            leg.note = (f"the index, read from the GTF by {reader} in "
                        f"{leg.index_seconds:.3f} s, is built before the timed call")
        if leg.baseline is not None and leg.baseline.best is not None:
            leg.note = (f"{leg.baseline.best:.3f} s of annotation reading (its run on a "
                        f"header-only BAM) taken off; peak includes the annotation")
