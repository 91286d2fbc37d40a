#include "ChildProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <new>
#include <utility>

#include "ProcessRegistry.h"
#include "SlurmRun.h"
#include "base/StringUtils.h"
#include "files/FileUtils.h"
#include "platform/Process.h"
#include "platform/Supervise.h"
#include "platform/Threads.h"

namespace Zelcor {

namespace platform = ZelcorCorelib::platform;

namespace {

platform::ProcessId toProcessId(std::uint32_t pid) { return static_cast<platform::ProcessId>(pid); }

// One line of the report pipe, or nothing when no whole line has come yet.
std::optional<std::string> takeLine(std::string& text) {
  const std::size_t end = text.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = text.substr(0, end);
  text.erase(0, end + 1);
  return line;
}

// The number after "word " in line; nullopt for another line.
std::optional<std::uint64_t> valueOf(const std::string& line, const std::string& word) {
  if (line.size() <= word.size() + 1 || line.compare(0, word.size(), word) != 0 ||
      line[word.size()] != ' ') {
    return std::nullopt;
  }
  const std::uint64_t value = ZelcorCorelib::textToUInt64(line.substr(word.size() + 1));
  return value;
}

}  // namespace

ChildProcess::ChildProcess(Key) {}

// Outside double quotes a blank ends a token; a token with a double quote at both ends loses
// them. A double quote opens a quoted part, in which blanks are kept and a backslash takes the
// next byte literally; quotes and backslashes stay in the token. The last token loses one pair
// of enclosing double or single quotes.
std::vector<std::string> ChildProcess::splitArguments(const std::string& arguments) {
  std::vector<std::string> tokens;
  std::string token;
  bool quoted = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    char c = arguments[i];
    if (quoted) {
      token += c;
      if (c == '\\' && i + 1 < arguments.size()) {
        token += arguments[++i];
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == ' ') {
      if (!token.empty()) {
        if (token.size() >= 2 && token.front() == '"' && token.back() == '"') {
          token = token.substr(1, token.size() - 2);
        }
        tokens.push_back(std::move(token));
        token.clear();
      }
    } else {
      if (c == '"') quoted = true;
      token += c;
    }
  }
  ZelcorCorelib::unquote(token);
  if (!token.empty()) tokens.push_back(std::move(token));
  return tokens;
}

std::string ChildProcess::commandLineEntry(const std::string& entry) {
  if (entry.find(' ') != std::string::npos && (entry.empty() || entry.front() != '"')) {
    return "\"" + entry + "\"";
  }
  return entry;
}

std::string ChildProcess::buildCommandLine(const std::string& command,
                                           const std::vector<std::string>& argumentList) {
  std::string joined;
  for (const std::string& entry : argumentList) {
    if (entry.empty()) continue;
    if (!joined.empty()) joined += ' ';
    joined += commandLineEntry(entry);
  }
  return joined.empty() ? command : command + " " + joined;
}

std::string ChildProcess::argvElement(const std::string& entry) {
  const std::string placed = commandLineEntry(entry);
  std::string element;
  bool quoted = false;
  std::size_t i = 0;
  while (i < placed.size()) {
    char c = placed[i];
    if (c == '\\') {
      std::size_t run = placed.find_first_not_of('\\', i);
      if (run == std::string::npos) run = placed.size();
      std::size_t count = run - i;
      if (run < placed.size() && placed[run] == '"') {
        element.append(count / 2, '\\');
        if (count % 2 == 1) {
          element += '"';
        } else {
          quoted = !quoted;
        }
        i = run + 1;
      } else {
        // Inside quotes a backslash escapes a backslash, as the splitter read it.
        element.append(quoted ? count / 2 + count % 2 : count, '\\');
        i = run;
      }
    } else if (c == '"') {
      quoted = !quoted;
      ++i;
    } else {
      element += c;
      ++i;
    }
  }
  return element;
}

void ChildProcess::setLaunch(Launch newLaunch) {
  std::lock_guard<std::mutex> guard(mutex);
  launch = std::move(newLaunch);
}

bool ChildProcess::run() {
  std::uint32_t startedPid = 0;
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (pollLocked()) return false;
    if (!launch.records || launch.runId.empty()) {
      startError = EINVAL;
      return false;
    }
    commandLine = buildCommandLine(command, argumentList);
    RunRecord intent;
    intent.runId = launch.runId;
    intent.spec = launch.spec;
    intent.queue = launch.queue;
    intent.program = command;
    intent.started = launch.started;
    intent.bootId = platform::bootId();
    if (launch.runAs) intent.user = std::to_string(*launch.runAs);
    int error = 0;
    platform::Handle record = launch.records->begin(intent, error);
    if (!record.valid()) {
      startError = error;
      return false;
    }
    platform::Handle reportRead, reportWrite;
    if (!platform::makePipe(reportRead, reportWrite)) {
      startError = errno != 0 ? errno : EMFILE;
      launch.records->remove(launch.runId);
      return false;
    }
    std::vector<std::string> argv{"--record-fd=3", "--report-fd=4"};
    if (launch.runAs) {
      std::string user = "--user=";
      user += std::to_string(*launch.runAs);
      argv.push_back(std::move(user));
    }
    if (launch.timeLimitMilliseconds > 0) {
      argv.push_back("--time-limit-ms=" + std::to_string(launch.timeLimitMilliseconds));
    }
    argv.push_back("--kill-grace-ms=" + std::to_string(launch.records->getKillGrace().count()));
    if (!launch.output.empty()) {
      std::string output = "--output=";
      output += launch.output;
      argv.push_back(std::move(output));
      if (launch.outputOwnFolder) argv.push_back("--output-own-folder");
    }
    if (launch.slurm) {
      argv.push_back("--slurm");
      argv.push_back("--slurm-name=" + launch.slurmName);
      if (launch.slurmFreshName) argv.push_back("--slurm-fresh-name");
      if (!launch.slurm->conf.empty()) argv.push_back("--slurm-conf=" + launch.slurm->conf);
      if (!launch.slurm->partition.empty()) {
        argv.push_back("--slurm-partition=" + launch.slurm->partition);
      }
      for (const std::string& option : launch.slurm->options) {
        argv.push_back("--slurm-option=" + option);
      }
      argv.push_back("--slurm-nice=" + std::to_string(SlurmTools::niceFor(launch.priorityLevel)));
    }
    argv.push_back("--");
    argv.push_back(command);
    for (const std::string& entry : argumentList) {
      if (!entry.empty()) argv.push_back(argvElement(entry));
    }
    platform::SpawnOptions options;
    options.inheritDescriptors = inheritHandles;
    options.newSession = true;
    options.descriptors = {{record.get(), 3}, {reportWrite.get(), 4}};
    platform::SpawnResult spawned =
        platform::spawnProcess(launch.records->getSupervisor(), argv, options);
    // The supervisor holds the record (and its lock) and the pipe's write end from now on.
    record.reset();
    reportWrite.reset();
    if (spawned.pid <= 0) {
      startError = spawned.error;
      launch.records->remove(launch.runId);
      return false;
    }
    supervisorPid = static_cast<std::uint32_t>(spawned.pid);
    ownSupervisor = true;
    report = std::move(reportRead);
    reportText.clear();
    outcome.reset();
    exitCode = -1;
    pid = 0;
    state = kRunning;
    launchPending = true;
    // A cluster's controller may be down for a while: the submission waits it out, and the
    // job counts as launching, not started, until its id is recorded.
    launchDeadline = std::chrono::steady_clock::now() +
                     (launch.slurm ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                         RunRecords::kSlurmLaunchTimeout)
                                   : launch.records->getLaunchTimeout());
    if (!launch.awaitLaunch) return true;
    if (!awaitLaunchLocked(startedPid)) return false;
  }
  // Outside the object's lock: a collection holds the registry lock while it polls objects.
  if (registered && startedPid != 0) {
    ProcessRegistry::instance().insert(startedPid, shared_from_this());
  }
  return true;
}

bool ChildProcess::completeLaunch() {
  std::uint32_t startedPid = 0;
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (!launchPending) return state != kNotStarted;
    if (!awaitLaunchLocked(startedPid)) return false;
  }
  if (registered && startedPid != 0) {
    ProcessRegistry::instance().insert(startedPid, shared_from_this());
  }
  return true;
}

bool ChildProcess::hasPendingLaunch() const {
  std::lock_guard<std::mutex> guard(mutex);
  return launchPending;
}

bool ChildProcess::isLaunchSettled() {
  std::lock_guard<std::mutex> guard(mutex);
  if (!launchPending || pid != 0 || state != kRunning) return true;
  if (readReportLocked() || pid != 0 || state != kRunning) return true;
  return std::chrono::steady_clock::now() >= launchDeadline;
}

bool ChildProcess::awaitLaunchLocked(std::uint32_t& startedPid) {
  launchPending = false;
  // The launch is on disk before the program runs; wait for the supervisor's word on it.
  bool gone = !report.valid();
  while (pid == 0 && !gone && state == kRunning) {
    gone = readReportLocked();
    if (pid != 0 || gone || state != kRunning) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        launchDeadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    platform::waitReadable({report.get()}, left);
  }
  if (state == kNotStarted) {
    // Refused: the program never ran.
    endLocked();
    return false;
  }
  if (gone && state == kRunning) endLocked();
  startError = 0;
  startedPid = pid;
  return true;
}

bool ChildProcess::readReportLocked() {
  if (!report.valid()) return true;
  const platform::ReadState read = platform::readAvailable(report.get(), reportText);
  while (auto line = takeLine(reportText)) {
    if (line->rfind("slurm ", 0) == 0) {
      const std::string rest = line->substr(6);
      const std::size_t blank = rest.find(' ');
      slurmJobId = rest.substr(0, blank);
      slurmCluster = blank == std::string::npos ? std::string() : rest.substr(blank + 1);
      if (slurmCluster == "-") slurmCluster.clear();
    } else if (line->rfind("trouble ", 0) == 0) {
      clusterTrouble = line->substr(8);
    } else if (*line == "answering") {
      clusterTrouble = std::string();
    } else if (auto running = valueOf(*line, "running")) {
      clusterStart = static_cast<std::int64_t>(*running);
    } else if (auto launched = valueOf(*line, "launched")) {
      pid = static_cast<std::uint32_t>(*launched);
    } else if (auto refused = valueOf(*line, "refused")) {
      startError = static_cast<int>(*refused);
      state = kNotStarted;
    }
    if (line->rfind("unwritten ", 0) == 0) {
      const std::string rest = line->substr(10);
      const std::size_t blank = rest.find(' ');
      if (blank != std::string::npos && !unwritten) {
        unwritten = std::make_pair(
            static_cast<int>(ZelcorCorelib::textToUInt64(rest.substr(0, blank))),
            static_cast<std::int32_t>(ZelcorCorelib::textToUInt64(rest.substr(blank + 1))));
      }
    }
    // "not-started" is read from the record once the supervisor has gone.
  }
  if (read == platform::ReadState::ended || read == platform::ReadState::failed) {
    report.reset();
    return true;
  }
  return false;
}

void ChildProcess::endLocked() {
  report.reset();
  supervisorHandle.reset();
  if (ownSupervisor) {
    platform::waitChild(toProcessId(supervisorPid));
    ownSupervisor = false;
  }
  if (state == kNotStarted) {
    // Refused: the record tells nothing that happened; the run is as if never tried.
    if (launch.records) launch.records->remove(launch.runId);
    return;
  }
  std::optional<RunRecord> record =
      launch.records ? launch.records->read(launch.runId) : std::nullopt;
  if (record && record->ended) {
    exitCode = record->exitStatus;
    outcome = std::move(record);
  } else {
    exitCode = -1;
  }
  if (record && record->launched && pid == 0) pid = record->jobPid;
  if (record && !record->slurmJobId.empty()) {
    slurmJobId = record->slurmJobId;
    slurmCluster = record->slurmCluster;
  }
  state = kEnded;
}

bool ChildProcess::poll() {
  std::lock_guard<std::mutex> guard(mutex);
  return pollLocked();
}

bool ChildProcess::pollLocked() {
  if (state != kRunning) return false;
  if (report.valid() || ownSupervisor) {
    if (readReportLocked()) endLocked();
    return state == kRunning;
  }
  bool gone;
  if (supervisorHandle.valid()) {
    gone = !platform::waitReadable({supervisorHandle.get()}, std::chrono::milliseconds(0)).empty();
  } else {
    gone = !launch.records || launch.records->lockState(launch.runId) != platform::LockState::held;
  }
  if (gone) endLocked();
  return state == kRunning;
}

bool ChildProcess::requestCancel() {
  std::lock_guard<std::mutex> guard(mutex);
  // Not before the launch word: until then the supervisor may not yet listen for it.
  if (!pollLocked() || launchPending) return false;
  if (ownSupervisor) {
    return platform::signalChild(toProcessId(supervisorPid), platform::kCancelSignal);
  }
  return platform::signalProcessHandle(supervisorHandle, platform::kCancelSignal);
}

bool ChildProcess::requestStop() {
  // One lock over poll and signal: a pid is never signalled after this object reaped it.
  std::lock_guard<std::mutex> guard(mutex);
  if (!pollLocked()) return false;
  if (ownSupervisor) return platform::signalChild(toProcessId(supervisorPid), SIGTERM);
  return platform::signalProcessHandle(supervisorHandle, SIGTERM);
}

std::string ChildProcess::getCommandLine() const {
  std::lock_guard<std::mutex> guard(mutex);
  return commandLine;
}

std::optional<std::string> ChildProcess::takeClusterTrouble() {
  std::lock_guard<std::mutex> guard(mutex);
  return std::exchange(clusterTrouble, std::nullopt);
}

std::optional<std::int64_t> ChildProcess::takeClusterStart() {
  std::lock_guard<std::mutex> guard(mutex);
  return std::exchange(clusterStart, std::nullopt);
}

std::string ChildProcess::getSlurmJobId() const {
  std::lock_guard<std::mutex> guard(mutex);
  return slurmJobId;
}

std::string ChildProcess::getSlurmCluster() const {
  std::lock_guard<std::mutex> guard(mutex);
  return slurmCluster;
}

std::uint32_t ChildProcess::getPid() const {
  std::lock_guard<std::mutex> guard(mutex);
  return pid;
}

std::uint32_t ChildProcess::getSupervisorPid() const {
  std::lock_guard<std::mutex> guard(mutex);
  return supervisorPid;
}

int ChildProcess::getState() const {
  std::lock_guard<std::mutex> guard(mutex);
  return state;
}

std::int32_t ChildProcess::getExitCode() const {
  std::lock_guard<std::mutex> guard(mutex);
  return exitCode;
}

int ChildProcess::getStartError() const {
  std::lock_guard<std::mutex> guard(mutex);
  return startError;
}

std::optional<RunRecord> ChildProcess::getOutcome() const {
  std::lock_guard<std::mutex> guard(mutex);
  return outcome;
}

std::optional<std::pair<int, std::int32_t>> ChildProcess::takeUnwrittenOutcome() {
  std::lock_guard<std::mutex> guard(mutex);
  if (!unwritten || unwrittenTaken) return std::nullopt;
  unwrittenTaken = true;
  return unwritten;
}

int ChildProcess::getWakeDescriptor() const {
  std::lock_guard<std::mutex> guard(mutex);
  if (state != kRunning) return -1;
  if (report.valid()) return report.get();
  return supervisorHandle.get();
}

ChildProcess::Pointer ChildProcess::fromRecord(const RunRecords::Pointer& records,
                                               const RunRecord& record, bool alive) {
  ChildProcess::Pointer process;
  try {
    process = std::make_shared<ChildProcess>(ChildProcess::Key());
    process->command = record.program;
    process->launch.records = records;
    process->launch.runId = record.runId;
    process->launch.spec = record.spec;
    process->launch.queue = record.queue;
    process->launch.started = record.started;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  process->pid = record.jobPid;
  process->supervisorPid = record.supervisorPid;
  process->slurmJobId = record.slurmJobId;
  process->slurmCluster = record.slurmCluster;
  if (!record.slurmJobId.empty()) process->launch.slurm = SlurmSettings{};
  if (alive) {
    process->state = kRunning;
    // Bound to the supervisor only if it is the very process the record names; else its end
    // is learnt from its lock.
    if (record.launched && record.supervisorPid != 0) {
      platform::Handle handle = platform::openProcessHandle(toProcessId(record.supervisorPid));
      const auto ticks = platform::processStartTicks(toProcessId(record.supervisorPid));
      if (handle.valid() && ticks && *ticks == record.supervisorStart) {
        process->supervisorHandle = std::move(handle);
      }
    }
    return process;
  }
  process->state = kEnded;
  if (record.ended) {
    process->exitCode = record.exitStatus;
    process->outcome = record;
  }
  return process;
}

ChildProcess::Pointer createChildProcess(const std::string& command, const std::string& arguments,
                                         bool /*redirectOutput*/, bool inheritHandles) {
  ChildProcess::Pointer process;
  try {
    process = std::make_shared<ChildProcess>(ChildProcess::Key());
    process->command = command;
    process->argumentList = ChildProcess::splitArguments(arguments);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  process->inheritHandles = inheritHandles;
  process->registered = true;
  return process;
}

}  // namespace Zelcor
