# Thin wrapper over CMake. See README.md.
#
# `make` and `make install` need only what the programs and the library need. Each check, the
# benchmarks, the fuzz targets and the demo first install the packages of their own sets
# (scripts/install-deps SET...) that are missing, and those that use the tests have them
# built (AF_TESTS, which then stays on in that build directory). NO_DEPS=1 installs nothing:
# the dependencies are found where they are (for CMake, CMAKE_PREFIX_PATH in the environment).
BUILD       ?= build
ASAN_BUILD  ?= build-asan
FUZZ_BUILD  ?= build-fuzz
TSAN_BUILD  ?= build-tsan
JOBS        ?= 2
PREFIX      ?= /usr/local
# `make fuzz FUZZ_SECONDS=N` runs every fuzz target for N seconds; `make test` runs each for
# FUZZ_SMOKE_SECONDS.
FUZZ_SMOKE_SECONDS ?= 20

.PHONY: all test unit-test asan-test tsan-test c99-test examples-test man-test \
        workflow-test fuzz fuzz-build fuzz-run bench demo install clean help \
        deps-tests deps-examples deps-man deps-workflow deps-fuzz deps-bench deps-remote

# `cmake --build` runs a make of its own, with its own -j: handing it this make's flags would
# bring a jobserver it cannot share ("-jN forced in submake"), and as a sub-make it would print
# "Entering directory" lines (hence --no-print-directory). Every build is configured without
# "Built target" lines, so that one with nothing to do prints nothing but its command line.
unexport MAKEFLAGS MFLAGS
CONFIGURE = @scripts/configure
DEPS      = $(if $(NO_DEPS),@true,@scripts/install-deps)
COMMON    = -DCMAKE_TARGET_MESSAGES=OFF
# The checks build with warnings as errors; `make` and `make install` (a user's build) do not,
# so that a compiler's false warning never stops one.
CHECK     = -DAF_WERROR=ON
NO_DIRS   = -- --no-print-directory

# The goals that run the tests or their fixture generator (the fuzz seeds' files): when one
# is asked for, the one build of $(BUILD) in this run includes them, so that no two builds of
# one directory ever run at once (make -j2 test). That build, and the one the other checks run
# on, turn warnings into errors.
TEST_GOALS = test unit-test workflow-test fuzz fuzz-run bench
ifneq ($(filter $(TEST_GOALS),$(MAKECMDGOALS)),)
BUILD_SETS = tests
BUILD_OPTS = -DAF_TESTS=ON
endif
# The unit tests and benchmarks start web and S3 test servers (tests/servers), the workflow check a web
# server: with the packages installed here, a test that finds no server fails instead of
# skipping (AF_SERVERS_REQUIRED).
ifneq ($(filter test unit-test workflow-test bench,$(MAKECMDGOALS)),)
BUILD_SETS += remote
endif
SERVERS_REQUIRED = $(if $(NO_DEPS),,AF_SERVERS_REQUIRED=1)
ifneq ($(filter $(TEST_GOALS) c99-test examples-test man-test,$(MAKECMDGOALS)),)
BUILD_OPTS += $(CHECK)
endif

all: ## build the programs into build/bin/ and the library into build/lib/ (the default)
	$(DEPS) build $(BUILD_SETS)
	$(CONFIGURE) $(BUILD) $(COMMON) $(BUILD_OPTS)
	cmake --build $(BUILD) -j$(JOBS) $(NO_DIRS)

deps-tests deps-examples deps-man deps-workflow deps-fuzz deps-bench deps-remote: ## install the packages of one set: tests, examples, man, workflow, fuzz, bench, remote
	$(DEPS) build $(@:deps-%=%)

# Everything the CI runs: plain tests, the same tests under ASan/UBSan, the modules from
# four threads and varforge cat's pool under TSan, the C99 consumer of the installed library, the examples and the
# CMake package as a user builds them, the manual pages, the Snakemake workflow, then each
# fuzz target for a bounded time.
test: unit-test asan-test tsan-test c99-test examples-test man-test workflow-test fuzz-run ## every check, unit-test to fuzz-run, as the CI runs them (minutes)

unit-test: all ## the quick loop: build with the tests, run them through CTest (about a minute)
	cd $(BUILD) && $(SERVERS_REQUIRED) ctest --output-on-failure -j$(JOBS) --timeout 600

asan-test: deps-tests deps-remote ## the same tests built with AddressSanitizer and UBSan, in build-asan/
	$(CONFIGURE) $(ASAN_BUILD) $(COMMON) $(CHECK) -DCMAKE_BUILD_TYPE=Debug -DAF_TESTS=ON \
	  -DAF_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS) $(NO_DIRS)
	cd $(ASAN_BUILD) && $(SERVERS_REQUIRED) ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS) --timeout 900

# Under ThreadSanitizer, only the thread tests are built: the modules from four threads at
# once, varforge cat's worker pool (the test runs the varforge program of that build) and the
# object writer's senders.
tsan-test: deps-tests ## the modules', varforge cat's and quickcheck -j's threads under ThreadSanitizer, in build-tsan/
	$(CONFIGURE) $(TSAN_BUILD) $(COMMON) $(CHECK) -DAF_TESTS=ON -DAF_TSAN=ON
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target module_threads_test join_threads_test \
	  join_upload_test alnforge bam_sanity_test $(NO_DIRS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -R '^((module|join)_threads|join_upload|bam_sanity)_test$$' --timeout 600

c99-test: all ## a C99 program against the installed headers, through pkg-config, both libraries
	tests/c99/run.sh $(BUILD)

examples-test: all deps-examples ## the examples, the README's transcripts and the CMake package, as a user builds them
	tests/examples/run.sh $(BUILD)

man-test: all deps-man ## the manual pages: no groff warning, every option and command named
	tests/man/run.sh $(BUILD)

workflow-test: all deps-workflow ## the Snakemake workflow on generated samples, and its cluster profile's plan
	$(SERVERS_REQUIRED) tests/workflow/run.sh $(BUILD)

fuzz: fuzz-build ## build the fuzz targets; with FUZZ_SECONDS=N also run each for N seconds
ifdef FUZZ_SECONDS
fuzz: fuzz-run
endif

fuzz-build: deps-fuzz ## build the libFuzzer targets with clang, in build-fuzz/
	@CC=clang CXX=clang++ scripts/configure $(FUZZ_BUILD) $(COMMON) $(CHECK) -DAF_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS) $(NO_DIRS)

# The seed scripts write their inputs with the regular build's fixture generator.
fuzz-run: fuzz-build all ## run each fuzz target from its seed corpus (FUZZ_SECONDS, default 20)
	scripts/run-fuzzers "$(FUZZ_BUILD)" "$(or $(FUZZ_SECONDS),$(FUZZ_SMOKE_SECONDS))" \
	  "$(BUILD)/bin"

bench: all deps-bench ## every benchmark, each figure as a ratio to a baseline run beside it
	scripts/run-benches "$(BUILD)"

# The demo builds only the five programs and af_fixture, which writes its sample files and
# needs no test framework. Asked for beside goals that build all of $(BUILD), it waits for
# that build instead of running a second one in the same folder.
DEMO_TARGETS = alnforge varforge junction_gate fusion_swap mate_tag_strip af_fixture
ifneq ($(filter-out demo,$(MAKECMDGOALS)),)
DEMO_AFTER = all
endif
demo: $(DEMO_AFTER) ## build the programs, write small sample files into build/demo/ and run every program on them
	$(DEPS) build
	$(CONFIGURE) $(BUILD) $(COMMON) $(BUILD_OPTS)
	cmake --build $(BUILD) -j$(JOBS) --target $(DEMO_TARGETS) $(NO_DIRS)
	scripts/demo "$(BUILD)"

install: all ## install into PREFIX (default /usr/local): programs, headers, libraries, man pages
	cmake --install $(BUILD) --prefix $(PREFIX)

clean: ## remove build/, build-asan/, build-tsan/ and build-fuzz/
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)

# One line per target, from the "## " note on its rule line; a rule for several targets (the
# package sets) shows as one, its set named SET.
help: ## this list
	@echo "make [TARGET] [PREFIX=DIR] [JOBS=N] [FUZZ_SECONDS=N] [NO_DEPS=1]; the targets:"
	@awk -F':[^#]*## ' '/^[a-z][-a-z0-9 ]*:[^=]*## / { \
	  n = split($$1, t, " "); name = t[1]; if (n > 1) sub(/-[a-z]+$$/, "-SET", name); \
	  printf "  %-14s %s\n", name, $$2 }' $(firstword $(MAKEFILE_LIST))
