# `make test` builds the package into a virtual environment inside the repo and runs the tests.
# The interpreter is CPython 3.12 where the machine has one (on PATH or through pyenv), else
# python3; `make test PYTHON=/path/to/python` chooses another.

find_python312 = $(shell \
  if python3.12 -c 'import sys' >/dev/null 2>&1; then command -v python3.12; \
  elif command -v pyenv >/dev/null 2>&1 && \
       v=$$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$$' | tail -n 1) && \
       [ -n "$$v" ] && [ -x "$$(pyenv root)/versions/$$v/bin/python3" ]; then \
    echo "$$(pyenv root)/versions/$$v/bin/python3"; \
  else echo python3; fi)

PYTHON ?= $(find_python312)
VENV ?= .venv
VPY := $(VENV)/bin/python


.PHONY: test install fuzz demo bench bench-annotation bench-htseq bench-options clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --upgrade pip

install: $(VPY)
	$(VPY) -m pip install '.[test]'

test: install
	$(VENV)/bin/pytest -q

# The differential tests against featureCounts and htseq-count with more examples than `make
# test` draws, and fresh ones on every run (`make test` draws the same ones each time).
FUZZ_TESTS ?= tests/test_engine_featurecounts.py tests/test_fc_options.py tests/test_fc_model.py \
  tests/test_htseq_peer.py tests/test_htseq_samout.py tests/test_threads.py \
  tests/test_engine_module.py
fuzz: install
	ENGINE_FC_EXAMPLES=40 FC_OPTIONS_EXAMPLES=15 FC_MODEL_EXAMPLES=30 HTSEQ_EXAMPLES=15 \
	  THREAD_EXAMPLES=30 ENGINE_MODULE_EXAMPLES=80 \
	  $(VENV)/bin/pytest -q -p no:cacheprovider --hypothesis-profile fresh $(FUZZ_TESTS)

# `make bench` writes the benchmark data once (benchmarks/data, reused afterwards) and times the
# installed counting module and engine against samtools and featureCounts, on single-end reads
# and paired-end fragments; `make bench BENCH_READS=5000000 BENCH_FRAGMENTS=4M` for other sizes.
# The engine's memory on coordinate-sorted pairs is also measured on BENCH_SMALL_FRAGMENTS.
BENCH_READS ?= 2000000
BENCH_FRAGMENTS ?= 1000000
BENCH_SMALL_FRAGMENTS ?= 250000
# Each leg's best of ten runs, the legs taking turns: on a shared virtual machine the best of
# three moved by up to a fifth between two runs of the same leg.
BENCH_REPEAT ?= 10

bench: install
	$(VPY) benchmarks/generate.py --reads $(BENCH_READS) --fragments $(BENCH_FRAGMENTS) \
	  --fragments $(BENCH_SMALL_FRAGMENTS)
	$(VPY) benchmarks/run.py --reads $(BENCH_READS) --fragments $(BENCH_FRAGMENTS) \
	  --small-fragments $(BENCH_SMALL_FRAGMENTS) --repeat $(BENCH_REPEAT)

# dulse htseq-count against htseq-count on the benchmark's single-end and paired sets (the data
# generate.py writes; htseq-count on the first BENCH_HTSEQ_SUBSET records, scaled per record).
BENCH_FRAGMENTS ?= 1000000
BENCH_HTSEQ_SUBSET ?= 200000
BENCH_DATA ?= benchmarks/data

bench-htseq: install
	$(VPY) benchmarks/htseq_leg.py --data $(BENCH_DATA) --reads $(BENCH_READS) \
	  --fragments $(BENCH_FRAGMENTS) --subset $(BENCH_HTSEQ_SUBSET)
# Annotation reading alone, dulse against featureCounts, on the benchmark's GTF and on a
# GENCODE-sized one (written once into benchmarks/data, about 1 GB).
bench-annotation: install
	$(VPY) benchmarks/annotation_run.py --repeat $(BENCH_REPEAT)

# featureCounts' costlier options (-O --fraction, --largestOverlap, -f, -R BAM on one thread and
# on two), dulse count against featureCounts on the sorted read set.
bench-options: install
	$(VPY) benchmarks/generate.py --reads $(BENCH_READS)
	$(VPY) benchmarks/fc_options_leg.py --reads $(BENCH_READS) --repeat $(BENCH_REPEAT)

# Counts the shipped demo reads (a reverse-stranded library, hence -s 2) and shows the results.
DEMO_OUT ?= build/demo
demo: install
	mkdir -p $(DEMO_OUT)
	$(VENV)/bin/dulse count -a dulse/data/demo.gtf -s 2 -o $(DEMO_OUT)/counts.txt \
	  dulse/data/demo_a.bam dulse/data/demo_b.bam
	@echo; echo "== first lines of $(DEMO_OUT)/counts.txt"; head -n 8 $(DEMO_OUT)/counts.txt
	@echo; echo "== $(DEMO_OUT)/counts.txt.summary"; cat $(DEMO_OUT)/counts.txt.summary

clean:
	rm -rf build dist $(VENV) .pytest_cache
