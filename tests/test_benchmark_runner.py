"""The benchmark runner's inference of the inflater the module was built with."""

import shutil
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"

FOUND = "/usr/lib/x86_64-linux-gnu/libdeflate.a"
SHARED = "/usr/lib/x86_64-linux-gnu/libdeflate.so"
ZLIB = "ZLIB_LIBRARY_RELEASE:FILEPATH=/usr/lib/x86_64-linux-gnu/libz.so"


@pytest.fixture
def inflater(monkeypatch, tmp_path):
    monkeypatch.syspath_prepend(str(BENCHMARKS))
    import inflater as module
    monkeypatch.setattr(module, "ROOT", tmp_path)
    return module


@pytest.mark.parametrize("cache, expected", [
    ([f"LIBDEFLATE_STATIC_LIBRARY:FILEPATH={FOUND}", ZLIB], "libdeflate (static, " + FOUND),
    (["DULSE_WITH_LIBDEFLATE:BOOL=ON", f"LIBDEFLATE_LIBRARY:FILEPATH={FOUND}", ZLIB],
     "libdeflate (static, " + FOUND),
    (["DULSE_WITH_LIBDEFLATE:BOOL=OFF", f"LIBDEFLATE_LIBRARY:FILEPATH={FOUND}", ZLIB], "zlib"),
    (["LIBDEFLATE_LIBRARY:FILEPATH=LIBDEFLATE_LIBRARY-NOTFOUND", ZLIB], "zlib"),
    (["LIBDEFLATE_INCLUDE_DIR:PATH=/usr/include", ZLIB], "zlib"),
    (["LIBDEFLATE_INCLUDE_DIR:PATH=LIBDEFLATE_INCLUDE_DIR-NOTFOUND",
      f"LIBDEFLATE_LIBRARY:FILEPATH={FOUND}", ZLIB], "zlib"),
    ([f"LIBDEFLATE_SHARED_LIBRARY:FILEPATH={SHARED}", f"LIBDEFLATE_STATIC_LIBRARY:FILEPATH={FOUND}"],
     "libdeflate (static, " + FOUND),
    ([f"LIBDEFLATE_SHARED_LIBRARY:FILEPATH={SHARED}",
      "LIBDEFLATE_STATIC_LIBRARY:FILEPATH=LIBDEFLATE_STATIC_LIBRARY-NOTFOUND"],
     "libdeflate (shared, " + SHARED),
    (["CMAKE_BUILD_TYPE:STRING=Release"], None),
])
def test_the_build_cache_tells_which_inflater_was_linked(inflater, tmp_path, cache, expected):
    folder = tmp_path / "build" / "cp312-cp312-linux_x86_64"
    folder.mkdir(parents=True)
    (folder / "CMakeCache.txt").write_text("# comment\n" + "\n".join(cache) + "\n")
    found = inflater._from_build_cache("cp312")
    if expected is None:
        assert found is None
    else:
        assert found.startswith(expected)
    # Another interpreter's build says nothing about this one.
    assert inflater._from_build_cache("cp311") is None


@pytest.mark.parametrize("python", ["no-such-interpreter", "false"])
def test_an_interpreter_that_cannot_import_the_module_gives_unknown(inflater, tmp_path, python):
    # A missing interpreter, and one that fails without printing anything.
    python = shutil.which(python) or str(tmp_path / python)
    assert inflater.module_inflater(python) == "unknown (the module could not be imported)"
