"""Which inflater the installed module and samtools use."""

import re
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Run in the interpreter that has dulse installed: the build records its inflater.
PROBE = "from dulse.quantify._build import INFLATER; print(INFLATER)"


def module_inflater(python):
    try:
        probe = subprocess.run([python, "-c", PROBE], capture_output=True, text=True,
                               check=True, cwd=ROOT / "benchmarks")
    except (OSError, subprocess.CalledProcessError):
        return "unknown (the module could not be imported)"
    return probe.stdout.strip() or "unknown"


def samtools_inflater():
    samtools = shutil.which("samtools")
    if samtools is None:
        return "not installed"
    try:
        text = subprocess.run([samtools, "--version"], capture_output=True, errors="replace",
                              check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    version = re.search(r"Using htslib (\S+)", text)
    deflate = re.search(r"libdeflate=(\w+)", text)
    inflater = "libdeflate" if deflate and deflate.group(1) == "yes" else "zlib"
    return f"htslib {version.group(1) if version else '?'} with {inflater}"
