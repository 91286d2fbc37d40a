#include "Job.h"

#include <chrono>
#include <limits>
#include <utility>

#include "base/NoDestructor.h"
#include "base/StringUtils.h"
#include "bus/Logger.h"
#include "errors/Exception.h"
#include "errors/GlobMatcher.h"
#include "files/FileUtils.h"
#include "platform/Handle.h"
#include "time/DateTime.h"
#include "time/TimeSpan.h"

namespace Zelcor {

using ZelcorCorelib::KeyValueMap;

namespace {

// Never destroyed, so that jobs handled while the process exits can still log.
ZelcorCorelib::Logger& jobLogger() {
  static ZelcorCorelib::NoDestructor<ZelcorCorelib::Logger> logger("Job");
  return *logger;
}

// A "-c" option whose path holds a blank would fall apart into two arguments; the path gets
// double quotes unless it already has them at either end.
std::string quoteConfigurationArgument(const std::string& arguments) {
  std::string padded = " " + arguments + " ";
  if (ZelcorCorelib::GlobMatcher::match(padded, "* -c * *.conf*")) {
    try {
      auto [position, length] = ZelcorCorelib::GlobMatcher::find(padded, " -c *.conf?");
      std::string path = ZelcorCorelib::trim(padded.substr(position + 3, length - 3));
      if (!path.empty() && path.front() != '"' && path.back() != '"') {
        ZelcorCorelib::replaceAll(padded, path, "\"" + path + "\"");
      }
    } catch (const ZelcorCorelib::Exception&) {
      // The whole-string match guarantees a find; should it fail, the text stays as given.
    }
  }
  return ZelcorCorelib::trim(padded);
}

std::uint32_t parsePid(const std::string& value) {
  const std::uint64_t number = ZelcorCorelib::textToUInt64(value);
  // No process has a larger id; a wrapped value could name an unrelated process.
  return number > std::numeric_limits<std::uint32_t>::max() ? 0
                                                            : static_cast<std::uint32_t>(number);
}

}  // namespace

Job::Job() = default;

Job::Job(SpecFile spec) : Job(spec.getRecords()) {
  specPath = spec.getPath();
  specFile = std::move(spec);
}

void Job::setSpecPath(std::string path) {
  if (specFile.hasFile() && path != specFile.getPath()) specFile = SpecFile(specFile.getRecords());
  specPath = std::move(path);
}

Job::Job(const KeyValueMap& spec) {
  ZelcorCorelib::Logger& log = jobLogger();
  log.debug("Job::Job: Constructing Job.");
  for (const auto& [key, value] : spec) {
    if (key == "executable") {
      executable = value;
    } else if (key == "arguments") {
      arguments = value;
    } else if (key == "pre") {
      preProcess = PrePostProcess(value);
    } else if (key == "post") {
      postProcess = PrePostProcess(value);
    } else if (key == "priority-level") {
      priorityLevel = parsePriorityLevel(value);
    } else if (key == "created") {
      created = value;
    } else if (key == "time-limit") {
      timeLimitText = value;
      timeLimitMilliseconds = ZelcorCorelib::TimeSpan::parseMilliseconds(value).value_or(0);
    } else if (key == "output") {
      output = ZelcorCorelib::trim(value);
    } else if (key == "queue") {
      queueName = value;
    } else if (key == "pid") {
      pid = parsePid(value);
    }
  }
}

std::string Job::timeLimitProblem() const {
  if (!timeLimitText || timeLimitMilliseconds > 0) return {};
  std::string why = "its time-limit \"";
  why += *timeLimitText;
  why += "\" is no duration greater than zero (write it as 90s, 2h, 1d6h or PT30M)";
  return why;
}

std::string Job::outputProblem() const {
  if (output.empty() || output.front() == '/') return {};
  std::string why = "its output \"";
  why += output;
  why += "\" is no absolute path";
  return why;
}

std::int32_t Job::parsePriorityLevel(const std::string& value) {
  static const struct {
    const char* name;
    const char* digit;
  } kLevels[] = {
      {"very low", "0"}, {"low", "1"}, {"normal", "2"}, {"high", "3"}, {"very high", "4"}};
  const std::string trimmed = ZelcorCorelib::trim(value);
  for (std::int32_t level = 0; level < 5; ++level) {
    if (trimmed == kLevels[level].name || trimmed == kLevels[level].digit) return level;
  }
  return kDefaultPriorityLevel;
}

const std::vector<std::string>& Job::schedulerKeys() {
  static const std::vector<std::string> keys{kRunIdKey,     "pid",          "started",
                                             "ended",       "exit-status",  "end-reason",
                                             kSlurmNameKey, "slurm-job-id", "slurm-cluster"};
  return keys;
}

std::string Job::getRunId() const { return specFile.firstValue(kRunIdKey).value_or(std::string()); }

void Job::logFileFailure(const std::string& text) {
  if (text == lastFileFailure) return;
  lastFileFailure = text;
  jobLogger().error(text);
}

std::string Job::currentUnixTime() {
  return ZelcorCorelib::int64ToText(ZelcorCorelib::DateTime::now().toUnixSeconds());
}

bool Job::loadSpec() {
  ZelcorCorelib::Logger& log = jobLogger();
  log.debug("Job::loadSpec: Loading job specification.");
  arguments = quoteConfigurationArgument(arguments);
  try {
    mainProcess = CommandProcess(executable, arguments);
  } catch (const ZelcorCorelib::Exception& exception) {
    // An unresolvable reference is a fault of this one spec file, not of the scheduler.
    for (const ZelcorCorelib::ExceptionRecord& record : exception.logRecords()) {
      log.error(record.text, record.parameters);
    }
    return false;
  }
  return true;
}

bool Job::configure() {
  ZelcorCorelib::unquote(executable);
  if (ZelcorCorelib::exists(executable)) return true;
  if (executable.find('%') == std::string::npos) {
    jobLogger().error("@jobscheduler.job-configure.conf{ Exe file does not exists}. % ",
                      executable);
    return false;
  }
  return true;
}

bool Job::move(const std::string& targetDirectory) {
  std::string target = targetDirectory + "/" + ZelcorCorelib::fileName(specPath);
  ZelcorCorelib::normalizePath(target);
  if (target == specPath) return true;
  return move(ZelcorCorelib::platform::SpecFolder::open(targetDirectory));
}

bool Job::move(const SpecFile::Folder& target) {
  if (target) {
    std::string targetPath = target->getPath() + "/" + ZelcorCorelib::fileName(specPath);
    ZelcorCorelib::normalizePath(targetPath);
    if (targetPath == specPath) return true;
  }
  const ZelcorCorelib::platform::FsResult result = moveSpecFile(target, {});
  if (result == ZelcorCorelib::platform::FsResult::targetExists) {
    jobLogger().error(
        "@jobscheduler.job-move.unable-to-move{Failed to move file.}; \"%\": % is taken", specPath,
        target->getPath() + "/" + ZelcorCorelib::fileName(specPath));
  }
  return result == ZelcorCorelib::platform::FsResult::ok;
}

ZelcorCorelib::platform::FsResult Job::moveSpecFile(const SpecFile::Folder& target,
                                                    const std::string& targetName) {
  using ZelcorCorelib::platform::FsResult;
  ZelcorCorelib::Logger& log = jobLogger();
  const std::string name = ZelcorCorelib::fileName(specPath);
  std::string targetPath =
      (target ? target->getPath() : std::string()) + "/" + (targetName.empty() ? name : targetName);
  ZelcorCorelib::normalizePath(targetPath);
  log.debug("Job::move: Moving \"%\" to \"%\".", specPath, targetPath);
  // A job built from a map learns its file here, without reading it: the move needs no more.
  if (!specFile.hasFile()) {
    specFile = SpecFile::attach(
        ZelcorCorelib::platform::SpecFolder::open(ZelcorCorelib::folderName(specPath)), name,
        specFile.getRecords());
  }
  int error = 0;
  const FsResult result = target ? specFile.moveTo(target, targetName, &error) : FsResult::notFound;
  if (result == FsResult::targetExists) return result;
  if (result != FsResult::ok) {
    std::string text = "@jobscheduler.job-move.unable-to-move{Failed to move file.}; \"";
    text += specPath;
    text += "\" to \"";
    text += targetPath;
    text += "\": ";
    text += target ? ZelcorCorelib::platform::errorText(error) : "the folder cannot be opened";
    logFileFailure(text);
    return result;
  }
  lastFileFailure.clear();
  specPath = specFile.getPath();
  return result;
}

ZelcorCorelib::platform::FsResult Job::moveToFreeName(const SpecFile::Folder& target) {
  using ZelcorCorelib::platform::FsResult;
  // Already there: a move onto itself would only find its own name taken.
  if (target && ZelcorCorelib::normalizedPath(target->getPath() + "/") ==
                    ZelcorCorelib::normalizedPath(ZelcorCorelib::folderName(specPath) + "/")) {
    return FsResult::ok;
  }
  FsResult result = moveSpecFile(target, {});
  if (result != FsResult::targetExists || !target) return result;
  // A client that reuses a file name (the same job every night) finds the earlier file there.
  const std::string name = ZelcorCorelib::fileName(specPath);
  const std::size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string extension = stem.size() == name.size() ? "" : name.substr(stem.size());
  const std::size_t limit = target->nameLimit();
  auto fitted = [&](const std::string& suffix) {
    std::string candidate = stem;
    const std::size_t room =
        limit > suffix.size() + extension.size() + 1 ? limit - suffix.size() - extension.size() : 1;
    if (candidate.size() > room) {
      candidate.resize(room);
      // Never half a UTF-8 character.
      while (candidate.size() > 1 &&
             (static_cast<unsigned char>(candidate.back()) & 0xC0) == 0x80) {
        candidate.pop_back();
      }
      if (!candidate.empty() && (static_cast<unsigned char>(candidate.back()) & 0xC0) == 0xC0) {
        candidate.pop_back();
      }
    }
    candidate += suffix;
    candidate += extension;
    return candidate;
  };
  for (int suffix = 1; suffix <= 1000; ++suffix) {
    std::string numbered = ".";
    numbered += std::to_string(suffix);
    result = moveSpecFile(target, fitted(numbered));
    if (result != FsResult::targetExists) return result;
  }
  // Past a thousand earlier runs, a stamp no earlier run can have taken.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::string suffix = ".";
    suffix += std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    result = moveSpecFile(target, fitted(suffix));
    if (result != FsResult::targetExists) return result;
  }
  return result;
}

bool Job::writeSpecValue(const std::string& key, const std::string& value) {
  return writeSpecValues({{key, value}});
}

bool Job::writeSpecValues(const std::vector<std::pair<std::string, std::string>>& values,
                          const std::vector<std::string>& dropped) {
  if (!specFile.hasFile() || !specFile.isRead()) {
    SpecFile read = SpecFile::readPath(specPath);
    if (!read.isRead()) {
      std::string text =
          "@jobscheduler.job-preprocess.fail-load-src{Failed to read key-value data from \"";
      text += specPath;
      text += "\"};";
      logFileFailure(text);
      return false;
    }
    specFile = std::move(read);
  }
  int error = 0;
  if (!specFile.stamp(values, dropped, &error)) {
    std::string text =
        "@jobscheduler.job-preprocess.fail-write-data{Failed to write start time to \"";
    text += specPath;
    text += "\"}; ";
    text += ZelcorCorelib::platform::errorText(error);
    logFileFailure(text);
    return false;
  }
  lastFileFailure.clear();
  return true;
}

bool Job::preprocess() { return writeSpecValue("started", currentUnixTime()); }

bool Job::start(const RunRecords::Pointer& records, const std::string& queue,
                std::optional<std::uint32_t> runAs, std::string& why, bool awaitLaunch,
                const std::optional<SlurmSettings>& slurm) {
  if (!records) {
    why = "no folder for run records is set";
    startFailure = why;
    return false;
  }
  const std::string runId = records->newRunId();
  const std::string started = currentUnixTime();
  // The output file is chosen once and stamped: a later run of the job (after a restart)
  // appends to it.
  JobOutputs& outputs = records->getOutputs();
  std::vector<std::pair<std::string, std::string>> stamps{{"started", started}, {kRunIdKey, runId}};
  std::string chosen = output;
  if (chosen.empty() && outputs.isEnabled()) {
    chosen = outputs.choose(specFile.getName(), runAs);
    stamps.emplace_back("output", chosen);
  }
  // The cluster knows the job by this name from before its submission on: a later run finds
  // the job there instead of submitting it again.
  std::string slurmName = specFile.firstValue(kSlurmNameKey).value_or(std::string());
  const bool freshName = slurm && slurmName.empty();
  if (freshName) {
    slurmName = "js-" + runId;
    stamps.emplace_back(kSlurmNameKey, slurmName);
  }
  // The run id is the scheduler's alone: every other "run-id" entry goes with this stamp.
  if (!writeSpecValues(stamps, {kRunIdKey})) {
    why = "its spec file cannot be written (";
    why += lastFileFailure;
    why += ")";
    startFailure = why;
    return false;
  }
  output = std::move(chosen);
  // The run id must be on disk before anything runs under it: the folder sync this stamp owes
  // (deferred in a pass, with those of the pass's other files) is paid now.
  if (const SpecFile::Folder& folder = specFile.getFolder(); folder && !folder->flushSyncs()) {
    why = "its spec file's folder cannot be synced: ";
    why += ZelcorCorelib::platform::errorText(errno);
    startFailure = why;
    return false;
  }
  ChildProcess::Launch launch;
  launch.records = records;
  launch.runId = runId;
  launch.spec = specFile.getName();
  launch.queue = queue;
  launch.started = static_cast<std::int64_t>(ZelcorCorelib::textToUInt64(started));
  launch.runAs = runAs;
  launch.timeLimitMilliseconds = timeLimitMilliseconds;
  launch.output = output;
  launch.outputOwnFolder = runAs && outputs.isOwnersFolder(output, *runAs);
  launch.awaitLaunch = awaitLaunch && !slurm;
  launch.slurm = slurm;
  launch.slurmName = slurmName;
  launch.slurmFreshName = freshName;
  launch.priorityLevel = priorityLevel;
  if (!mainProcess.start(std::move(launch))) return supervisorFailed(why);
  return awaitLaunch ? launched() : true;
}

bool Job::completeStart(std::string& why) {
  if (!mainProcess.completeStart()) return supervisorFailed(why);
  return launched();
}

bool Job::supervisorFailed(std::string& why) {
  why = "its run cannot be recorded or its supervisor started: ";
  why += ZelcorCorelib::platform::errorText(mainProcess.getStartError());
  startFailure = why;
  return false;
}

bool Job::launched() {
  startFailure.clear();
  pid = mainProcess.getPid();
  std::vector<std::pair<std::string, std::string>> stamps;
  if (pid != 0) stamps.emplace_back("pid", ZelcorCorelib::uint64ToText(pid));
  if (const ChildProcess::Pointer& process = mainProcess.getProcess(); process) {
    if (std::string id = process->getSlurmJobId(); !id.empty()) {
      stamps.emplace_back("slurm-job-id", std::move(id));
      if (std::string cluster = process->getSlurmCluster(); !cluster.empty()) {
        stamps.emplace_back("slurm-cluster", std::move(cluster));
      }
    }
  }
  if (!stamps.empty()) writeSpecValues(stamps);
  return true;
}

bool Job::stop() { return mainProcess.stop(); }

bool Job::postprocess() {
  std::string ended;
  std::string reason;
  std::string slurmStarted;
  if (const ChildProcess::Pointer& process = mainProcess.getProcess()) {
    if (auto outcome = process->getOutcome()) {
      if (outcome->endedAt >= 0) ended = ZelcorCorelib::int64ToText(outcome->endedAt);
      reason = outcome->endReason;
      if (outcome->slurmStartedAt >= 0) {
        slurmStarted = ZelcorCorelib::int64ToText(outcome->slurmStartedAt);
      }
    }
  }
  if (ended.empty()) ended = currentUnixTime();
  // One stamp for all: the finished file carries the same keys as separate stamps would leave.
  std::vector<std::pair<std::string, std::string>> values{
      {"exit-status", ZelcorCorelib::intToText(mainProcess.getExitCode())}, {"ended", ended}};
  if (!reason.empty()) values.emplace_back("end-reason", reason);
  // On a cluster, the job started when the cluster ran it, not when it was submitted.
  if (!slurmStarted.empty()) values.emplace_back("started", slurmStarted);
  const std::string before = lastFileFailure;
  if (!writeSpecValues(values)) {
    if (lastFileFailure == before) return false;  // said already
    jobLogger().warning(
        "@jobscheduler.run-postprocess.failed-write-exitvalue{Unable to get exit value from "
        "process %}",
        pid);
    return false;
  }
  return true;
}

void Job::removeSpecFile() const {
  if (specFile.hasFile()) {
    specFile.remove();
  } else {
    ZelcorCorelib::deleteFile(specPath, false);
  }
}

bool Job::isSameCommand(const Job& other) const {
  return executable == other.executable && arguments == other.arguments;
}

}  // namespace Zelcor
