# `make test` and `make demo` work on a fresh Debian 12 machine: they install what is missing
# (Debian packages through apt, pinned Python tools into .venv), build and run.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
JOBS ?= $(shell nproc)
# clang and libclang-rt-14-dev (libFuzzer and the sanitizer runtimes) build the fuzzers.
APT_PACKAGES := g++ make locales libboost1.81-dev libgtest-dev libgmock-dev libbenchmark-dev \
                clang libclang-rt-14-dev
RELEASE := build/release
ASAN := build/asan
TSAN := build/tsan
FUZZ := build/fuzz
FUZZ_REPLAY := build/fuzz-replay
HARNESS ?= stream_framers
SECONDS ?= 600
WERROR ?= ON

.PHONY: all deps build test test-native test-python test-asan test-tsan test-sanitizers \
        wheel-check bench demo format clean fuzz-replay fuzz-smoke fuzz-build fuzz-long

all: build

deps: $(VENV)/.stamp

$(VENV)/.stamp: requirements-dev.txt
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
	@# A locale with a decimal comma, so tests can prove number texts ignore the process locale.
	@locale -a 2>/dev/null | grep -qi '^de_DE.utf8$$' || { SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "de_DE.UTF-8 unavailable: locale tests will skip"; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

define configure
	$(CMAKE) -S . -B $(1) -G Ninja -DEPSON_WERROR=$(WERROR) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) $(2) >/dev/null
endef

build: deps
	$(call configure,$(RELEASE),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	$(CMAKE) --build $(RELEASE) -j $(JOBS)

test: test-native test-python

test-native: build
	$(CTEST) --test-dir $(RELEASE) -j 8 --output-on-failure --timeout 300

test-python: build
	PYTHONPATH=$(RELEASE)/python:sim $(PY) -m pytest -q

# Native tests under AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer.
test-asan: deps
	$(call configure,$(ASAN),-DCMAKE_BUILD_TYPE=Debug -DEPSON_SANITIZE=address -DEPSON_BUILD_PYTHON=OFF -DEPSON_BUILD_BENCH=OFF -DEPSON_BUILD_EXAMPLES=OFF)
	$(CMAKE) --build $(ASAN) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(CTEST) --test-dir $(ASAN) -j 8 --output-on-failure --timeout 600

test-tsan: deps
	$(call configure,$(TSAN),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DEPSON_SANITIZE=thread -DEPSON_BUILD_PYTHON=OFF -DEPSON_BUILD_BENCH=OFF -DEPSON_BUILD_EXAMPLES=OFF)
	$(CMAKE) --build $(TSAN) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(CTEST) --test-dir $(TSAN) -j 8 --output-on-failure --timeout 600

test-sanitizers: test-asan test-tsan

# Fuzz harnesses (fuzz/README.md). fuzz-replay runs every seed and regression once with GCC under
# ASan and UBSan; fuzz-smoke fuzzes each harness for 30 s with clang's libFuzzer; fuzz-long runs
# one harness for SECONDS, keeping what it finds in $(FUZZ)/long/HARNESS.
FUZZ_OPTIONS := -DEPSON_BUILD_FUZZERS=ON -DEPSON_BUILD_TESTS=OFF -DEPSON_BUILD_PYTHON=OFF \
                -DEPSON_BUILD_BENCH=OFF -DEPSON_BUILD_EXAMPLES=OFF

fuzz-replay: deps
	$(call configure,$(FUZZ_REPLAY),-DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug -DEPSON_SANITIZE=address $(FUZZ_OPTIONS))
	$(CMAKE) --build $(FUZZ_REPLAY) -j $(JOBS) --target epson_fuzzers
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(CTEST) --test-dir $(FUZZ_REPLAY) -L fuzz-replay -j 2 --output-on-failure

fuzz-build: deps
	@command -v clang++ >/dev/null || { echo "clang++ is not installed: no libFuzzer build"; exit 1; }
	$(call configure,$(FUZZ),-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo $(FUZZ_OPTIONS))
	$(CMAKE) --build $(FUZZ) -j $(JOBS) --target epson_fuzzers

fuzz-smoke: deps
	@if ! command -v clang++ >/dev/null; then echo "clang++ is not installed: skipping the fuzz smoke runs"; \
	else $(MAKE) --no-print-directory fuzz-build && \
	  $(CTEST) --test-dir $(FUZZ) -L 'fuzz-(replay|smoke)' -j 2 --output-on-failure; fi

fuzz-long: fuzz-build
	mkdir -p $(FUZZ)/long/$(HARNESS)
	cd $(FUZZ)/long/$(HARNESS) && status=0 && $(abspath $(FUZZ))/fuzz/$(HARNESS) \
	  -max_total_time=$(SECONDS) -print_final_stats=1 -timeout=20 -entropic_scale_per_exec_time=1 \
	  -artifact_prefix=./ . \
	  $(abspath fuzz/corpus/$(HARNESS) $(wildcard fuzz/regressions/$(HARNESS))) \
	  >../$(HARNESS).log 2>&1 || status=$$?; \
	  grep -v -E '^#[0-9]+.*(NEW|REDUCE|pulse)' ../$(HARNESS).log | tail -n 30; exit $$status

# `pip install .` builds the same CMake project through scikit-build-core.
wheel-check: deps
	$(PY) -m pip install -q --no-build-isolation --force-reinstall --no-deps .
	cd /tmp && $(abspath $(PY)) -c "import _brevacon, _tandrel, epson_sim; print('installed:', _brevacon.Brevacon.default_port, _tandrel.Tandrel.__name__)"
	$(VENV)/bin/epson-virtual-controller --help >/dev/null

bench: build
	$(RELEASE)/bench/epson_bench --benchmark_min_time=0.2

demo: build
	PYTHONPATH=$(RELEASE)/python:sim $(PY) examples/demo.py

# Applies .clang-format to every C++ source (Debian's clang-format-14).
format:
	@command -v clang-format-14 >/dev/null || apt-get install -y -qq clang-format-14
	clang-format-14 -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
