"""The built extension module shows nothing but its init function: the inflater it links
statically (libdeflate) and the decoder keep their symbols to themselves."""

import shutil
import subprocess
import sys

import pytest

from dulse.quantify import _core_fast


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("nm") is None,
                    reason="needs Linux and nm")
def test_module_exports_only_its_init_function():
    listed = subprocess.run(["nm", "-D", "--defined-only", _core_fast.__file__],
                            capture_output=True, text=True, check=True).stdout
    names = [line.split()[-1] for line in listed.splitlines() if line.strip()]
    assert names == ["PyInit__core_fast"]
