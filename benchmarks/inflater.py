"""Which inflater the installed module and samtools use, as far as can be told from outside."""

import json
import re
import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Run in the interpreter that has dulse installed: the module file, the interpreter's wheel tag,
# and anything the module exposes about its inflater.
PROBE = """
import json, sys
from dulse.quantify import _core_fast as module
said = {name: str(getattr(module, name)) for name in dir(module)
        if "inflat" in name.lower() or "deflate" in name.lower()}
tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
print(json.dumps({"file": module.__file__, "said": said, "tag": tag}))
"""


def _from_build_cache(tag):
    """What the CMake cache of the project's build folder for this interpreter records: a
    libdeflate library and its headers found and not switched off, else zlib found; None when it
    records neither.
    """
    for cache in sorted(ROOT.glob(f"build/{tag}-*/CMakeCache.txt")):
        entries = {}
        for line in cache.read_text(errors="replace").splitlines():
            match = re.match(r"([A-Za-z_][\w.-]*):(\w+)=(.*)$", line)
            if match:
                entries[match.group(1)] = (match.group(2), match.group(3))
        switched_off = any("DEFLATE" in name.upper() and kind == "BOOL" and value.upper() in
                           ("OFF", "NO", "FALSE", "0") for name, (kind, value) in entries.items())
        headers_missing = any("DEFLATE" in name.upper() and "INCLUDE" in name.upper()
                              and value.endswith("NOTFOUND")
                              for name, (kind, value) in entries.items())
        # A static library, when found, is the one linked.
        found = sorted((not value.endswith(".a"), value) for name, (kind, value) in entries.items()
                       if "DEFLATE" in name.upper() and name.upper().endswith("LIBRARY")
                       and kind == "FILEPATH" and value and not value.endswith("NOTFOUND"))
        if found and not switched_off and not headers_missing:
            shared, path = found[0]
            return (f"libdeflate ({'shared' if shared else 'static'}, {path}; inferred from "
                    f"{cache.parent.name}'s CMake cache)")
        zlib = entries.get("ZLIB_LIBRARY_RELEASE") or entries.get("ZLIB_LIBRARY")
        if zlib and not zlib[1].endswith("NOTFOUND"):
            return f"zlib (inferred from {cache.parent.name}'s CMake cache)"
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
    return (_from_build_cache(facts["tag"]) or _from_linkage(facts["file"])
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
