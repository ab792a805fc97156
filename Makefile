# Thin front for the common jobs. Every target installs what it is missing first.
VENV   := .venv
PY     := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
JOBS   ?= 2
CMAKE_ARGS = -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
             -DPython_EXECUTABLE=$(abspath $(PY)) \
             -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)

.PHONY: run test setup install test-cpp test-python test-asan test-tsan fuzz fuzz-coverage bench bench-answer \
        wheel sdist test-wheel clean

## run: build and install, then profile the sample file with the default types
run: install
	$(VENV)/bin/velmira examples/sample.csv

## test: every test, C++ (CTest) and Python (pytest); non-zero on any failure
test: test-cpp test-python

setup:
	@scripts/setup.sh

install: setup
	$(PY) -m pip install -q --no-build-isolation .

test-cpp: setup
	$(CMAKE) -S . -B build/cpp $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMIRA_BUILD_TESTS=ON
	$(CMAKE) --build build/cpp -j $(JOBS)
	cd build/cpp && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

# Tests run against the installed module, never the source tree.
test-python: install
	$(PY) -m pytest -q

## test-asan: C++ and Python tests against a build with AddressSanitizer and UBSan (build/asan)
test-asan: install
	JOBS=$(JOBS) scripts/sanitize.sh asan

## test-tsan: C++ tests, the multithreaded passes among them, under ThreadSanitizer (build/tsan)
test-tsan: setup
	JOBS=$(JOBS) scripts/sanitize.sh tsan

## fuzz: build the libFuzzer targets with clang and run each for FUZZ_SECONDS (default 60)
FUZZ_SECONDS ?= 60
fuzz: setup
	JOBS=$(JOBS) scripts/fuzz.sh $(FUZZ_SECONDS)

## fuzz-coverage: line coverage of the tokenizer and the engine reached by the fuzz corpora
fuzz-coverage: setup
	JOBS=$(JOBS) scripts/fuzz.sh coverage

## bench: the benchmark against the alternatives (installs them into .venv first)
bench: install
	$(PY) -m pip install -q --no-build-isolation ".[bench]"
	$(PY) bench/run.py

## bench-answer: time to an answer: each tool's own typed load of a whole file, against velmira's profile
bench-answer: install
	$(PY) -m pip install -q --no-build-isolation ".[bench]"
	$(PY) bench/answer.py --files a,b,c,e --rounds 5

## wheel: the sdist and a wheel built from it that carries its libraries, in dist/ (auditwheel)
wheel: setup
	JOBS=$(JOBS) scripts/wheel.sh

## sdist: the source distribution alone, in dist/
sdist: setup
	scripts/wheel.sh --sdist-only

## test-wheel: install dist/'s wheel alone in a new virtual environment and try it from outside the tree
test-wheel:
	scripts/wheel_smoke.sh

clean:
	rm -rf build
