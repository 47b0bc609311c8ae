# Shortcuts for a newcomer. The build itself is plain CMake:
#   make demo        build, generate the small sample run, migrate it, show the store
#   make test        build (RelWithDebInfo) and run every test
#   make test SANITIZE=1   the same under AddressSanitizer + UndefinedBehaviorSanitizer
#   make bench       run the benchmarks and print the table of ratios

SANITIZE ?= 0
ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-asan
CMAKE_FLAGS += -DVZU_SANITIZE=ON
else
BUILD_DIR ?= build
endif
JOBS ?= 2

.PHONY: all build test demo bench clean

all: build

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(JOBS)

demo: build
	tools/make_sample_run/demo.sh $(BUILD_DIR)

bench:
	bench/run_benchmarks.sh

clean:
	rm -rf build build-asan build-bench

# Fuzzing: builds the libFuzzer harnesses of fuzz/ with clang in build-fuzz
# and runs each for FUZZ_SECONDS; a finding (saved in build-fuzz/findings/)
# fails the target.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	fuzz/run_fuzz.sh --seconds $(FUZZ_SECONDS)
