# make run    build the two modules, then run the main job
# make test   build, then run every test: C++ under ctest and again under Address- and
#             UndefinedBehaviorSanitizer, the threaded C++ tests under ThreadSanitizer,
#             and the Python tests under pytest, then again on the free-threaded
#             interpreter (FT_PYTHON, python3.14t) with the modules built for it; and
#             build the documentation
# make docs   build the documentation site into docs/_build/html
#
# Without PYTHON the work runs inside the toolchain root (tools/toolchain), built on first
# use. With PYTHON=python3.14 it runs directly on this machine, which then needs CPython
# 3.14 with its headers, pybind11 3, NumPy, pytest, CMake, Ninja and GoogleTest.

SHELL := /bin/bash
PYTHON ?=
BUILD ?= build
JOBS ?= 2
TARGETS := run test docs build build-modules build-tsan build-asan build-fuzz build-ft test-cpp test-python test-tsan \
  test-asan test-fuzz test-ft perft-deep diff-large bench bench-smoke learn

ifeq ($(PYTHON),)

# The root is entered with a clean environment, so the variables given to this make (on
# its command line or in the environment) are handed on by name, and its one-letter flags
# (-n, -k, -s...) as flags: a dry run stays dry inside.
FLAGS = $(addprefix -,$(filter-out -% %=%,$(firstword $(MAKEFLAGS))))

# The toolchain's layers that a target needs beyond its core (tools/toolchain): the main
# job needs nothing beyond the root's Debian packages.
LAYERS_run := root
LAYERS_build-modules := root
LAYERS_test := all
LAYERS_test-python := tools,peers,torch
LAYERS_test-asan := tools,peers,torch
LAYERS_build-fuzz := tools
LAYERS_test-fuzz := tools
LAYERS_build-ft := ft
LAYERS_test-ft := ft,torch
LAYERS_bench := peers,ft,torch
LAYERS_bench-smoke := peers,ft,torch
LAYERS_docs := docs
LAYERS_learn := tools,peers,torch

$(TARGETS):
	tools/toolchain run $(if $(LAYERS_$@),--with $(LAYERS_$@)) $(MAKE) --no-print-directory $(FLAGS) $(MAKEOVERRIDES) BUILD=$(BUILD) JOBS=$(JOBS) PYTHON=python3 $@

else

PY := $(shell command -v $(PYTHON))
FT_PYTHON ?= python3.14t
FT_FOUND := $(shell command -v $(FT_PYTHON))
# An interpreter by that name that keeps the GIL would only run the GIL build's suite again.
FT_PY := $(if $(FT_FOUND),$(shell $(FT_FOUND) -c 'import sys, sysconfig; \
  sysconfig.get_config_var("Py_GIL_DISABLED") and print(sys.argv[1])' $(FT_FOUND) 2>/dev/null))
# Why there is no free-threaded interpreter: that one is not, or the toolchain could not build it.
FT_MISSING := $(if $(FT_FOUND),$(if $(FT_PY),,$(FT_FOUND) is not a free-threaded build),$(shell \
  tail -1 /.vantor-python-ft-missing 2>/dev/null))
CMAKE_FLAGS := -G Ninja -DPython_EXECUTABLE=$(PY) -DVANTOR_WERROR=ON -DVANTOR_BENCH=ON

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# Only the two Python modules, in the same tree as build (its tests and benchmarks wait).
build-modules:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target vantor _native

build-tsan:
	cmake -S . -B $(BUILD)-tsan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANTOR_SANITIZE=thread -DVANTOR_MODULE=OFF >/dev/null
	cmake --build $(BUILD)-tsan -j $(JOBS) --target engine_tests

build-asan:
	cmake -S . -B $(BUILD)-asan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANTOR_SANITIZE=address,undefined -DVANTOR_MODULE=ON >/dev/null
	cmake --build $(BUILD)-asan -j $(JOBS)

build-fuzz:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz -G Ninja -DVANTOR_WERROR=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTOR_SANITIZE=address,undefined -DVANTOR_FUZZ=ON \
	  -DVANTOR_MODULE=OFF -DVANTOR_TESTS=OFF >/dev/null
	cmake --build $(BUILD)-fuzz -j $(JOBS)

# With the free-threaded interpreter present, the main job also shows Python threads on it.
run: build-modules $(if $(FT_PY),build-ft)
	PYTHONPATH=$(BUILD)/python:python $(PY) examples/main.py

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-python: build
	PYTHONPATH=$(BUILD)/python:python $(PY) -m pytest tests/python

test-tsan: build-tsan
	TSAN_OPTIONS=halt_on_error=1 $(BUILD)-tsan/engine_tests --gtest_filter='Threads*'

# The Python suite runs against the sanitized module; the interpreter itself is not
# built with AddressSanitizer, so its runtime is preloaded and leak checks stay with the
# C++ suite (the interpreter keeps memory until exit by design), and the tests of
# resident memory step aside (the sanitizer holds freed memory back on purpose). libstdc++ is preloaded
# too, so that the runtime finds the C++ exception functions it wraps.
test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 VANTOR_PERFT_MAX_NODES=3000000 \
	  VANTOR_DIFF_POSITIONS=3000 VANTOR_CHESS960_EVERY=13 $(BUILD)-asan/engine_tests --gtest_brief=1
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0 VANTOR_SANITIZED=1 \
	  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(BUILD)-asan/python:python \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python

# Each fuzz target starts from its committed seeds and kept regressions (all of which it
# runs first), then fuzzes for VANTOR_FUZZ_SECONDS (60 by default). New inputs go to the
# first corpus directory and a failing input to the build tree, never into the
# repository; a failure prints the whole log (keep the input under fuzz/regressions/).
FUZZ_TARGETS := fen snapshot actions
test-fuzz: build-fuzz
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD)-fuzz/corpus/$$t; \
	  log=$(BUILD)-fuzz/fuzz_$$t.log; \
	  if ! $(BUILD)-fuzz/fuzz_$$t -max_total_time=$${VANTOR_FUZZ_SECONDS:-60} -timeout=20 \
	      -print_final_stats=1 -artifact_prefix=$(BUILD)-fuzz/$$t- \
	      $(BUILD)-fuzz/corpus/$$t fuzz/corpus/$$t fuzz/regressions/$$t > $$log 2>&1; then \
	    cat $$log; exit 1; \
	  fi; \
	  echo "fuzz_$$t: $$(grep -h 'stat::number_of_executed_units' $$log | tail -1)"; \
	done

# The modules for the free-threaded interpreter (only the modules), and the whole Python
# suite on it; -rs prints why each test skipped (the packages without a free-threaded
# wheel among them). Without that interpreter both say so (and why, when the toolchain
# knows) and do nothing.
ifeq ($(FT_PY),)
build-ft test-ft:
	@echo "$@: NOT RUN: no free-threaded interpreter ($(FT_PYTHON))$(if $(FT_MISSING),: $(FT_MISSING))"
else
build-ft:
	cmake -S . -B $(BUILD)-ft -G Ninja -DPython_EXECUTABLE=$(FT_PY) -DVANTOR_WERROR=ON \
	  -DVANTOR_TESTS=OFF -DVANTOR_BENCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD)-ft -j $(JOBS) --target vantor _native vantor_floor

test-ft: build-ft
	PYTHONPATH=$(BUILD)-ft/python:python $(FT_PY) -m pytest -q -rs -p no:cacheprovider tests/python
endif

# After the plain runs, the sanitized runs, the fuzzers, the free-threaded suite and the
# documentation run two at a time: each is mostly one process on one core (the fuzzers for
# a fixed time), so the pairs share the machine rather than wait. Each one's output is
# printed whole when it ends.
test: test-cpp test-python
	$(MAKE) --no-print-directory --output-sync=target -j2 test-ft test-asan test-tsan test-fuzz docs

# The site, from docs/ and the docstrings of the modules built here; any warning fails it
# (a broken reference, a public name left out of the API reference among them), and so
# does a link of the built pages that leads nowhere.
docs: build-modules
	rm -rf docs/_build
	PYTHONPATH=$(BUILD)/python:python $(PY) -m sphinx -W --keep-going -n -q -b html docs docs/_build/html
	$(PY) tools/check_links.py docs/_build/html

bench: build $(if $(FT_PY),build-ft)
	$(PY) bench/bench.py --build $(BUILD) --json $(BUILD)/bench.json

bench-smoke: build $(if $(FT_PY),build-ft)
	$(PY) bench/bench.py --build $(BUILD) --smoke --json $(BUILD)/bench-smoke.json

# The recipe of "A first agent that learns" (docs/gymnasium.md) at its full budget: 10 CPU
# minutes of training and an evaluation before and after, about 11 minutes on an idle core.
# LEARN_ARGS passes it other arguments (--seed 1, --greedy...). Not part of test.
learn: build-modules
	PYTHONPATH=$(BUILD)/python:python $(PY) examples/learn_maskable_ppo.py $(LEARN_ARGS)

# Every perft row of tests/data/perft-standard.tsv, to the deepest published depth
# (about 2.3 billion nodes).
perft-deep: build
	VANTOR_PERFT_MAX_NODES=2000000000 $(BUILD)/engine_tests --gtest_filter='Standard/Perft.*'

# The comparison with Stockfish over many more positions than the test run uses.
diff-large: build
	VANTOR_DIFF_POSITIONS=$${VANTOR_DIFF_POSITIONS:-500000} $(BUILD)/engine_tests --gtest_filter='Stockfish.*'

endif

.PHONY: $(TARGETS)
