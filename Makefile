# Front door for people who have make (scripts/test and scripts/demo also work on a machine
# without it): `make test` configures, builds and runs every test; `make test-sanitize` does the
# same under AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/; `make demo`
# builds the two programs and runs the scheduler on a few sample jobs in a temporary folder.
#
# Our own builds are Release (the optimiser finds warnings that lower levels miss) with warnings
# as errors; a plain `cmake` build of the project has neither.
JOBS ?= $(shell nproc)
# The suite mostly waits (for scheduler passes, protocol deadlines, child processes) rather than
# computes, so two tests run per core; the sanitizer run, which computes, keeps one per core.
TEST_JOBS ?= $(shell echo $$((2 * $(JOBS))))
BUILD ?= build
BUILD_TYPE ?= Release
SANITIZE_BUILD ?= build-sanitize

.PHONY: all deps configure build test test-sanitize demo clean

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DZELCOR_WERROR=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) -j $(TEST_JOBS) --output-on-failure

test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZELCOR_SANITIZE=ON -DZELCOR_WERROR=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SANITIZE_BUILD) -j $(JOBS) --output-on-failure

demo: configure
	@BUILD=$(BUILD) JOBS=$(JOBS) scripts/demo

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
