#include "Supervisor.h"

#include <cerrno>
#include <chrono>
#include <iostream>
#include <optional>
#include <string_view>
#include <thread>

#include "RunRecord.h"
#include "SlurmRun.h"
#include "platform/Accounts.h"
#include "platform/Process.h"
#include "platform/Supervise.h"
#include "platform/Threads.h"
#include "time/DateTime.h"

namespace Zelcor {

namespace platform = ZelcorCorelib::platform;

namespace {

constexpr int kExitBadCommandLine = 2;
constexpr int kExitRefused = 3;
constexpr auto kOutcomeRetryDelay = std::chrono::seconds(1);
// Fifteen digits of milliseconds: longer than any job.
constexpr std::uint64_t kMaxMilliseconds = 999'999'999'999'999ull;

// The number after prefix in argument; false for another argument or a bad number.
bool parseNumber(std::string_view argument, std::string_view prefix, std::uint64_t limit,
                 std::uint64_t& number) {
  if (argument.substr(0, prefix.size()) != prefix) return false;
  const std::string_view digits = argument.substr(prefix.size());
  if (digits.empty() || digits.size() > 15) return false;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > limit) return false;
  number = value;
  return true;
}

bool parseDescriptor(std::string_view argument, std::string_view prefix, int& descriptor) {
  std::uint64_t value = 0;
  if (!parseNumber(argument, prefix, 1u << 20, value) || value <= 2) return false;
  descriptor = static_cast<int>(value);
  return true;
}

std::int64_t now() { return ZelcorCorelib::DateTime::now().toUnixSeconds(); }

// The exec failures a shell reports as 127 (not found) and 126 (found, not executable).
std::int32_t shellStatusOf(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG ? 127 : 126;
}

// A scheduler that has gone away does not stop the supervisor.
void report(int descriptor, const char* word, std::int64_t value, std::int64_t second = -1) {
  std::string line = word;
  line += ' ';
  line += std::to_string(value);
  if (second >= 0) {
    line += ' ';
    line += std::to_string(second);
  }
  line += '\n';
  platform::writeText(descriptor, line);
}

}  // namespace

int recordOutcome(RunRecord& record, int recordFd, int reportFd) {
  record.endedAt = now();
  // A full file system must not lose the outcome: it waits here, the lock held, until there
  // is room (the scheduler logs the status meanwhile). A retry starts on a new line, past
  // whatever part the failed write left.
  std::string text = record.outcomeText();
  bool reported = false;
  for (;;) {
    const int error = platform::appendDurably(recordFd, text);
    if (error == 0) return 0;
    if (!reported) {
      report(reportFd, "unwritten", error, record.exitStatus < 0 ? 0 : record.exitStatus);
      reported = true;
    }
    // Only a descriptor that is no writable file is hopeless; a full or read-only file system
    // may be mended, and the lock keeps the job counted as running meanwhile.
    if (error == EBADF || error == EINVAL) return 1;
    text.assign(1, '\n');
    text += record.outcomeText();
    std::this_thread::sleep_for(kOutcomeRetryDelay);
  }
}

int runSupervisor(const std::vector<std::string>& arguments) {
  int recordFd = -1;
  int reportFd = -1;
  std::optional<std::uint32_t> user;
  platform::SupervisedLimits limits;
  platform::SupervisedOutput output;
  constexpr std::string_view kOutput = "--output=";
  // A job for a Slurm cluster: --slurm, then its settings.
  bool slurm = false;
  SlurmLaunch cluster;
  const auto textOf = [](std::string_view argument, std::string_view prefix, std::string& value) {
    if (argument.substr(0, prefix.size()) != prefix) return false;
    value = argument.substr(prefix.size());
    return true;
  };
  std::string option;
  std::size_t at = 0;
  for (; at < arguments.size() && arguments[at] != "--"; ++at) {
    std::uint64_t number = 0;
    const std::string_view argument = arguments[at];
    if (argument.substr(0, kOutput.size()) == kOutput && argument.size() > kOutput.size() &&
        argument[kOutput.size()] == '/') {
      output.path = argument.substr(kOutput.size());
    } else if (argument == "--output-own-folder") {
      output.ownFolder = true;
    } else if (argument == "--slurm") {
      slurm = true;
    } else if (argument == "--slurm-fresh-name") {
      cluster.freshName = true;
    } else if (textOf(argument, "--slurm-conf=", cluster.conf) ||
               textOf(argument, "--slurm-partition=", cluster.partition) ||
               textOf(argument, "--slurm-name=", cluster.name)) {
    } else if (textOf(argument, "--slurm-option=", option)) {
      cluster.options.push_back(option);
    } else if (parseNumber(arguments[at], "--slurm-nice=", 10'000, number)) {
      cluster.nice = static_cast<std::int32_t>(number);
    } else if (parseNumber(arguments[at], "--user=", 0xfffffffeu, number)) {
      user = static_cast<std::uint32_t>(number);
    } else if (parseNumber(arguments[at], "--time-limit-ms=", kMaxMilliseconds, number)) {
      limits.runMilliseconds = static_cast<std::int64_t>(number);
    } else if (parseNumber(arguments[at], "--kill-grace-ms=", kMaxMilliseconds, number)) {
      limits.graceMilliseconds = static_cast<std::int64_t>(number);
    } else if (!parseDescriptor(arguments[at], "--record-fd=", recordFd) &&
               !parseDescriptor(arguments[at], "--report-fd=", reportFd)) {
      break;
    }
  }
  if (recordFd < 0 || reportFd < 0 || at + 1 >= arguments.size() || arguments[at] != "--") {
    std::cerr
        << "usage: jobscheduler-run --record-fd=N --report-fd=M [--user=UID] "
           "[--time-limit-ms=MS] [--kill-grace-ms=MS] [--output=/PATH [--output-own-folder]] -- "
           "PROGRAM [ARGUMENT...]\n"
           "       jobscheduler-run ... --slurm --slurm-name=NAME [--slurm-conf=FILE] "
           "[--slurm-partition=P] [--slurm-option=O]... [--slurm-nice=N] "
           "[--slurm-fresh-name] -- PROGRAM [ARGUMENT...]\n";
    return kExitBadCommandLine;
  }
  // Neither may reach the job: the lock would outlive this supervisor in it.
  platform::keepFromChildren(recordFd);
  platform::keepFromChildren(reportFd);
  const std::string program = arguments[at + 1];
  const std::vector<std::string> programArguments(arguments.begin() + static_cast<long>(at) + 2,
                                                  arguments.end());

  RunRecord record;
  record.supervisorPid = static_cast<std::uint32_t>(platform::currentProcessId());
  if (auto ticks = platform::processStartTicks(platform::currentProcessId())) {
    record.supervisorStart = *ticks;
  }
  // The account is looked up here, at the last moment: one that has gone since the file was
  // taken in runs nothing, rather than anything as root.
  std::optional<platform::Account> account;
  if (user) account = platform::accountOf(*user);
  if (slurm) {
    // Nothing was submitted: the run ends here as not started, for this reason.
    const auto refuse = [&](std::string why, int error) {
      record.exitStatus = 126;
      record.endReason = RunRecord::kReasonNotStarted;
      record.error = std::move(why);
      const int code = recordOutcome(record, recordFd, reportFd);
      report(reportFd, "not-started", error);
      return code;
    };
    if (cluster.name.empty()) return refuse("no Slurm job name was given", EINVAL);
    if (user && !account) return refuse("the owner has no account", ENOENT);
    // The cluster opens the output as the owner: their folder must be there first.
    if (output.ownFolder && account && !output.path.empty()) {
      if (const int error = platform::prepareOwnFolder(output.path, *account); error != 0) {
        return refuse(
            "its output \"" + output.path + "\" cannot be opened: " + platform::errorText(error),
            error);
      }
    }
    cluster.output = output.path;
    cluster.timeLimitMilliseconds = limits.runMilliseconds;
    return superviseSlurmJob(cluster, program, programArguments, account ? &*account : nullptr,
                             record, recordFd, reportFd);
  }
  int launchError = 0;
  platform::SupervisedEnd end;
  end.kind = platform::SupervisedEnd::Kind::notStarted;
  end.error = ENOENT;
  if (!user || account) {
    end = platform::superviseProgram(
        program, programArguments,
        [&](const platform::SupervisedLaunch& launch) {
          record.jobPid = static_cast<std::uint32_t>(launch.pid);
          record.jobStart = launch.startTicks;
          record.launchedAt = now();
          launchError = platform::appendDurably(recordFd, record.launchText());
          return launchError == 0;
        },
        [&](const platform::SupervisedLaunch& launch) { report(reportFd, "launched", launch.pid); },
        account ? &*account : nullptr, limits, output);
  }

  switch (end.kind) {
    case platform::SupervisedEnd::Kind::refused:
    case platform::SupervisedEnd::Kind::failed:
      report(reportFd, "refused",
             launchError != 0 ? launchError
             : end.error != 0 ? end.error
                              : EINTR);
      return kExitRefused;
    case platform::SupervisedEnd::Kind::notStarted:
      record.endReason = RunRecord::kReasonNotStarted;
      if (user && !account) {
        record.exitStatus = 126;
        record.error = "the owner (uid ";
        record.error += std::to_string(*user);
        record.error += ") has no account";
      } else if (end.failedStep == platform::SupervisedEnd::Step::output) {
        record.exitStatus = 126;
        record.error = "its output \"";
        record.error += output.path;
        record.error += "\" cannot be opened: ";
        record.error += platform::errorText(end.error);
      } else {
        record.exitStatus = shellStatusOf(end.error);
        record.error = platform::errorText(end.error);
      }
      break;
    case platform::SupervisedEnd::Kind::ended:
      record.exitStatus = end.exitCode;
      // Stopped for a shutdown only when the stop is what ended it: a program that ignored
      // the request and later finished by itself has its own, final, end.
      record.endReason = end.cancelled  ? RunRecord::kReasonCancelled
                         : end.timedOut ? RunRecord::kReasonTimeLimit
                         : end.stopSignal != 0 && end.exitCode == 128 + end.stopSignal
                             ? RunRecord::kReasonShutdown
                         : end.signaled ? RunRecord::kReasonSignal
                                        : RunRecord::kReasonExit;
      break;
  }
  if (recordOutcome(record, recordFd, reportFd) != 0) return 1;
  if (end.kind == platform::SupervisedEnd::Kind::notStarted) {
    report(reportFd, "not-started", end.error);
  }
  return 0;
}

}  // namespace Zelcor
