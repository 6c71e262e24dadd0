"""The benchmark runner's report of the inflater the module was built with."""

import shutil
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"


@pytest.fixture
def inflater(monkeypatch):
    monkeypatch.syspath_prepend(str(BENCHMARKS))
    import inflater as module
    return module


def test_the_build_records_its_inflater(inflater):
    from dulse.quantify import _build
    said = inflater.module_inflater(sys.executable)
    assert said == _build.INFLATER
    assert said.startswith(("libdeflate (static, ", "libdeflate (shared, ", "zlib"))


@pytest.mark.parametrize("python", ["no-such-interpreter", "false"])
def test_an_interpreter_that_cannot_import_the_module_gives_unknown(inflater, tmp_path, python):
    # A missing interpreter, and one that fails without printing anything.
    python = shutil.which(python) or str(tmp_path / python)
    assert inflater.module_inflater(python) == "unknown (the module could not be imported)"
