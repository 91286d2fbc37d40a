#include "SlurmRun.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <thread>

#include "Supervisor.h"
#include "platform/Command.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Supervise.h"
#include "time/DateTime.h"

namespace Zelcor {

namespace platform = ZelcorCorelib::platform;

namespace {

// The tools wait about 9 s (sbatch, squeue) or 18 s (scontrol) for a controller that does not
// answer; a tool still running after this is stuck.
constexpr std::chrono::seconds kToolTimeout{40};
constexpr std::int64_t kFirstPollMs = 250;
constexpr std::int64_t kLongestPollMs = 2'000;
constexpr std::int64_t kLongestRetryMs = 10'000;
// Answers in a row that know nothing of the job before it counts as lost.
constexpr int kLostAfter = 30;

std::int64_t now() { return ZelcorCorelib::DateTime::now().toUnixSeconds(); }

// The value of key in a line of "Key=value" words.
std::string wordValue(const std::string& text, const std::string& key) {
  std::size_t at = 0;
  while ((at = text.find(key + "=", at)) != std::string::npos) {
    if (at == 0 || text[at - 1] == ' ' || text[at - 1] == '\n') {
      const std::size_t start = at + key.size() + 1;
      const std::size_t end = text.find_first_of(" \n", start);
      return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    ++at;
  }
  return {};
}

void splitExitCode(const std::string& text, SlurmJobState& state) {
  const std::size_t colon = text.find(':');
  state.exitCode = std::atoi(text.substr(0, colon).c_str());
  state.signal = colon == std::string::npos ? 0 : std::atoi(text.substr(colon + 1).c_str());
}

std::vector<std::string> splitFields(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = line.find(separator, start);
    fields.push_back(
        line.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

// A failure of the tool that waiting may mend: no controller, a timeout, no munge.
bool isPassing(const platform::CommandOutcome& outcome) {
  if (outcome.timedOut) return true;
  const std::string& text = outcome.errors;
  for (const char* sign : {"Unable to contact", "Socket timed out", "Connection refused",
                           "Zero Bytes were transmitted", "Communication connection failure",
                           "Unable to establish", "munge", "try again", "Resource temporarily"}) {
    if (text.find(sign) != std::string::npos) return true;
  }
  return false;
}

std::string firstLine(const std::string& text) {
  const std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "no message" : line;
}

class SlurmClient {
 public:
  // The id of the job named name: nothing when the cluster did not answer; empty when it has
  // none (not queued, running or recorded as finished).
  std::optional<std::string> findByName(const std::string& name, std::string& failure) {
    const platform::CommandOutcome queued = platform::runCommand(
        "squeue", {"-h", "-t", "all", "-n", name, "-o", "%i"}, "", kToolTimeout);
    if (!queued.succeeded()) {
      failure = "squeue: " + (queued.startError != 0 ? platform::errorText(queued.startError)
                                                     : firstLine(queued.errors));
      return std::nullopt;
    }
    const std::string id = queued.output.substr(0, queued.output.find('\n'));
    if (!id.empty()) return id;
    // Dropped by the controller already: its completion record.
    const platform::CommandOutcome done = platform::runCommand(
        "sacct", {"-c", "-n", "-P", "-o", "jobid,jobname,state,exitcode,start"}, "", kToolTimeout);
    if (!done.succeeded()) return std::string();  // no completion records kept: none found
    if (auto state = SlurmTools::parseSacct(done.output, "", name)) return state->id;
    return std::string();
  }

  // The job's state: nothing when the cluster did not answer; a state with an empty id when
  // it knows no such job.
  std::optional<SlurmJobState> query(const std::string& id) {
    const platform::CommandOutcome shown =
        platform::runCommand("scontrol", {"show", "job", "-o", id}, "", kToolTimeout);
    if (shown.succeeded()) {
      if (auto state = SlurmTools::parseScontrol(shown.output)) return state;
    } else if (shown.errors.find("Invalid job id") == std::string::npos || isPassing(shown)) {
      return std::nullopt;
    }
    const platform::CommandOutcome done = platform::runCommand(
        "sacct", {"-c", "-n", "-P", "-j", id, "-o", "jobid,jobname,state,exitcode,start"}, "",
        kToolTimeout);
    if (done.succeeded()) {
      if (auto state = SlurmTools::parseSacct(done.output, id, "")) return state;
    }
    return SlurmJobState{};
  }

  bool cancel(const std::string& id) {
    return platform::runCommand("scancel", {id}, "", kToolTimeout).succeeded();
  }

  // From the configuration file when it names the cluster (no controller asked), else from the
  // controller.
  std::string clusterName(const std::string& conf) {
    std::ifstream file(conf.empty() ? std::string("/etc/slurm/slurm.conf") : conf);
    for (std::string line; std::getline(file, line);) {
      std::string key = line.substr(0, line.find('='));
      std::transform(key.begin(), key.end(), key.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (key == "clustername" && line.size() > key.size() + 1) {
        return line.substr(key.size() + 1,
                           line.find_first_of(" \t#", key.size() + 1) - (key.size() + 1));
      }
    }
    const platform::CommandOutcome shown =
        platform::runCommand("scontrol", {"show", "config"}, "", kToolTimeout);
    for (const std::string& line : splitFields(shown.output, '\n')) {
      if (line.rfind("ClusterName", 0) != 0) continue;
      const std::size_t equals = line.find('=');
      if (equals == std::string::npos) break;
      std::string name = line.substr(equals + 1);
      name.erase(0, name.find_first_not_of(' '));
      return name;
    }
    return {};
  }
};

void report(int descriptor, const std::string& line) {
  platform::writeText(descriptor, line + "\n");
}

}  // namespace

bool SlurmJobState::isFinal() const {
  for (const char* final : {"COMPLETED", "FAILED", "CANCELLED", "TIMEOUT", "NODE_FAIL", "PREEMPTED",
                            "OUT_OF_MEMORY", "BOOT_FAIL", "DEADLINE"}) {
    if (state == final) return true;
  }
  return false;
}

std::optional<SlurmJobState> SlurmTools::parseScontrol(const std::string& text) {
  SlurmJobState state;
  state.id = wordValue(text, "JobId");
  if (state.id.empty()) return std::nullopt;
  state.name = wordValue(text, "JobName");
  state.state = wordValue(text, "JobState");
  splitExitCode(wordValue(text, "ExitCode"), state);
  // A pending job's start time is the controller's guess.
  if (state.state != "PENDING") state.startedAt = parseTime(wordValue(text, "StartTime"));
  return state;
}

std::optional<SlurmJobState> SlurmTools::parseSacct(const std::string& text, const std::string& id,
                                                    const std::string& name) {
  std::optional<SlurmJobState> found;
  for (const std::string& line : splitFields(text, '\n')) {
    const std::vector<std::string> fields = splitFields(line, '|');
    if (fields.size() < 5) continue;
    if (!id.empty() ? fields[0] != id : fields[1] != name) continue;
    SlurmJobState state;
    state.id = fields[0];
    state.name = fields[1];
    // "CANCELLED by 0"
    state.state = fields[2].substr(0, fields[2].find(' '));
    splitExitCode(fields[3], state);
    state.startedAt = parseTime(fields[4]);
    found = state;
  }
  return found;
}

std::int64_t SlurmTools::parseTime(const std::string& text) {
  std::tm parts{};
  if (text.size() != 19 || ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts) == nullptr) {
    return -1;
  }
  parts.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&parts);
  return seconds == static_cast<std::time_t>(-1) ? -1 : static_cast<std::int64_t>(seconds);
}

std::string SlurmTools::batchScript(const std::string& program,
                                    const std::vector<std::string>& arguments) {
  const auto quoted = [](const std::string& word) {
    std::string out = "'";
    for (char c : word) {
      if (c == '\'') {
        out += "'\\''";
      } else {
        out += c;
      }
    }
    out += '\'';
    return out;
  };
  std::string script = "#!/bin/sh\nexec ";
  script += quoted(program);
  for (const std::string& argument : arguments) {
    script += ' ';
    script += quoted(argument);
  }
  script += '\n';
  return script;
}

std::string SlurmTools::timeLimitText(std::int64_t milliseconds) {
  const std::int64_t minutes = std::max<std::int64_t>(1, (milliseconds + 59'999) / 60'000);
  const std::int64_t days = minutes / 1440;
  const std::int64_t hours = minutes % 1440 / 60;
  char text[48];
  std::snprintf(text, sizeof text, "%lld-%02lld:%02lld:00", static_cast<long long>(days),
                static_cast<long long>(hours), static_cast<long long>(minutes % 60));
  return text;
}

std::int32_t SlurmTools::niceFor(std::int32_t priorityLevel) {
  return (4 - std::clamp(priorityLevel, 0, 4)) * 100;
}

void SlurmTools::outcomeOf(const SlurmJobState& state, RunRecord& record) {
  record.slurmStartedAt = state.startedAt;
  const std::int32_t bySignal = state.signal != 0 ? 128 + state.signal : 128 + 15;
  if (state.state == "CANCELLED") {
    record.exitStatus = bySignal;
    record.endReason = RunRecord::kReasonCancelled;
  } else if (state.state == "TIMEOUT") {
    record.exitStatus = bySignal;
    record.endReason = RunRecord::kReasonTimeLimit;
  } else if (state.state == "COMPLETED" || (state.state == "FAILED" && state.signal == 0)) {
    record.exitStatus = state.state == "FAILED" && state.exitCode == 0 ? 1 : state.exitCode;
    record.endReason = RunRecord::kReasonExit;
  } else {
    // Killed: by a signal (FAILED), for memory, or with its node.
    const bool killed =
        state.state == "OUT_OF_MEMORY" || state.state == "NODE_FAIL" || state.state == "BOOT_FAIL";
    record.exitStatus = state.signal != 0 ? 128 + state.signal : killed ? 128 + 9 : bySignal;
    record.endReason = RunRecord::kReasonSignal;
    record.error = "Slurm ended the job as " + state.state;
  }
}

std::vector<std::string> SlurmTools::sbatchArguments(const SlurmLaunch& launch,
                                                     const platform::Account* owner) {
  std::vector<std::string> arguments{"--parsable", "-J", launch.name};
  if (!launch.partition.empty()) arguments.insert(arguments.end(), {"-p", launch.partition});
  if (launch.timeLimitMilliseconds > 0) {
    arguments.push_back("--time=" + timeLimitText(launch.timeLimitMilliseconds));
  }
  if (launch.nice > 0) arguments.push_back("--nice=" + std::to_string(launch.nice));
  std::string folder = "/tmp";
  if (owner != nullptr) {
    arguments.push_back("--uid=" + std::to_string(owner->uid));
    arguments.push_back("--gid=" + std::to_string(owner->gid));
    // The owner's own environment, not the scheduler's.
    arguments.push_back("--export=NONE");
    if (!owner->home.empty() && platform::fileStatus(owner->home)) folder = owner->home;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    folder = home;
  }
  arguments.push_back("--chdir=" + folder);
  if (!launch.output.empty()) {
    // A run after a restart adds to what the first wrote, as a local run does.
    arguments.insert(arguments.end(), {"-o", launch.output, "--open-mode=append"});
  }
  arguments.insert(arguments.end(), launch.options.begin(), launch.options.end());
  return arguments;
}

int superviseSlurmJob(const SlurmLaunch& launch, const std::string& program,
                      const std::vector<std::string>& arguments, const platform::Account* owner,
                      RunRecord& record, int recordFd, int reportFd) {
  platform::installCancelWatch();
  if (!launch.conf.empty()) ::setenv("SLURM_CONF", launch.conf.c_str(), 1);
  SlurmClient client;
  std::string id;
  std::string failure;
  std::string said;
  // Once per kind of trouble, to the scheduler (which logs it once for all its jobs) and to
  // standard error, for when no scheduler reads the report; and once when it is over.
  const auto tell = [&](const std::string& why) {
    if (why == said) return;
    said = why;
    std::string line = why;
    std::replace(line.begin(), line.end(), '\n', ' ');
    report(reportFd, "trouble " + line);
    std::cerr << "jobscheduler-run: Slurm job " << launch.name << ": " << line << "\n";
  };
  const auto answered = [&] {
    if (said.empty()) return;
    said.clear();
    report(reportFd, "answering");
  };
  std::int64_t retry = kFirstPollMs;
  bool lookFirst = !launch.freshName;
  while (id.empty()) {
    // Looked for first: a submission whose answer was lost must not be made twice.
    std::optional<std::string> found =
        lookFirst ? client.findByName(launch.name, failure) : std::optional<std::string>("");
    lookFirst = true;
    if (found) answered();
    if (found && !found->empty()) {
      id = *found;
      break;
    }
    if (found && platform::isCancelAsked()) {
      // Never submitted.
      record.exitStatus = 128 + 15;
      record.endReason = RunRecord::kReasonCancelled;
      return recordOutcome(record, recordFd, reportFd);
    }
    if (found) {
      const platform::CommandOutcome submitted =
          platform::runCommand("sbatch", SlurmTools::sbatchArguments(launch, owner),
                               SlurmTools::batchScript(program, arguments), kToolTimeout);
      std::string answer = submitted.output.substr(0, submitted.output.find_first_of(";\n"));
      if (submitted.succeeded() && !answer.empty() &&
          answer.find_first_not_of("0123456789") == std::string::npos) {
        id = std::move(answer);
        break;
      }
      if (!isPassing(submitted) && submitted.startError == 0 && !submitted.timedOut) {
        // Refused for good: a bad partition or option. Nothing was submitted.
        record.exitStatus = 126;
        record.endReason = RunRecord::kReasonNotStarted;
        record.error = "sbatch: " + firstLine(submitted.errors);
        const int code = recordOutcome(record, recordFd, reportFd);
        report(reportFd, "not-started 0");
        return code;
      }
      failure = "sbatch: " + (submitted.startError != 0 ? platform::errorText(submitted.startError)
                              : submitted.timedOut      ? std::string("no answer in time")
                                                        : firstLine(submitted.errors));
    }
    tell(failure + "; trying again");
    platform::pauseUnlessCancelled(retry);
    retry = std::min(retry * 2, kLongestRetryMs);
  }

  record.jobPid = record.supervisorPid;
  record.jobStart = record.supervisorStart;
  record.slurmJobId = id;
  record.slurmCluster = client.clusterName(launch.conf);
  record.launchedAt = now();
  if (platform::appendDurably(recordFd, record.launchText()) != 0) {
    // The run cannot be recorded: it must not go on unknown to any scheduler.
    client.cancel(id);
    report(reportFd, "refused " + std::to_string(EIO));
    return 3;
  }
  report(reportFd, "slurm " + id + " " + (record.slurmCluster.empty() ? "-" : record.slurmCluster));
  report(reportFd, "launched " + std::to_string(record.supervisorPid));

  bool cancelSent = false;
  bool runningReported = false;
  // The cluster keeps time limits in whole minutes: a shorter one is kept from here.
  bool limitSent = false;
  int unknown = 0;
  std::int64_t poll = kFirstPollMs;
  for (;;) {
    if (platform::isCancelAsked() && !cancelSent) cancelSent = client.cancel(id);
    const std::optional<SlurmJobState> state = client.query(id);
    if (!state) {
      tell("the cluster does not answer; asking again");
    } else if (state->id.empty() || (!state->name.empty() && state->name != launch.name)) {
      // Not this job: unknown to the cluster, or its id now names another job (a new cluster).
      if (++unknown >= kLostAfter) {
        record.exitStatus = 128 + 9;
        record.endReason = RunRecord::kReasonLost;
        record.error = "the cluster no longer knows Slurm job " + id;
        return recordOutcome(record, recordFd, reportFd);
      }
    } else {
      unknown = 0;
      answered();
      if (state->hasRun() && !runningReported) {
        report(reportFd, "running " + std::to_string(state->startedAt));
        runningReported = true;
      }
      if (state->isFinal()) {
        SlurmTools::outcomeOf(*state, record);
        if (state->state != "COMPLETED" && (cancelSent || limitSent)) {
          record.endReason = cancelSent ? RunRecord::kReasonCancelled : RunRecord::kReasonTimeLimit;
        }
        return recordOutcome(record, recordFd, reportFd);
      }
      if (launch.timeLimitMilliseconds > 0 && state->hasRun() && !limitSent && !cancelSent &&
          (now() - state->startedAt) * 1000 >= launch.timeLimitMilliseconds) {
        limitSent = client.cancel(id);
      }
    }
    if (platform::isCancelAsked()) {
      // Taken already: a plain wait, and a scancel that failed is tried again after it.
      std::this_thread::sleep_for(std::chrono::milliseconds(poll));
    } else {
      platform::pauseUnlessCancelled(poll);
    }
    poll = std::min(poll * 3 / 2, kLongestPollMs);
  }
}

}  // namespace Zelcor
