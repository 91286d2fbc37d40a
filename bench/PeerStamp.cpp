// The job that bench/peers runs to measure start and end latency: reads the system clock
// (CLOCK_REALTIME) as the first thing main does, holds for the given milliseconds (long enough
// for a peer's waiting client to be in place before the job ends), reads it again just before
// it exits and writes "<start-ns> <end-ns>" to the file named by its first argument.
// Usage: PeerStamp FILE [HOLD_MS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

static long long nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int main(int argc, char** argv) {
  const long long started = nowNs();
  if (argc < 2) {
    std::fprintf(stderr, "usage: PeerStamp FILE [HOLD_MS]\n");
    return 2;
  }
  const long holdMs = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
  if (holdMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  std::FILE* file = std::fopen(argv[1], "we");
  if (file == nullptr) return 1;
  // The file is opened before the end is read, so that only the write and close follow it.
  const long long ended = nowNs();
  const bool ok = std::fprintf(file, "%lld %lld\n", started, ended) > 0;
  return std::fclose(file) == 0 && ok ? 0 : 1;
}
