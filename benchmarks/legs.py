"""The benchmark's legs: what each runs, and how its output becomes a measurement."""

import json
import shutil
from pathlib import Path

HERE = Path(__file__).resolve().parent


class Leg:
    """One thing to time; keeps the shortest of its runs."""

    def __init__(self, name, argv, parse, *, module=False, counting=False, hidden=False,
                 baseline=None, note=None):
        self.name = name
        self.argv = argv
        self.parse = parse
        self.module = module          # a call of quantify_bam_fast
        self.counting = counting      # counts with the real index; results comparable
        self.hidden = hidden          # measured, but only to correct another leg
        self.baseline = baseline      # a leg whose best time is taken off this one's
        self.note = note
        self.failed = None
        self.times = []
        self.peak_kib = 0
        self.call_kib = None
        self.before_kib = None
        self.index_seconds = None
        self.records = None
        self.result = None

    def record(self, wall, peak_kib, stdout):
        seconds, facts = self.parse(wall, stdout)
        self.times.append(seconds)
        self.peak_kib = max(self.peak_kib, peak_kib, facts.get("peak_kib", 0))
        if facts.get("call_kib") is not None:
            self.call_kib = max(self.call_kib or 0, facts["call_kib"])
        if facts.get("index_seconds") is not None:
            self.index_seconds = min(self.index_seconds or facts["index_seconds"],
                                     facts["index_seconds"])
        if facts.get("before_kib") is not None:
            self.before_kib = max(self.before_kib or 0, facts["before_kib"])
        self.records = facts.get("records", self.records)
        result = facts.get("result")
        if result is not None:
            if self.result is not None and result != self.result:
                raise ValueError(f"{self.name}: two runs gave different results")
            self.result = result

    @property
    def best(self):
        if not self.times:
            return None
        if self.baseline is None:
            return min(self.times)
        if self.baseline.best is None:
            return None
        return min(self.times) - self.baseline.best


def _parse_module(wall, stdout):
    lines = stdout.strip().splitlines()
    if not lines:
        raise ValueError("the leg printed nothing")
    facts = json.loads(lines[-1])
    call_kib = facts["call_peak_kib"] - facts["rss_before_kib"] if facts["peak_reset"] else None
    result = {"raw_stats": facts["raw_stats"], "counts": facts["counts"]}
    return facts["seconds"], {"call_kib": call_kib, "before_kib": facts["rss_before_kib"],
                              "peak_kib": facts["process_peak_kib"],
                              "index_seconds": facts["index_seconds"],
                              "records": facts["raw_stats"][0], "result": result}


def _parse_count(wall, stdout):
    return wall, {"records": int(stdout.strip())}


def _parse_wall(wall, stdout):
    return wall, {}


def module_legs(python, bam, gtf, strand, mapq):
    def argv(mode):
        return [python, str(HERE / "leg.py"), mode, str(bam), str(gtf), str(strand), str(mapq),
                "0", "1"]

    return [
        Leg("native path", argv("native"), _parse_module, module=True, counting=True),
        Leg("pysam objects", argv("objects"), _parse_module, module=True, counting=True),
        Leg("decoder alone", argv("decoder"), _parse_module, module=True),
    ]


def tool_legs(bam, annotation, strand, mapq, scratch):
    """samtools and featureCounts, those of them that are installed."""
    legs = []
    samtools = shutil.which("samtools")
    if samtools:
        legs.append(Leg("samtools view -c", [samtools, "view", "-c", "-@0", str(bam)],
                        _parse_count))
    feature_counts = shutil.which("featureCounts")
    if feature_counts:
        def argv(target, output):
            return [feature_counts, "-T", "1", "-s", str(strand), "-Q", str(mapq),
                    "-a", str(annotation["gtf"]), "-o", str(scratch / output), str(target)]

        header_only = Leg("featureCounts, header only", argv(annotation["header_only"], "h.txt"),
                          _parse_wall, hidden=True)
        legs.append(header_only)
        legs.append(Leg("featureCounts -T 1", argv(bam, "fc.txt"), _parse_wall,
                        baseline=header_only))
    return legs


def describe_untimed_work(legs):
    """Notes saying what each leg's time leaves out."""
    for leg in legs:
        if leg.counting and leg.index_seconds is not None:
            leg.note = (f"the index, read from the GTF by dulse.quantify.annotation in "
                        f"{leg.index_seconds:.3f} s, is built before the timed call")
        if leg.baseline is not None and leg.baseline.best is not None:
            leg.note = (f"{leg.baseline.best:.3f} s of annotation reading (its run on a "
                        f"header-only BAM) taken off; peak includes the annotation")
