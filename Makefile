# Front door: `make test` configures, builds and runs every test; `make test-sanitize` does the
# same under AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/; `make demo`
# builds the two programs and runs the scheduler on a few sample jobs in a temporary folder.
JOBS ?= $(shell nproc)
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize

.PHONY: all deps build test test-sanitize demo clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZELCOR_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(SANITIZE_BUILD) -j $(JOBS) --output-on-failure

demo: deps
	@BUILD=$(BUILD) JOBS=$(JOBS) scripts/demo

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
