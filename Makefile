# Front door for people who have make (scripts/test and scripts/demo also work on a machine
# without it): `make test` configures, builds and runs every test; `make test-sanitize` does the
# same under AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/; `make demo`
# builds the two programs and runs the scheduler on a few sample jobs in a temporary folder.
# `make fuzz` builds the fuzz targets with clang and libFuzzer in build-fuzz/ and runs each for
# FUZZ_SECONDS on a copy of its corpus (fuzz/corpus/); it is not part of `make test`, which runs
# the targets over their corpora only. `make bench` builds the micro benchmarks of bench/ into the
# same build, runs each, then runs bench/peers, which times the scheduler beside task-spooler and
# nq (installing them from Debian); it is part of neither `make test` nor CI.
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
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
# Far above any real configuration, spec or registry file; the few longer seeds (a record across
# a reader's block, a file past a size bound) keep their full length in the regression run.
FUZZ_MAX_LEN ?= 4096
FUZZ_TARGETS ?= ConfigFileFuzz RegistryFileFuzz SpecFileFuzz CommandLineFuzz ControlPortFuzz
BENCHES ?= LoggingBench JobQueueBench QueueControllerBench
# Options for bench/peers, e.g. PEERS_ARGS=--quick for a short smoke run.
PEERS_ARGS ?=
# The tests whose code runs on more than one thread: the framework's threads, locks, bus,
# loggers and sockets, and the scheduler's listener, controller and job processes.
TSAN_TESTS ?= ThreadTest ThreadLockTest ThreadRunnerTest ThreadsPosixTest ImsTest LoggerTest \
  FileLoggerTest ConfAgentTest TcpTest TcpHostileTest TcpTimeoutTest ChildProcessTest \
  CorePoolTest QueueControllerTest RecoveryTest RecoveryRepeatedCrashTest StatusListingTest \
  JsListenerTest JsListenerHostileTest ControlPortFuzz

.PHONY: all deps configure build test test-sanitize test-tsan fuzz bench demo clean

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

# The threaded tests under ThreadSanitizer (RelWithDebInfo, warnings as errors). Tests of
# executables it does not build are left out: gtest cases show as *_NOT_BUILT, whole-program
# tests (the single-threaded parsers' fuzz corpora, the end-to-end clock-passes runs) by name.
TSAN_SKIP ?= _NOT_BUILT$$|\.clock-passes$$|^(ConfigFile|RegistryFile|SpecFile|CommandLine)Fuzz$$
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELCOR_WERROR=ON \
	  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target jobscheduler-run $(TSAN_TESTS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) -j $(JOBS) --output-on-failure \
	  -E '$(TSAN_SKIP)'

# Each target searches for FUZZ_SECONDS, one after the other, in one process (the other core
# stays free). What they find (crash-*, timeout-*, leak-*, oom-*) and the grown corpora stay in
# $(FUZZ_BUILD); an input worth keeping is minimised and added to fuzz/corpus/ by hand.
fuzz:
	@scripts/install-deps --fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DZELCOR_FUZZ=ON -DZELCOR_BUILD_TESTS=OFF -DZELCOR_WERROR=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)
	@set -e; for target in $(FUZZ_TARGETS); do \
	  rm -rf $(FUZZ_BUILD)/corpus/$$target $(FUZZ_BUILD)/findings/$$target; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$target $(FUZZ_BUILD)/findings/$$target; \
	  cp fuzz/corpus/$$target/* $(FUZZ_BUILD)/corpus/$$target/; \
	  echo "== $$target for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	    -rss_limit_mb=2048 -max_len=$(FUZZ_MAX_LEN) -print_final_stats=1 \
	    -artifact_prefix=$(CURDIR)/$(FUZZ_BUILD)/findings/$$target/ \
	    $(FUZZ_BUILD)/corpus/$$target; \
	done

# The benchmarks run one after the other, so that each has the machine to itself as far as this
# target goes; figures taken while other work runs are only good for a smoke test.
bench:
	@scripts/install-deps --bench
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DZELCOR_WERROR=ON -DZELCOR_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	@set -e; for bench in $(BENCHES); do echo "== $$bench"; $(BUILD)/bench/$$bench; done
	@echo "== bench/peers $(PEERS_ARGS)"
	@BUILD=$(BUILD) bench/peers $(PEERS_ARGS)

demo: configure
	@BUILD=$(BUILD) JOBS=$(JOBS) scripts/demo

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
