// The jsctl program as a function: parses the command line, finds the port or the pending
// folder (from the options or the scheduler's configuration file), runs one control
// conversation or writes one spec file, prints the result and returns the exit code.
// main only hands it the arguments and the standard streams; tests call it directly.
// One object runs one command line at a time. While reading a configuration file it holds the
// framework's configuration store and loader on the process bus; nothing stays behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "JobFolders.h"
#include "JsctlOptions.h"

namespace Zelcor {

class Jsctl {
 public:
  static constexpr int kExitDone = 0;
  static constexpr int kExitFailed = 1;
  static constexpr int kExitUsage = 2;

  static constexpr const char* kPortPath = "jobscheduler.port";
  static constexpr const char* kPendingPath = "jobscheduler.jobdir.pending-dir";
  static constexpr const char* kKeyFilePath = "jobscheduler.control-key-file";
  static constexpr const char* kFinishedPath = "jobscheduler.jobdir.finished-dir";
  static constexpr const char* kQueuedPath = "jobscheduler.jobdir.queued-dir";
  static constexpr const char* kRunningPath = "jobscheduler.jobdir.running-dir";

  Jsctl(std::ostream& out, std::ostream& err);

  // arguments: the command line without the program name.
  int run(const std::vector<std::string>& arguments);

  // How long the scheduler may stay silent during a conversation (see ControlClient).
  void setSilenceLimit(std::chrono::milliseconds limit) { silenceLimit = limit; }

  // The path the scheduler can run: a name with '%' as given (the scheduler resolves it); one
  // with '/' made absolute from the current folder; a bare name looked up on PATH. False, with
  // error set, when there is no such executable file.
  static bool resolveExecutable(const std::string& given, std::string& resolved,
                                std::string& error);

 private:
  int usageError(const std::string& error);
  int control(const JsctlOptions& options);
  int submit(const JsctlOptions& options);
  int wait(const JsctlOptions& options);
  // The job folders of options' configuration: kExitDone, or the usage error's code (printed).
  int readJobFolders(const JsctlOptions& options, JobFolders& folders);
  // The job name names; nothing, with the reason printed, when there is none.
  std::optional<FolderJob> findJob(const JobFolders& folders, const std::string& name);
  int show(const JsctlOptions& options);
  int list(const JsctlOptions& options);
  int log(const JsctlOptions& options);
  // Copies path from offset on to out, in pieces; the new offset, or nothing (message given)
  // when the file cannot be read.
  std::optional<std::uint64_t> copyOutput(const std::string& path, std::uint64_t offset);
  // Waits for the job stem (created: its "created" value; empty: any) in finished and returns
  // its exit code, or kExitFailed with a message when the wait gives up.
  int awaitJob(const std::string& finished, const std::string& stem, const std::string& created,
               std::optional<std::chrono::milliseconds> timeout);
  // The finished folder: --finished, or the configuration's; empty with error set.
  std::string finishedFolder(const JsctlOptions& options, std::string& error);
  // Fills port and/or pending from the configuration file; false with error set.
  // keyFile, when given, receives jobscheduler.control-key-file (empty when missing).
  bool readConfiguration(const std::string& file, std::optional<int>* port, std::string* pending,
                         std::string& error, std::string* keyFile = nullptr,
                         std::string* finished = nullptr, JobFolders* folders = nullptr);

  std::ostream& out;
  std::ostream& err;
  std::optional<std::chrono::milliseconds> silenceLimit;
};

}  // namespace Zelcor
