# make run    build, then run the main job
# make test   build, then run every test: C++ under ctest and again under Address- and
#             UndefinedBehaviorSanitizer, the threaded C++ tests under ThreadSanitizer,
#             and the Python tests under pytest
#
# Without PYTHON the work runs inside the toolchain root (tools/toolchain), built on first
# use. With PYTHON=python3.14 it runs directly on this machine, which then needs CPython
# 3.14 with its headers, pybind11 3, NumPy, pytest, CMake, Ninja and GoogleTest.

PYTHON ?=
BUILD ?= build
JOBS ?= 2
TARGETS := run test build build-tsan build-asan test-cpp test-python test-tsan test-asan \
  perft-deep diff-large

ifeq ($(PYTHON),)

$(TARGETS):
	tools/toolchain run $(MAKE) --no-print-directory PYTHON=python3 $@

else

PY := $(shell command -v $(PYTHON))
CMAKE_FLAGS := -G Ninja -DPython_EXECUTABLE=$(PY) -DVANTOR_WERROR=ON

build:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-tsan:
	cmake -S . -B $(BUILD)-tsan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANTOR_SANITIZE=thread -DVANTOR_MODULE=OFF >/dev/null
	cmake --build $(BUILD)-tsan -j $(JOBS) --target engine_tests

build-asan:
	cmake -S . -B $(BUILD)-asan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANTOR_SANITIZE=address,undefined -DVANTOR_MODULE=OFF >/dev/null
	cmake --build $(BUILD)-asan -j $(JOBS) --target engine_tests

run: build
	PYTHONPATH=$(BUILD)/python $(PY) examples/main.py

test-cpp: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-python: build
	PYTHONPATH=$(BUILD)/python $(PY) -m pytest tests/python

test-tsan: build-tsan
	TSAN_OPTIONS=halt_on_error=1 $(BUILD)-tsan/engine_tests --gtest_filter='Threads*'

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 VANTOR_PERFT_MAX_NODES=3000000 \
	  VANTOR_DIFF_POSITIONS=3000 $(BUILD)-asan/engine_tests --gtest_brief=1

test: test-cpp test-asan test-tsan test-python

# Every perft row of tests/data/perft-standard.tsv, to the deepest published depth
# (about 2.3 billion nodes).
perft-deep: build
	VANTOR_PERFT_MAX_NODES=2000000000 $(BUILD)/engine_tests --gtest_filter='Standard/Perft.*'

# The comparison with Stockfish over many more positions than the test run uses.
diff-large: build
	VANTOR_DIFF_POSITIONS=$${VANTOR_DIFF_POSITIONS:-500000} $(BUILD)/engine_tests --gtest_filter='Stockfish.*'

endif

.PHONY: $(TARGETS)
