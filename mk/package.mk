# Targets for the Python package (python/quellnor): the demo, distributions
# and type checks. Included at the end of the Makefile, whose variables
# (VENV_CPYTHON, VENV_PYPY, PIP_INSTALL, PIP_FILTER, REQS_HASH) and stamps
# ($(VENV)/.built, $(VENV)/.deps-*) it reuses.
#
#   make demo         build the sample catalogue's index and run a few queries
#   make dist         sdist + one wheel per interpreter, into dist/
#   make dist-check   make dist, then install each wheel into a fresh venv and try it
#   make typecheck    mypy --strict on the package and on a user program, stubtest on the extension

.PHONY: demo dist dist-check typecheck

DIST_DIR := dist
STUBTEST_ALLOWLIST := mk/stubtest-allowlist.txt
PIP_WHEEL := -m pip wheel --quiet --disable-pip-version-check --no-deps --no-build-isolation --wheel-dir $(DIST_DIR)

demo: sysdeps $(VENV_CPYTHON)/.built
	@$(VENV_CPYTHON)/bin/python -m quellnor demo

# The sdist comes from the build backend itself (no extra tool needed); each
# wheel is built by its own venv's interpreter, reusing the incremental CMake
# build directory under build/.
dist: $(VENV_CPYTHON)/.built $(VENV_PYPY)/.built
	@printf '\n=== building the sdist and the wheels into $(DIST_DIR)/ ===\n'
	@rm -f $(DIST_DIR)/quellnor-*.tar.gz $(DIST_DIR)/quellnor-*.whl
	@mkdir -p $(DIST_DIR)
	@$(VENV_CPYTHON)/bin/python -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' $(DIST_DIR)
	@env $(CPYTHON_BUILD_ENV) $(VENV_CPYTHON)/bin/python $(PIP_WHEEL) $(CPYTHON_BUILD_SETTINGS) . $(PIP_FILTER)
	@env $(PYPY_BUILD_ENV) $(VENV_PYPY)/bin/python $(PIP_WHEEL) $(PYPY_BUILD_SETTINGS) . $(PIP_FILTER)
	@ls -l $(DIST_DIR)

# The CPython wheel's venv also gets the user program type-checked, by the
# mypy of the CPython venv.
dist-check: dist $(VENV_CPYTHON)/.typecheck-deps
	@printf '\n=== installing each wheel into a fresh venv ===\n'
	@MYPY_PYTHON=$(abspath $(VENV_CPYTHON))/bin/python bash scripts/check_wheel.sh $(DIST_DIR)

# mypy only in the CPython venv (it does not run on PyPy).
$(VENV_CPYTHON)/.typecheck-deps: $(VENV_CPYTHON)/.deps-$(REQS_HASH)
	@printf '\n=== installing mypy into $(VENV_CPYTHON) ===\n'
	@$(VENV_CPYTHON)/bin/python $(PIP_INSTALL) mypy $(PIP_FILTER)
	@touch $@

# Everything here reads the stubs as installed: the venv's package is a wheel
# that pip built and installed, with the stub-only packages _quellnor-stubs and
# _quellnor_runtime-stubs beside the extension. The user program is checked
# from an empty directory, so only what is installed can satisfy it.
# stubtest imports _quellnor first, which registers _quellnor_runtime.
typecheck: $(VENV_CPYTHON)/.built $(VENV_CPYTHON)/.typecheck-deps
	@printf '\n=== mypy --strict ===\n'
	@$(VENV_CPYTHON)/bin/python -m mypy --strict python/quellnor scripts/make_sample_catalogue.py
	@printf '\n=== stubtest ===\n'
	@work=$$(mktemp -d); trap 'rm -rf "$$work"' EXIT; \
	py=$(abspath $(VENV_CPYTHON))/bin/python; allow=$(abspath $(STUBTEST_ALLOWLIST)); \
	cd "$$work" && "$$py" -m mypy.stubtest _quellnor _quellnor_runtime --allowlist "$$allow" | tee out.txt; \
	grep -q '^Success' out.txt
	@printf '\n=== mypy --strict on a user program, against the installed package ===\n'
	@bash scripts/check_user_types.sh $(VENV_CPYTHON)/bin/python $(VENV_CPYTHON)/bin/python
