"""Writes a seed corpus for the fuzz targets into the folder given: a small BAM stream in the
uncompressed modes of fuzz_input.hpp (first byte even) and as a whole file (first byte odd)."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import bam_bytes as bb  # noqa: E402

out = Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)
records = [
    bb.record(aux=bb.tag("NH", "C", 2)),
    bb.record(cigar="5S10M2I3D100N4=1X", flag=16, aux=bb.tag("NH", "i", 7) + bb.tag("XS", "Z", "ab")),
    bb.record(cigar=bb.cigar_ops("3N"), l_qseq=0, aux=bb.array_tag("NH", "s", [1, 2])),
    bb.record(cigar=bytes.fromhex("44010000") + bb.cigar_ops("1N"), l_qseq=20,
              aux=bb.array_tag("CG", "I", [20 << 4]) + bb.tag("NH", "f", 1.5)),
    bb.record(flag=4, tid=-1, pos=-1, cigar="", l_qseq=3, aux=bb.tag("NH", "A", "x")),
]
stream = bb.header() + b"".join(records)
for mode in (0, 2, 40, 42, 200):
    (out / f"stream_{mode}").write_bytes(bytes([mode]) + stream)
(out / "file").write_bytes(b"\x01" + bb.bgzf(stream, cuts=[100, 200, 200]))
