// Tells bench/peers when spec files reach a folder: watches it with inotify and prints
// "<CLOCK_REALTIME ns> <name>" for each *.spec name created in or renamed into it, the time
// taken as the event is read (microseconds after the kernel queued it, on an idle machine).
// Prints "ready" once the watch is in place, exits 0 after COUNT distinct names, 1 after
// TIMEOUT_S seconds without reaching it, 3 if the kernel's event queue overflowed (names were
// lost, so the count could never be trusted). It sleeps in poll, so it costs no CPU while waiting.
// Usage: PeerWatch DIR COUNT TIMEOUT_S
#include <poll.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_set>

static long long nowNs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: PeerWatch DIR COUNT TIMEOUT_S\n");
    return 2;
  }
  const size_t count = std::strtoul(argv[2], nullptr, 10);
  const long long deadline = nowNs(CLOCK_MONOTONIC) + std::atoll(argv[3]) * 1000000000LL;
  const int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0 || inotify_add_watch(fd, argv[1], IN_CREATE | IN_MOVED_TO) < 0) {
    std::perror("PeerWatch");
    return 2;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::unordered_set<std::string> seen;
  alignas(inotify_event) char buffer[64 * 1024];
  while (seen.size() < count) {
    const long long left = deadline - nowNs(CLOCK_MONOTONIC);
    if (left <= 0) return 1;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left / 1000000 + 1)) <= 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    const long long at = nowNs(CLOCK_REALTIME);
    for (ssize_t off = 0; off < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + off);
      off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if (e->mask & IN_Q_OVERFLOW) {
        std::fprintf(stderr, "PeerWatch: the inotify event queue overflowed\n");
        return 3;
      }
      if (e->len == 0) continue;
      const std::string name(e->name);
      if (name.size() < 5 || name.compare(name.size() - 5, 5, ".spec") != 0) continue;
      if (seen.insert(name).second) std::printf("%lld %s\n", at, name.c_str());
    }
    std::fflush(stdout);
  }
  return 0;
}
