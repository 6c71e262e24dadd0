"""Which inflater (and deflater) the installed module and samtools use."""

import re
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Run in the interpreter that has dulse installed: the build records its inflater.
PROBE = "from dulse.quantify import _build; print(getattr(_build, {!r}, 'unknown'))"


def built_with(python, name):
    try:
        probe = subprocess.run([python, "-c", PROBE.format(name)], capture_output=True,
                               text=True, check=True, cwd=ROOT / "benchmarks")
    except (OSError, subprocess.CalledProcessError):
        return "unknown (the module could not be imported)"
    return probe.stdout.strip() or "unknown"


def module_inflater(python):
    return built_with(python, "INFLATER")


def module_deflater(python):
    return built_with(python, "DEFLATER")


def module_crc32(python):
    return built_with(python, "CRC32")


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
