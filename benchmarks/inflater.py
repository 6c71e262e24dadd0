"""Which inflater the installed module and samtools use, as far as can be told from outside."""

import json
import re
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Run in the interpreter that has dulse installed: the module file and anything it exposes about
# its inflater.
PROBE = """
import json
from dulse.quantify import _core_fast as module
said = {name: str(getattr(module, name)) for name in dir(module)
        if "inflat" in name.lower() or "deflate" in name.lower()}
print(json.dumps({"file": module.__file__, "said": said}))
"""


def _from_build_cache():
    """libdeflate or zlib as recorded by the CMake cache of the project's build folder."""
    for cache in sorted(ROOT.glob("build/*/CMakeCache.txt")):
        for line in cache.read_text(errors="replace").splitlines():
            match = re.match(r"(\w*deflate\w*):\w+=(.+)$", line, re.IGNORECASE)
            if match and not match.group(2).endswith("NOTFOUND"):
                return f"libdeflate (build cache: {match.group(1)}={match.group(2)})"
    return None


def _from_linkage(module_file):
    ldd = shutil.which("ldd")
    if ldd is None:
        return None
    try:
        linked = subprocess.run([ldd, module_file], capture_output=True, text=True,
                                check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    if "libdeflate" in linked:
        return "libdeflate (shared library)"
    if re.search(r"\blibz\.so", linked):
        return "zlib (shared library)"
    return None


def module_inflater(python):
    try:
        probe = subprocess.run([python, "-c", PROBE], capture_output=True, text=True,
                               check=True, cwd=ROOT / "benchmarks")
        facts = json.loads(probe.stdout)
    except (OSError, subprocess.CalledProcessError, ValueError):
        return "unknown (the module could not be imported)"
    if facts["said"]:
        return ", ".join(f"{name}={value}" for name, value in facts["said"].items())
    return (_from_build_cache() or _from_linkage(facts["file"])
            or "unknown (the module does not say; its build records no inflater)")


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
