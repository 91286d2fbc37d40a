// Waiting for a job by its spec file: where the scheduler puts a finished job's file (its own
// name, or "<stem>.<n>.spec" when that was taken) and what a finished file says as an exit
// code. Reads the job folders only; clients may read the finished folder.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "files/KeyValueFile.h"

namespace Zelcor {

struct FinishedJob {
  std::string path;
  ZelcorCorelib::KeyValueMap keys;
};

class JobWait {
 public:
  // Exit codes for a job that did not end by itself.
  static constexpr int kExitTimeLimit = 124;
  static constexpr int kExitCancelled = 125;

  // "name" and "name.spec" both give "name".
  static std::string stemOf(const std::string& name);
  // Whether fileName is stem + ".spec" or one the scheduler may have given that job on its
  // way, stem + "." + digits + ".spec".
  static bool isNameOf(const std::string& fileName, const std::string& stem);
  // The finished spec file of the job whose file was stem + ".spec" and whose "created" is
  // created (any, when empty): the first found of the names the scheduler may have given it.
  static std::optional<FinishedJob> findFinished(const std::string& finishedFolder,
                                                 const std::string& stem,
                                                 const std::string& created);
  // Polls findFinished until it finds the job or timeout (none: for ever) has passed.
  static std::optional<FinishedJob> await(const std::string& finishedFolder,
                                          const std::string& stem, const std::string& created,
                                          std::optional<std::chrono::milliseconds> timeout);
  // The code a waiting command exits with: the job's exit status (0 to 255; a signal's is
  // 128 + N, a program that could not be executed 126 or 127), kExitTimeLimit or
  // kExitCancelled for those end reasons; none when the file holds no readable status.
  static std::optional<int> exitCodeOf(const ZelcorCorelib::KeyValueMap& keys);
};

}  // namespace Zelcor
