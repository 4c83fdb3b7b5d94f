# `make test` and `make demo` work on a fresh Debian 12 machine: they install what is missing
# (Debian packages through apt, pinned Python tools into .venv), build and run.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
JOBS ?= $(shell nproc)
APT_PACKAGES := g++ make locales libboost1.81-dev libgtest-dev libgmock-dev libbenchmark-dev
RELEASE := build/release
ASAN := build/asan
TSAN := build/tsan
CONSUMER := build/consumer
WERROR ?= ON

.PHONY: all deps build test test-native test-python test-asan test-tsan test-sanitizers \
        wheel-check consumer-check bench demo format clean

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

# `pip install .` builds the same CMake project through scikit-build-core.
wheel-check: deps
	$(PY) -m pip install -q --no-build-isolation --force-reinstall --no-deps .
	cd /tmp && $(abspath $(PY)) -c "import _brevacon, _tandrel, epson_sim; print('installed:', _brevacon.Brevacon.default_port, _tandrel.Tandrel.__name__)"
	$(VENV)/bin/epson-virtual-controller --help >/dev/null

# Builds examples/native_session.cpp as an outside project would (tests/consumer): against the
# installed CMake package, and with the source tree embedded by add_subdirectory and by
# FetchContent; each program then runs a session against the virtual controller. The consumer's
# own build type stays unset, so a driver that forced one on its parent would fail it.
consumer-check: build
	rm -rf $(CONSUMER)
	$(CMAKE) --install $(RELEASE) --prefix $(abspath $(CONSUMER))/prefix >/dev/null
	set -e; for mode in find_package add_subdirectory fetchcontent; do \
	  echo "consumer-check: $$mode"; \
	  $(CMAKE) -S tests/consumer -B $(CONSUMER)/$$mode -G Ninja -DEPSON_CONSUMER_MODE=$$mode \
	    -DCMAKE_PREFIX_PATH=$(abspath $(CONSUMER))/prefix "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror" \
	    >/dev/null; \
	  $(CMAKE) --build $(CONSUMER)/$$mode -j $(JOBS) >/dev/null; \
	  EPSON_NATIVE_SESSION=$(CONSUMER)/$$mode/native_session PYTHONPATH=sim \
	    $(PY) -m pytest -q tests/python/test_native_example.py; \
	done

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
