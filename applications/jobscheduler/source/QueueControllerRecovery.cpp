// Start-up recovery and shutdown of the queue controller.
#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "QueueController.h"
#include "base/StringUtils.h"
#include "files/FileUtils.h"
#include "files/KeyValueFile.h"
#include "platform/Process.h"
#include "platform/Threads.h"

namespace Zelcor {

namespace platform = ZelcorCorelib::platform;

namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr int kStopAttempts = 10;
constexpr auto kStopRetryDelay = std::chrono::milliseconds(10);
// The boot time behind a process's start time has whole-second resolution.
constexpr std::int64_t kStartTimeTolerance = 1;
// "started" is stamped right before the process is made; the tries of one start take well
// under a second.
constexpr std::int64_t kUnrecordedStartWindow = 3;

// The job's "started" stamp in Unix seconds, as read in with its spec file; -1 when it has
// none.
std::int64_t startedStamp(const Job& job) {
  const std::optional<std::string> stamp = job.getSpecFile().firstValue("started");
  if (!stamp) return -1;
  const std::string value = ZelcorCorelib::trim(*stamp);
  if (value.empty() || value.front() < '0' || value.front() > '9') return -1;
  return static_cast<std::int64_t>(ZelcorCorelib::textToUInt64(value));
}

}  // namespace

void QueueController::recover() {
  Guard guard(queuesLock);
  logger.debug("QueueController::recover: Recovering previously running jobs.");
  loadJobsToQueuesLocked(runningDirectory, kRankRunning);
  for (JobQueue& queue : queues) recoverQueueLocked(queue);

  logger.debug("QueueController::recover: Recovering previously queued jobs.");
  for (JobQueue& queue : queues) {
    const std::string directory =
        ZelcorCorelib::normalizedPath(queuedDirectory + "/" + queue.getName() + "/");
    const std::set<std::string> names = getJobSpecFiles(directory);
    if (names.empty()) continue;
    // The files of the jobs just taken from the running folder lie here now; read again they
    // would count as duplicates of themselves and be deleted.
    std::unordered_set<std::string> owned;
    for (const auto& jobs :
         {queue.getPendingJobs(), queue.getRunningJobs(), queue.getFinishedJobs()}) {
      for (const Job* job : jobs) owned.insert(job->getSpecPath());
    }
    std::set<std::string> paths;
    for (const std::string& name : names) {
      std::string path = ZelcorCorelib::normalizedPath(directory + "/" + name);
      if (owned.count(path) == 0) paths.insert(std::move(path));
    }
    if (paths.empty()) continue;
    if ((getRunFlags() & kRunFlagStopped) != 0) continue;
    queue.load(paths, queuedDirectory, kRankQueued);
    // A queue folder may hold the spec of a job whose process runs: one re-attached by an
    // earlier start-up (its file stays here), or one whose start was cut short before its
    // file reached the running folder. Started again, it would run twice at once.
    for (Job* job : queue.getPendingJobs()) {
      if (paths.count(job->getSpecPath()) == 0) continue;
      if ((job->getPid() != 0 && reattachIfAlive(*job)) || adoptUnrecordedProcess(*job)) {
        logger.trace("QueueController::recover: Recovered job %, found out that it is alive.",
                     job->getSpecPath());
      }
    }
  }
}

void QueueController::recoverQueue(JobQueue& queue) {
  Guard guard(queuesLock);
  recoverQueueLocked(queue);
}

void QueueController::recoverQueueLocked(JobQueue& queue) {
  const std::string queueDirectory = queue.getQueueDirectory(queuedDirectory);
  for (Job* job : queue.getPendingJobs()) {
    if ((job->getPid() != 0 && reattachIfAlive(*job)) || adoptUnrecordedProcess(*job)) {
      logger.trace("QueueController::recover: Recovered job %, found out that it is alive.",
                   job->getSpecPath());
      continue;
    }
    logger.trace("QueueController::recover: Recovered job %, requeueing the job.",
                 job->getSpecPath());
    job->move(queueDirectory);
  }
}

bool QueueController::reattachIfAlive(Job& job) {
  ChildProcess::Pointer process = attachChildProcess(job.getPid());

  std::string executable = ZelcorCorelib::collapseDotComponents(job.getExecutable());
  ZelcorCorelib::trimRight(executable);
  ZelcorCorelib::trimLeft(executable);
  if (executable != job.getExecutable()) {
    job.setExecutable(executable);
    try {
      job.getMainProcess() = CommandProcess(executable, job.getArguments());
    } catch (const ZelcorCorelib::Exception& exception) {
      // Cannot happen for a job whose spec loaded; the process as loaded stays.
      logger.warning(exception);
    }
  }

  if (!isRecoveredProcessAlive(job, process)) return false;
  job.getMainProcess().setProcess(std::move(process));
  cores.takeCore();
  return true;
}

bool QueueController::adoptUnrecordedProcess(Job& job) {
  const std::int64_t started = startedStamp(job);
  if (started < 0) return false;
  // The argument vector the job's start hands its program (ChildProcess::run).
  std::vector<std::string> expected{job.getMainProcess().getCommand()};
  const std::string& arguments = job.getMainProcess().getArguments();
  for (const std::string& entry : ChildProcess::splitArguments(arguments)) {
    if (!entry.empty()) expected.push_back(ChildProcess::argvElement(entry));
  }
  std::unordered_set<std::uint32_t> claimed;
  for (Job* running : getRunningJobsLocked()) claimed.insert(running->getMainProcess().getPid());
  const auto self = static_cast<platform::ProcessId>(platform::currentProcessId());
  for (platform::ProcessId pid : platform::listProcessIds()) {
    if (pid == self || claimed.count(static_cast<std::uint32_t>(pid)) != 0) continue;
    const auto elements = platform::processCommandLine(pid);
    if (!elements || elements->size() < expected.size()) continue;
    // A script runs under its interpreter, which may carry an option of its own.
    const std::size_t extra = elements->size() - expected.size();
    if (extra > 2 || !std::equal(expected.begin(), expected.end(), elements->begin() + extra)) {
      continue;
    }
    // Begun by the start that stamped "started" a moment before, not by an earlier start or
    // by someone who ran the same command later.
    const auto processStart = platform::processStartTime(pid);
    if (!processStart || *processStart + kStartTimeTolerance < started ||
        *processStart > started + kUnrecordedStartWindow) {
      continue;
    }
    ChildProcess::Pointer process = attachChildProcess(static_cast<std::uint32_t>(pid));
    if (!process || !process->poll()) continue;
    job.getMainProcess().setProcess(std::move(process));
    cores.takeCore();
    job.writeSpecValue("pid", std::to_string(pid));
    logger.warning(
        "@jobscheduler.quectrl-recover.pid-unrecorded{Job % had been started but its process id "
        "was not recorded; adopted the running process %.};",
        job.getSpecPath(), pid);
    return true;
  }
  return false;
}

bool QueueController::isRecoveredProcessAlive(Job& job, const ChildProcess::Pointer& process) {
  if (!process || !process->poll()) return false;
  // The command as the job would start it: the normalised executable with its references
  // resolved (the same text when it has none).
  const std::string& expected = job.getMainProcess().getCommand();
  bool same = process->getCommand() == expected;
  // A script's image is its interpreter; the script is then the first or second element.
  const std::vector<std::string>& elements = process->getCommandLineElements();
  for (std::size_t i = 0; !same && i < elements.size() && i < 2; ++i) {
    same = elements[i] == expected;
  }
  if (!same) return false;
  // A pid reused by a later start of the same program is not the job's process.
  const std::int64_t started = startedStamp(job);
  const std::int64_t processStart = process->getStartTime();
  if (started >= 0 && processStart >= 0 && processStart > started + kStartTimeTolerance) {
    return false;
  }
  return true;
}

bool QueueController::quit() {
  Guard guard(queuesLock);
  logger.debug("QueueController::quit: Quitting.");
  for (JobQueue& queue : queues) {
    while (!queue.isEmpty()) {
      Job job = queue.takeFirstJob();
      bool stopped = false;
      for (int attempt = 1; attempt <= kStopAttempts; ++attempt) {
        if (!job.getMainProcess().isRunning() || job.stop()) {
          stopped = true;
          break;
        }
        logger.trace(
            "QueueController::quit: Trying to stop job, Attempts=%. PID=% Binary=\"%\" "
            "Specs=\"%\"};",
            attempt, job.getPid(), job.getExecutable(), job.getArguments());
        std::this_thread::sleep_for(kStopRetryDelay);
      }
      if (!stopped) {
        logger.warning(
            "@jobscheduler.quectrl-quit.stop-jobs-error{Failed to stop job. (PID=%) "
            "Binary=\"%\" Specs=\"%\"};",
            job.getPid(), job.getExecutable(), job.getArguments());
        return false;
      }
    }
  }
  reserved = 0;
  return true;
}

}  // namespace Zelcor
