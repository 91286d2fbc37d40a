// Writes a job specification file into the scheduler's pending folder the way the scheduler
// needs it: never half written, never under a name it already picks up, never over another
// job's file. The file is first written under a hidden temporary name ending in ".tmp"
// (written whole, flushed and synced), then renamed to a fresh "*.spec" name in one step that
// fails rather than replace an existing file; the folder is synced after the rename.
// The argument list is turned into the one "arguments" string so that the scheduler, which
// splits it at blanks, honours double quotes and hands each entry to the program with its
// quotes removed, gives the program exactly these arguments (encodeArguments).
// Called by jsctl submit. Stateless; safe from any thread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace Zelcor {

struct SpecRequest {
  std::string executable;
  std::vector<std::string> arguments;
  std::string queue;     // empty: no "queue" key, the scheduler's default queue
  std::string priority;  // empty: no "priority-level" key
  std::string name;      // empty: no "name" key; also the start of the file name
};

struct SpecResult {
  bool ok = false;
  std::string path;   // the spec file, when ok
  std::string error;  // what failed, otherwise
};

class SpecWriter {
 public:
  static constexpr int kNameAttempts = 8;

  // The "arguments" value for an argument list: one token per argument, joined by blanks.
  // Requires: no argument holds a line feed (checkRequest refuses those).
  static std::string encodeArguments(const std::vector<std::string>& arguments);
  static std::string encodeArgument(const std::string& argument);

  // UTC with microseconds, "2025-01-31T23:59:58.123456Z": fixed width, so the scheduler's
  // text comparison of "created" orders jobs by time.
  static std::string createdText(std::chrono::system_clock::time_point time);

  // Why the request cannot become a spec file (a value with a line feed, which would end its
  // record; a blank-padded or empty queue name, which matches no queue), or empty.
  static std::string checkRequest(const SpecRequest& request);

  // The file name stem: the name with every byte outside [A-Za-z0-9._-] made '_' (at most 64
  // bytes, "job" when empty), the time and a random part.
  static std::string makeStem(const std::string& name, std::chrono::system_clock::time_point time);

  // Writes the file into pendingDirectory. On failure nothing is left behind.
  static SpecResult write(const std::string& pendingDirectory, const SpecRequest& request,
                          std::chrono::system_clock::time_point now);
};

}  // namespace Zelcor
