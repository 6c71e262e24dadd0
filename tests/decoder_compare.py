"""The native BAM decoder (through tests/native/bam_dump) and pysam, read side by side.

Both views of a file come out as the same text: per record its flag, MAPQ, reference id,
get_blocks() and the NH tag as get_tag gives it (or the exception it raises), then the code the
iteration ended with (-1 for its end, else the code in pysam's OSError).
"""

import re
import shutil
import subprocess
import warnings
from dataclasses import dataclass, field
from pathlib import Path

import pysam
import pytest

ROOT = Path(__file__).resolve().parent.parent
pysam.set_verbosity(0)  # htslib's own log lines about the damaged files are expected noise

VARIANTS = {
    "libdeflate": ["-DCMAKE_BUILD_TYPE=Release"],
    "zlib": ["-DCMAKE_BUILD_TYPE=Release", "-DDULSE_WITH_LIBDEFLATE=OFF"],
    "asan": ["-DCMAKE_BUILD_TYPE=Debug",
             "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -O1",
             "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"],
}


@pytest.fixture(scope="session")
def dump_tools(tmp_path_factory):
    """Factory: dump_tools(variant) -> path of bam_dump built that way (built once per session)."""
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed: the decoder's dump tool cannot be built")
    if not any(shutil.which(cxx) for cxx in ("c++", "g++", "clang++")):
        pytest.skip("no C++ compiler: the decoder's dump tool cannot be built")
    built = {}

    def build(variant):
        if variant not in built:
            where = tmp_path_factory.mktemp(f"bam_dump_{variant}")
            configure = subprocess.run(
                ["cmake", "-S", str(ROOT), "-B", str(where), "-DDULSE_MODULE=OFF",
                 "-DDULSE_NATIVE_TOOLS=ON", *VARIANTS[variant]],
                capture_output=True, text=True)
            if configure.returncode != 0:
                pytest.fail("cmake configure failed:\n" + configure.stdout + configure.stderr)
            if variant == "libdeflate" and "with libdeflate" not in configure.stdout:
                pytest.skip("libdeflate is not installed; the zlib build covers the decoder")
            compiled = subprocess.run(["cmake", "--build", str(where), "-j", "2"],
                                      capture_output=True, text=True)
            if compiled.returncode != 0:
                if variant == "asan":
                    pytest.skip("this compiler cannot build with AddressSanitizer")
                pytest.fail("build failed:\n" + compiled.stdout + compiled.stderr)
            built[variant] = where / "bam_dump"
        return built[variant]

    return build


def written(folder, data, name="input.bam"):
    """Writes `data` to a file in `folder`; returns its path."""
    path = folder / name
    path.write_bytes(data)
    return path


@dataclass
class View:
    opened: bool
    eof_marker: bool = True
    records: list = field(default_factory=list)
    status: int = None


def decoder_view(tool, path):
    """What the native decoder reads from `path`; fails the test if the tool crashes."""
    done = subprocess.run([str(tool), str(path)], capture_output=True, text=True, timeout=120)
    assert done.returncode in (0, 1), f"bam_dump died ({done.returncode}): {done.stderr[-2000:]}"
    lines = done.stdout.splitlines()
    code, _, _, _, eof = lines[0].split()[1:]
    view = View(opened=int(code) == 0, eof_marker=eof == "1")
    view.open_code = int(code)
    if view.opened:
        assert lines[-1].startswith("status ")
        view.status = int(lines[-1].split()[1])
        view.records = [_normalise(line) for line in lines[1:-1]]
    return view


def _normalise(line):
    # %.17g and repr() spell the same double differently; compare the values.
    head, nh = line.rsplit(" ", 1)
    if nh.startswith("float:"):
        nh = "float:" + repr(float(nh[6:]))
    return f"{head} {nh}"


def _nh(segment):
    if not segment.has_tag("NH"):
        return "absent"
    try:
        value = segment.get_tag("NH")
    except Exception as error:  # noqa: BLE001 - the exception's type is what is compared
        return "error:" + type(error).__name__
    if isinstance(value, int):
        return f"int:{value}"
    if isinstance(value, float):
        return f"float:{value!r}"
    if isinstance(value, str):
        return "str:" + value.encode().hex()
    return f"array:{value.typecode}:{len(value)}:{value.tobytes().hex()}"


def _status(error):
    if str(error) == "truncated file":
        return -2
    match = re.fullmatch(r"error (-?\d+) while reading file", str(error))
    assert match, f"unexpected error from pysam's iterator: {error!r}"
    return int(match.group(1))


def pysam_view(path, limit=None):
    """What pysam's iterator yields from `path`. It is opened with ignore_truncation, to read
    what a truncated file holds, and check_sq=False: a header without references is the
    caller's business, not the decoder's."""
    view = View(opened=True)
    try:
        pysam.AlignmentFile(str(path), "rb", check_sq=False).close()
    except OSError as error:
        if "EOF marker" not in str(error):
            return View(opened=False)
        view.eof_marker = False
    except (ValueError, NotImplementedError):  # the latter for a plain gzip file
        return View(opened=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            handle = pysam.AlignmentFile(str(path), "rb", ignore_truncation=True, check_sq=False)
        except (OSError, ValueError):
            return View(opened=False)
    try:
        records = handle.fetch(until_eof=True)
        while True:
            try:
                s = next(records)
            except StopIteration:
                view.status = -1
                break
            except OSError as error:
                view.status = _status(error)
                break
            view.records.append(
                f"{s.flag} {s.mapping_quality} {s.reference_id} {s.get_blocks()} {_nh(s)}")
            if limit is not None and len(view.records) >= limit:
                break
    finally:
        try:
            handle.close()
        except OSError:
            pass  # close() re-raises a read error already seen
    return view


NOT_BGZF = -3  # the decoder's open() code for a file that does not start with a BGZF block


def assert_same(tool, path, may_refuse=False):
    """The decoder reads `path` exactly as pysam does; returns pysam's view. With `may_refuse`,
    the decoder may also leave a file that does not start with a BGZF block to pysam."""
    theirs = pysam_view(path)
    ours = decoder_view(tool, path)
    if may_refuse and ours.open_code == NOT_BGZF:
        return theirs
    assert ours.opened == theirs.opened, f"opened: decoder {ours.open_code}, pysam {theirs.opened}"
    if theirs.opened:
        assert ours.eof_marker == theirs.eof_marker, "EOF marker"
        for number, (a, b) in enumerate(zip(ours.records, theirs.records)):
            assert a == b, f"record {number}: decoder {a!r}, pysam {b!r}"
        assert len(ours.records) == len(theirs.records), \
            f"{len(ours.records)} records (status {ours.status}), pysam {len(theirs.records)} " \
            f"(status {theirs.status})"
        assert ours.status == theirs.status, f"status: decoder {ours.status}, pysam {theirs.status}"
    return theirs
