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
TSAN_BUILD ?= build-tsan
# The tests whose code runs on more than one thread: the framework's threads, locks, bus,
# loggers and sockets, and the scheduler's listener, controller and job processes.
TSAN_TESTS ?= ThreadTest ThreadLockTest ThreadRunnerTest ThreadsPosixTest ImsTest LoggerTest \
  FileLoggerTest ConfAgentTest TcpTest TcpHostileTest TcpTimeoutTest ChildProcessTest \
  CorePoolTest QueueControllerTest RecoveryTest RecoveryRepeatedCrashTest StatusListingTest \
  JsListenerTest JsListenerHostileTest

.PHONY: all deps configure build test test-sanitize test-tsan demo clean

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

# The threaded tests under ThreadSanitizer (RelWithDebInfo, warnings as errors).
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELCOR_WERROR=ON \
	  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target jobscheduler-run $(TSAN_TESTS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(TSAN_BUILD) -j $(JOBS) --output-on-failure \
	  -E '_NOT_BUILT$$'

demo: configure
	@BUILD=$(BUILD) JOBS=$(JOBS) scripts/demo

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(TSAN_BUILD)
