"""Fixtures shared by the tests."""

import pytest
from hypothesis import settings

from dulse.quantify import _core_fast
from helpers import CONTIGS, Forwarding, Pysam, write_bam

# The randomized tests draw the same examples on every run, so that a run of the suite is
# repeatable; `pytest --hypothesis-profile fresh` (make fuzz) draws new ones each time.
settings.register_profile("seeded", derandomize=True)
settings.register_profile("fresh", derandomize=False, print_blob=True)
settings.load_profile("seeded")


@pytest.fixture(params=["native", "pysam-objects"])
def record_path(request, monkeypatch):
    """Runs a test on both record paths: our own decoder, and pysam's record objects (forced
    by a stand-in module that forwards to pysam)."""
    if request.param == "pysam-objects":
        monkeypatch.setattr(_core_fast, "pysam", Forwarding())
    return request.param


@pytest.fixture
def bam(tmp_path, record_path):
    """Factory: bam(records, contigs=...) -> path of a new BAM file in the test's folder."""
    counter = iter(range(1_000_000))

    def make(records, contigs=CONTIGS):
        return write_bam(tmp_path / f"input{next(counter)}.bam", records, contigs)

    return make


@pytest.fixture
def fake(monkeypatch):
    """Factory: fake(records, tids=..., close_error=...) installs a stand-in as the module's pysam."""

    def install(records=(), **kwargs):
        stand_in = Pysam(records, **kwargs)
        monkeypatch.setattr(_core_fast, "pysam", stand_in)
        return stand_in

    return install
