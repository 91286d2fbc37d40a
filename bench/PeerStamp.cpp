// The job that bench/peers runs to measure start and end latency: takes CLOCK_REALTIME as the
// first thing main does, holds for the given milliseconds (long enough for a peer's waiting
// client to be in place before the job ends), takes the time again just before it exits and
// writes "<start-ns> <end-ns>" to the file named by its first argument.
// Usage: PeerStamp FILE [HOLD_MS]
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static long long nowNs() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

int main(int argc, char** argv) {
  const long long started = nowNs();
  if (argc < 2) {
    std::fprintf(stderr, "usage: PeerStamp FILE [HOLD_MS]\n");
    return 2;
  }
  const long holdMs = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
  if (holdMs > 0) {
    timespec hold{holdMs / 1000, (holdMs % 1000) * 1000000L};
    while (nanosleep(&hold, &hold) != 0) {
    }
  }
  const int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  char line[64];
  // The file is opened before the end is taken, so that only the write follows it.
  const long long ended = nowNs();
  const int n = std::snprintf(line, sizeof line, "%lld %lld\n", started, ended);
  const bool ok = write(fd, line, static_cast<size_t>(n)) == n;
  return close(fd) == 0 && ok ? 0 : 1;
}
