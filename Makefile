# Build, test and sanitizer runs for the _quellnor extension.
#
#   make test    both interpreters (CPython 3.11 and PyPy 3.9), the whole suite
#   make asan    CPython 3.11 with AddressSanitizer + UBSan
#   make demo    the end-to-end demo (arrives with the companion package)
#   make bench   benchmarks (bench/run.py, when present)
#
# Each interpreter gets its own virtual environment. Every step leaves a stamp
# file, so a second run only rebuilds what changed: requirements are keyed by
# a hash of their text, the extension by the timestamps of its sources. The
# CMake build directories under build/ are kept, so a rebuild is incremental.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help
.DELETE_ON_ERROR:
MAKEFLAGS += --no-print-directory

VENV_CPYTHON := .venv-cpython
VENV_PYPY    := .venv-pypy
VENV_ASAN    := .venv-asan

# What every venv needs; cmake and ninja come from PyPI so the build does not
# depend on which cmake happens to be first on PATH.
BASE_REQS := pytest>=7 pytest-xdist>=3 hypothesis>=6 scikit-build-core>=0.10 cmake>=3.20 ninja
# The server's tests: gunicorn runs it, selenium drives the browser that tests its page.
BASE_REQS += gunicorn>=21 selenium>=4
# Optional extras, CPython only: a failure to install them is a warning.
# pyarrow and duckdb serve the columnar input and the DuckDB recipe.
OPTIONAL_REQS := numpy pyarrow duckdb

REQS_HASH := $(shell printf '%s|%s' '$(BASE_REQS)' '$(OPTIONAL_REQS)' | md5sum | cut -c1-12)

# Anything that can change the built extension.
SOURCES := CMakeLists.txt pyproject.toml \
           $(shell find src python -type f -not -path '*/__pycache__/*' 2>/dev/null)

PIP_INSTALL := -m pip install --quiet --disable-pip-version-check
# Some machines configure a local package index that lacks most packages; pip
# warns once per package about it. Drop just that line (pipefail keeps pip's
# exit status).
PIP_FILTER := 2>&1 | { grep -v 'is ignored: it is neither a file nor a directory' || true; }
# Build in the persistent build/ directory rather than a throwaway one.
BUILD_INSTALL := $(PIP_INSTALL) --no-build-isolation --no-deps --force-reinstall
PYTEST_ARGS ?=
# The cores the suites and the fuzzer's smoke run use: every core, up to four
# (each pytest worker holds its own word lists and, under the sanitizers,
# its own shadow memory). One core runs the suites in-process;
# PYTEST_WORKERS=0 forces that.
CORES := $(shell n=$$(nproc 2>/dev/null || echo 1); if [ "$$n" -gt 4 ]; then n=4; fi; echo $$n)
PYTEST_WORKERS ?= $(if $(filter 1,$(CORES)),0,$(CORES))
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

# System packages: PyPy and its headers for the second interpreter, the word
# list and clang's runtime for the benchmarks and the fuzzer, chromium and its
# driver for the page's browser test, wrk for the server's load test.
APT_PACKAGES := pypy3 pypy3-dev wbritish-huge clang libclang-rt-14-dev chromium chromium-driver wrk

# The sanitizer build uses gcc, so its runtimes come from gcc too.
ASAN_CXX ?= g++
ASAN_SETTINGS := --config-settings=cmake.define.QUELLNOR_SANITIZE=ON \
                 --config-settings=cmake.build-type=RelWithDebInfo \
                 --config-settings=build-dir=build/asan-{wheel_tag}
ASAN_ENV = LD_PRELOAD="$$($(ASAN_CXX) -print-file-name=libasan.so) $$($(ASAN_CXX) -print-file-name=libubsan.so)" \
           ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 \
           UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
           PYTHONMALLOC=malloc \
           HYPOTHESIS_PROFILE=$${HYPOTHESIS_PROFILE:-asan}

define banner
	@printf '\n=== %s ===\n' $(1)
endef

define fail_loudly
	printf '\n%s\n' '################################################################' >&2; \
	printf 'ERROR: %s\n' $(1) >&2; \
	printf '%s\n\n' '################################################################' >&2; \
	exit 1
endef

# A CPython 3.11 that can make a venv: python3.11 first, then python3 if it is 3.11.
FIND_CPYTHON := for c in python3.11 /usr/bin/python3.11 python3; do \
	  if command -v "$$c" >/dev/null 2>&1 && "$$c" -c 'import sys, venv, ensurepip; sys.exit(sys.version_info[:2] != (3, 11))' >/dev/null 2>&1; then \
	    echo "$$c"; break; fi; done
FIND_PYPY := for c in pypy3.9 pypy3; do \
	  if command -v "$$c" >/dev/null 2>&1 && "$$c" -c 'import sys, venv, platform; sys.exit(platform.python_implementation() != "PyPy")' >/dev/null 2>&1; then \
	    echo "$$c"; break; fi; done

.PHONY: help test test-cpython test-pypy asan demo bench bench-serve serve-smoke sysdeps clean distclean

help:
	@echo 'make test    build and test on CPython 3.11 and PyPy 3.9'
	@echo 'make asan    build with ASan/UBSan and test on CPython 3.11'
	@echo 'make demo    the end-to-end demo'
	@echo 'make typecheck  mypy --strict and stubtest (CPython)'
	@echo 'make dist    sdist and wheels;  make dist-check  also install each wheel and try it'
	@echo 'make bench   run the benchmarks (bench/run.py)'
	@echo 'make bench-serve  the server under load (bench/serve_load.py);  make serve-smoke  a few seconds of it (CI)'
	@echo 'make fuzz-smoke  two minutes of the native fuzzer (CI);  make fuzz  thirty minutes'
	@echo 'make soak    one million mixed calls against the benchmark index, memory sampled'
	@echo 'make clean   remove build/;  make distclean  also remove the venvs'

# Runs both suites even when the first fails, then reports.
test: sysdeps
	@status=0; \
	$(MAKE) test-cpython || status=1; \
	$(MAKE) test-pypy || status=1; \
	if [ $$status -ne 0 ]; then \
	  printf '\nmake test: FAILED (see above)\n' >&2; exit 1; fi; \
	printf '\nmake test: both interpreters passed\n'

test-cpython: $(VENV_CPYTHON)/.built
	$(call banner,'pytest on CPython ($(VENV_CPYTHON))')
	@$(call run_pytest,$(VENV_CPYTHON),)

test-pypy: $(VENV_PYPY)/.built
	$(call banner,'pytest on PyPy ($(VENV_PYPY))')
	@$(call run_pytest,$(VENV_PYPY),)

asan: sysdeps $(VENV_ASAN)/.built
	$(call banner,'pytest under AddressSanitizer + UBSan ($(VENV_ASAN))')
	@$(call run_pytest,$(VENV_ASAN),$(ASAN_ENV))

# Both interpreters with their peers installed; a peer that does not install
# is a warning, and its rows in the table say it was not importable.
BENCH_REQS_HASH := $(shell md5sum bench/requirements.txt 2>/dev/null | cut -c1-12)
BENCH_ARGS ?= --full

bench: sysdeps $(VENV_CPYTHON)/.built $(VENV_CPYTHON)/.bench-deps-$(BENCH_REQS_HASH) \
       $(VENV_PYPY)/.built $(VENV_PYPY)/.bench-deps-$(BENCH_REQS_HASH)
	$(call banner,'bench')
	@$(VENV_CPYTHON)/bin/python bench/run.py $(BENCH_ARGS) --pypy $(VENV_PYPY)/bin/python
	$(call banner,'bench: fuzzy_match beside the spelling correctors (bench/speed.py)')
	@sh bench/install_symspellcpp.sh $(VENV_CPYTHON)/bin/python \
	  || echo "WARNING: the C++ SymSpell did not build; its row will say so." >&2
	@$(VENV_CPYTHON)/bin/python bench/speed.py

# The server's load test: wrk against quellnor serve on 127.0.0.1, on both
# interpreters. serve-smoke is CI's short run, failing only on errors.
SERVE_BENCH_ARGS ?= --full

bench-serve: sysdeps $(VENV_CPYTHON)/.built $(VENV_PYPY)/.built
	$(call banner,'bench: the server under load')
	@$(VENV_CPYTHON)/bin/python bench/serve_load.py $(SERVE_BENCH_ARGS) --pypy $(VENV_PYPY)/bin/python

serve-smoke:
	@$(MAKE) bench-serve SERVE_BENCH_ARGS=--quick

# PyPy's sysconfig lacks a C++ link command, which editdistpy's build needs.
# $(1) venv directory.
define bench_deps_rule
$(1)/.bench-deps-$(BENCH_REQS_HASH): bench/requirements.txt | $(1)/bin/python
	@printf '\n=== installing the benchmark peers into $(1) ===\n'
	@rm -f $(1)/.bench-deps-*
	@LDCXXSHARED="g++ -pthread -shared" $(1)/bin/python $(PIP_INSTALL) -r bench/requirements.txt $(PIP_FILTER) \
	  || echo "WARNING: some benchmark peers did not install into $(1); their rows will be empty." >&2
	@touch $$@
endef
$(eval $(call bench_deps_rule,$(VENV_CPYTHON)))
$(eval $(call bench_deps_rule,$(VENV_PYPY)))

# pytest's exit code 5 ("no tests collected") is a failure here, not a pass.
# $(1) venv, $(2) environment assignments for the run.
define run_pytest
rc=0; env $(2) $(1)/bin/pytest -n $(PYTEST_WORKERS) $(PYTEST_ARGS) || rc=$$?; \
if [ $$rc -eq 5 ]; then \
  $(call fail_loudly,'pytest collected no tests in $(1)'); fi; \
exit $$rc
endef

# --- system packages -------------------------------------------------------

# One apt-get update and one install, only as root on Debian and only when
# something is missing. Elsewhere, missing pieces are reported by the steps
# that need them.
sysdeps:
	@missing=''; \
	for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${db:Status-Abbrev}' "$$p" 2>/dev/null | grep -q '^ii' || missing="$$missing $$p"; \
	done; \
	if [ -z "$$($(FIND_CPYTHON))" ]; then missing="$$missing python3.11 python3.11-venv python3.11-dev"; fi; \
	command -v g++ >/dev/null 2>&1 || missing="$$missing g++"; \
	if [ -z "$$missing" ]; then exit 0; fi; \
	if [ "$$(id -u)" = 0 ] && [ -f /etc/debian_version ]; then \
	  printf '\n=== installing system packages:%s ===\n' "$$missing"; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update -qq; \
	  apt-get install -y -qq --no-install-recommends $$missing; \
	else \
	  echo "WARNING: missing system packages:$$missing (not root on Debian, so not installing them)" >&2; \
	fi

# --- virtual environments --------------------------------------------------

# Per venv: how to find its interpreter, optional requirements, build settings
# and environment, and the environment the built module is imported in.
CPYTHON_FIND := $(FIND_CPYTHON)
CPYTHON_LABEL := CPython 3.11
CPYTHON_OPTIONAL := $(OPTIONAL_REQS)
CPYTHON_BUILD_SETTINGS :=
CPYTHON_BUILD_ENV :=
CPYTHON_RUN_ENV :=

PYPY_FIND := $(FIND_PYPY)
PYPY_LABEL := PyPy 3.9 [pypy3]
PYPY_OPTIONAL :=
PYPY_BUILD_SETTINGS :=
PYPY_BUILD_ENV :=
PYPY_RUN_ENV :=

ASAN_FIND := $(FIND_CPYTHON)
ASAN_LABEL := CPython 3.11 with sanitizers
# DuckDB's own runtime has no place under the sanitizers; Arrow input does.
ASAN_OPTIONAL := numpy pyarrow
ASAN_BUILD_SETTINGS := $(ASAN_SETTINGS)
ASAN_BUILD_ENV := CXX=$(ASAN_CXX)
ASAN_RUN_ENV = $(ASAN_ENV)

# $(1) venv directory, $(2) prefix of the variables above.
define venv_rules
$(1)/bin/python: | sysdeps
	@printf '\n=== creating $(1) (%s) ===\n' '$$($(2)_LABEL)'
	@py="$$$$($$($(2)_FIND))"; \
	if [ -z "$$$$py" ]; then \
	  $$(call fail_loudly,'$$($(2)_LABEL) is required for $(1) but was not found (on Debian as root: apt-get install $(APT_PACKAGES))'); \
	fi; \
	echo "using $$$$py: $$$$("$$$$py" -c 'import sys; print(sys.version.replace(chr(10), " "))')"; \
	rm -rf $(1); \
	"$$$$py" -m venv $(1) || { rm -rf $(1); $$(call fail_loudly,'could not create $(1) with '"$$$$py"); }

$(1)/.deps-$(REQS_HASH): $(1)/bin/python
	@printf '\n=== installing test and build requirements into $(1) ===\n'
	@rm -f $(1)/.deps-*
	@$(1)/bin/python $(PIP_INSTALL) $(foreach r,$(BASE_REQS),'$(r)') $(PIP_FILTER)
	@opt='$$($(2)_OPTIONAL)'; if [ -n "$$$$opt" ]; then \
	  $(1)/bin/python $(PIP_INSTALL) $$$$opt $(PIP_FILTER) \
	  || echo "WARNING: $$$$opt did not install into $(1); tests that need it will skip." >&2; fi
	@touch $$@

$(1)/.built: $(1)/.deps-$(REQS_HASH) $(SOURCES)
	@printf '\n=== building the extension into $(1) ===\n'
	@touch $$@.start   # a source edited during the build stays newer than the stamp
	@env $$($(2)_BUILD_ENV) $(1)/bin/python $(BUILD_INSTALL) $$($(2)_BUILD_SETTINGS) . $(PIP_FILTER)
	@env $$($(2)_RUN_ENV) $(1)/bin/python -c 'import _quellnor; print("built", _quellnor.__file__)'
	@mv $$@.start $$@
endef

$(eval $(call venv_rules,$(VENV_CPYTHON),CPYTHON))
$(eval $(call venv_rules,$(VENV_PYPY),PYPY))
$(eval $(call venv_rules,$(VENV_ASAN),ASAN))

# --- cleaning --------------------------------------------------------------

clean:
	rm -rf build
	rm -f $(VENV_CPYTHON)/.built $(VENV_PYPY)/.built $(VENV_ASAN)/.built

distclean: clean
	rm -rf $(VENV_CPYTHON) $(VENV_PYPY) $(VENV_ASAN)

# The companion package's targets: demo, dist, dist-check, typecheck.
include mk/package.mk

# The native fuzz target and the soak run.
include mk/reliability.mk
