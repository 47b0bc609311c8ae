# Shortcuts for a newcomer. The build itself is plain CMake:
#   make demo        build, generate the small sample run, migrate it, show the store
#   make test        build (RelWithDebInfo) and run every test, the layout check included
#   make test SANITIZE=1   the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   make bench       run the benchmarks and print the table of ratios
#   make format      lay out every C and C++ source as .clang-format says
#   make format-check   only name the sources that differ from it
#   make fuzz        run the libFuzzer harnesses for FUZZ_SECONDS each (default 60)
# demo, test and bench first install the Debian packages they need that are
# missing (scripts/ensure_deps.sh): the build group for demo, build and test
# groups for test and bench. With everything there that costs one dpkg-query.

SANITIZE ?= 0
ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-asan
CMAKE_FLAGS += -DVZU_SANITIZE=ON -DVZU_BUILD_BENCH=OFF
else
BUILD_DIR ?= build
endif
JOBS ?= 2
# A build on the way to the tests installs their packages too, in one go.
DEPS := $(if $(filter test bench,$(MAKECMDGOALS)),test,build)

.PHONY: all configure build test demo bench format format-check clean

all: build

# What the demo runs: the generator, the tool with its store, the command.
DEMO_TARGETS := make_sample_run vira_zedazad_uvoz_izu orvtsdb orvtsdb_cli

configure:
	scripts/ensure_deps.sh $(DEPS)
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

# Only what the demo runs is built; `make test` builds the rest.
demo: configure
	cmake --build $(BUILD_DIR) -j$(JOBS) --target $(DEMO_TARGETS)
	tools/make_sample_run/demo.sh $(BUILD_DIR)

bench:
	scripts/ensure_deps.sh test
	bench/run_benchmarks.sh

format:
	scripts/format.sh

format-check:
	scripts/format.sh --check

clean:
	rm -rf build build-asan build-bench build-fuzz build-fuzz-cov

# Fuzzing: builds the libFuzzer harnesses of fuzz/ with clang in build-fuzz
# and runs each for FUZZ_SECONDS; a finding (saved in build-fuzz/findings/)
# fails the target.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	scripts/ensure_deps.sh test
	fuzz/run_fuzz.sh --seconds $(FUZZ_SECONDS)
