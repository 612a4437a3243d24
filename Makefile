# Thin wrapper over CMake. See README.md.
BUILD       ?= build
ASAN_BUILD  ?= build-asan
FUZZ_BUILD  ?= build-fuzz
TSAN_BUILD  ?= build-tsan
JOBS        ?= 2
PREFIX      ?= /usr/local
# `make fuzz FUZZ_SECONDS=N` runs every fuzz target for N seconds; `make test` runs each for
# FUZZ_SMOKE_SECONDS.
FUZZ_SMOKE_SECONDS ?= 20

.PHONY: all deps configure test unit-test asan-test tsan-test c99-test examples-test man-test \
        workflow-test fuzz fuzz-build fuzz-run bench demo install clean

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

deps:
	@scripts/install-deps

# Everything the CI runs: plain tests, the same tests under ASan/UBSan, the modules from
# four threads under TSan, the C99 consumer of the installed library, the examples and the
# CMake package as a user builds them, the manual pages, the Snakemake workflow, then each
# fuzz target for a bounded time.
test: unit-test asan-test tsan-test c99-test examples-test man-test workflow-test fuzz-run

unit-test: all
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600

asan-test: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DAF_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS) --timeout 900

# The modules from four threads at once under ThreadSanitizer: only that test is built.
tsan-test: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAF_TSAN=ON >/dev/null
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target module_threads_test
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -R '^module_threads_test$$' --timeout 600

c99-test: all
	tests/c99/run.sh $(BUILD)

examples-test: all
	tests/examples/run.sh $(BUILD)

man-test: all
	tests/man/run.sh $(BUILD)

workflow-test: all
	tests/workflow/run.sh $(BUILD)

fuzz: fuzz-build
ifdef FUZZ_SECONDS
fuzz: fuzz-run
endif

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAF_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

fuzz-run: fuzz-build all
	scripts/run-fuzzers "$(FUZZ_BUILD)" "$(or $(FUZZ_SECONDS),$(FUZZ_SMOKE_SECONDS))" \
	  "$(BUILD)/bin"

bench: all
	scripts/run-benches "$(BUILD)"

demo: all
	scripts/demo "$(BUILD)"

install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
