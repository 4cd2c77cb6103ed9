# Reliability targets: the native fuzz target and the soak run. Included at
# the end of the Makefile, whose variables (VENV_CPYTHON, REQS_HASH,
# fail_loudly, banner) and stamps ($(VENV)/.built, $(VENV)/.deps-*) it reuses.
#
#   make fuzz-smoke      replay fuzz/regressions/, then fuzz for FUZZ_SMOKE_SECONDS (120) core-seconds,
#                        shared among the cores (CORES, up to four); for CI
#   make fuzz            replay fuzz/regressions/, then fuzz for FUZZ_SECONDS (1800)
#   make fuzz-build      build the libFuzzer target (clang, ASan + UBSan) into build/fuzz/
#   make fuzz-seeds      regenerate fuzz/seeds/ from indexes the extension builds
#   make soak            one million mixed calls against the benchmark index, RSS sampled
#
# The fuzzer runs on one core, niced: -workers=1 -jobs=1, nice -n 10. Its
# working corpus grows in fuzz/corpus-work/ (not committed); crashes, timeouts
# and out-of-memory inputs land in build/fuzz/artifacts/. To keep a finding,
# copy its input into fuzz/regressions/: every fuzz run replays that
# directory first, and tests/test_fuzz.py should get a matching case.

.PHONY: fuzz fuzz-smoke fuzz-build fuzz-regressions fuzz-seeds soak

FUZZ_BUILD_DIR := build/fuzz
FUZZ_BIN := $(FUZZ_BUILD_DIR)/fuzz_index
FUZZ_CORPUS := fuzz/corpus-work
FUZZ_ARTIFACTS := $(FUZZ_BUILD_DIR)/artifacts
FUZZ_REGRESSIONS := fuzz/regressions
FUZZ_SECONDS ?= 1800
FUZZ_SMOKE_SECONDS ?= 120
FUZZ_SMOKE_JOBS ?= $(CORES)
FUZZ_NICE ?= nice -n 10
FUZZ_FLAGS := -rss_limit_mb=2048 -timeout=10 -print_final_stats=1
FUZZ_ENV := ASAN_OPTIONS=abort_on_error=0:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
SOAK_ARGS ?=

# cmake and ninja come from the CPython venv (BASE_REQS), as for the extension.
fuzz-build: sysdeps $(VENV_CPYTHON)/.deps-$(REQS_HASH)
	$(call banner,'building the fuzz target ($(FUZZ_BIN))')
	@PATH="$(abspath $(VENV_CPYTHON))/bin:$$PATH" CMAKE="$(abspath $(VENV_CPYTHON))/bin/cmake" \
	  bash fuzz/build.sh $(FUZZ_BUILD_DIR) >/dev/null \
	  || { $(call fail_loudly,'the fuzz target did not build (needs clang++ and libclang-rt-14-dev)'); }

# Each saved input runs once; any crash, sanitizer report or failed check
# fails the target.
fuzz-regressions: fuzz-build
	$(call banner,'replaying $(FUZZ_REGRESSIONS)/')
	@shopt -s nullglob; files=($(FUZZ_REGRESSIONS)/*); \
	if [ $${#files[@]} -eq 0 ]; then echo 'no saved inputs'; exit 0; fi; \
	env $(FUZZ_ENV) $(FUZZ_BIN) -rss_limit_mb=2048 -timeout=10 "$${files[@]}" 2>&1 | tail -n 20

# $(1) seconds, $(2) jobs, each a fuzzing process of its own on the shared
# corpus. libFuzzer in -jobs mode writes job J's output to fuzz-J.log in the
# working directory: run in the build directory, show each log's summary,
# and the end of any log that reports a problem.
define run_fuzzer
mkdir -p $(FUZZ_CORPUS) $(FUZZ_ARTIFACTS); \
corpus=$(abspath $(FUZZ_CORPUS)); seeds=$(abspath fuzz/seeds); art=$(abspath $(FUZZ_ARTIFACTS))/; \
rc=0; ( cd $(FUZZ_BUILD_DIR) && rm -f fuzz-*.log && \
  env $(FUZZ_ENV) $(FUZZ_NICE) ./fuzz_index $(FUZZ_FLAGS) -jobs=$(2) -workers=$(2) -max_total_time=$(1) \
    -artifact_prefix="$$art" "$$corpus" "$$seeds" >/dev/null 2>&1 ) || rc=$$?; \
for log in $(FUZZ_BUILD_DIR)/fuzz-*.log; do \
  grep -E '^(#[0-9]+.*(INITED|DONE)|stat::|Done [0-9]+ runs)' "$$log" || true; done; \
if [ $$rc -ne 0 ]; then \
  for log in $(FUZZ_BUILD_DIR)/fuzz-*.log; do \
    grep -qE 'ERROR|SUMMARY|crash-|timeout-|oom-|leak-' "$$log" && tail -n 60 "$$log" >&2; done; \
  $(call fail_loudly,'the fuzzer found a problem: its input is in $(FUZZ_ARTIFACTS)/ (copy it into fuzz/regressions/)'); \
fi
endef

FUZZ_SMOKE_EACH := $(shell echo $$(( $(FUZZ_SMOKE_SECONDS) / $(FUZZ_SMOKE_JOBS) )))

fuzz-smoke: fuzz-regressions
	$(call banner,'fuzzing for $(FUZZ_SMOKE_SECONDS) core-seconds: $(FUZZ_SMOKE_JOBS) jobs of $(FUZZ_SMOKE_EACH) s')
	@$(call run_fuzzer,$(FUZZ_SMOKE_EACH),$(FUZZ_SMOKE_JOBS))

fuzz: fuzz-regressions
	$(call banner,'fuzzing for $(FUZZ_SECONDS) s (one core, niced)')
	@$(call run_fuzzer,$(FUZZ_SECONDS),1)

fuzz-seeds: $(VENV_CPYTHON)/.built
	$(call banner,'regenerating fuzz/seeds/')
	@$(VENV_CPYTHON)/bin/python fuzz/make_seeds.py fuzz/seeds

# A benchmark, not a CI step: several minutes on the full word list.
soak: sysdeps $(VENV_CPYTHON)/.built
	$(call banner,'soak: one million calls on the benchmark index')
	@$(VENV_CPYTHON)/bin/python bench/soak.py --json bench/out/soak.json $(SOAK_ARGS)
