// Start-up recovery and shutdown of the queue controller.
#include <chrono>
#include <optional>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "QueueController.h"
#include "files/FileUtils.h"
#include "platform/SpecFolder.h"

namespace Zelcor {

namespace platform = ZelcorCorelib::platform;

namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr int kStopAttempts = 10;
constexpr auto kStopRetryDelay = std::chrono::milliseconds(10);
// A supervisor between its start and its launch record is moments from one or the other.
constexpr int kLaunchWaitSteps = 100;
constexpr auto kLaunchWaitStep = std::chrono::milliseconds(50);

}  // namespace

void QueueController::recover() {
  Change change(*this);
  recoveredRuns.clear();
  // A rewrite cut short by a crash leaves its temporary file; no client writes these folders.
  std::vector<std::string> folderPaths = {runningDirectory, finishedDirectory};
  for (const JobQueue& queue : queues)
    folderPaths.push_back(queue.getQueueDirectory(queuedDirectory));
  for (const std::string& path : folderPaths) {
    const SpecFile::Folder& folder = folderFor(path);
    if (const std::size_t removed = folder ? folder->removeStaleTemporaries() : 0; removed > 0) {
      logger.info(
          "@jobscheduler.quectrl-recover.stale-temporaries{Removed % temporary files that "
          "rewrites cut short by a crash left in \"%\".};",
          removed, folder->getPath());
    }
  }
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
    // A queue folder holds the spec of a job re-attached by an earlier start-up (its file stays
    // here), or of one whose file did not reach the running folder: its record decides.
    for (Job* job : queue.getPendingJobs()) {
      if (paths.count(job->getSpecPath()) != 0) recoverJobLocked(queue, *job);
    }
  }
  removeUnclaimedRecordsLocked();
}

void QueueController::recoverQueue(JobQueue& queue) {
  Change change(*this);
  recoverQueueLocked(queue);
}

void QueueController::recoverQueueLocked(JobQueue& queue) {
  for (Job* job : queue.getPendingJobs()) recoverJobLocked(queue, *job);
}

void QueueController::recoverJobLocked(JobQueue& queue, Job& job) {
  const std::string queueDirectory = queue.getQueueDirectory(queuedDirectory);
  const std::string runId = job.getRunId();
  std::optional<RunRecord> record;
  // A run id names one run: the first spec file to claim it (the running folder's come first)
  // has it; any other copy of it decides nothing.
  if (records && !runId.empty() && recoveredRuns.insert(runId).second) {
    record = records->read(runId);
  }
  if (!record) {
    if (job.getRecoveryRank() == kRankRunning || !runId.empty()) {
      logger.warning(
          "@jobscheduler.quectrl-recover.no-record{Job % had been started, but no record of that "
          "start was found (the machine may have gone down before it was written); it runs "
          "again.};",
          job.getSpecPath());
    }
    logger.trace("QueueController::recover: Recovered job %, requeueing the job.",
                 job.getSpecPath());
    job.move(queueDirectory);
    return;
  }
  platform::LockState lock = records->lockState(runId);
  for (int step = 0; step < kLaunchWaitSteps && lock == platform::LockState::held &&
                     !record->launched && !record->ended;
       ++step) {
    std::this_thread::sleep_for(kLaunchWaitStep);
    if (auto again = records->read(runId)) record = std::move(again);
    lock = records->lockState(runId);
  }
  if (lock == platform::LockState::held) {
    ChildProcess::Pointer process = ChildProcess::fromRecord(records, *record, true);
    const bool local = !queue.getSlurm() && process && !process->isSlurmRun();
    queue.setJobProcess(job, std::move(process));
    if (local) {
      cores.takeCore();
      job.setHoldsCore(true);
    }
    logger.trace("QueueController::recover: Recovered job %, found out that it is alive.",
                 job.getSpecPath());
    return;
  }
  if (record->ended && record->endReason != RunRecord::kReasonShutdown) {
    // Ended while no scheduler watched: finished by the next pass, never run again.
    queue.setJobProcess(job, ChildProcess::fromRecord(records, *record, false));
    job.setHoldsCore(false);
    logger.trace("QueueController::recover: Recovered job %, found out that it has ended.",
                 job.getSpecPath());
    job.setEndLogged();
    logJobEnd(job);
    return;
  }
  if (record->ended) {
    logger.info(
        "@jobscheduler.quectrl-recover.shutdown{Job % was stopped by the scheduler's shutdown; "
        "it runs again.};",
        job.getSpecPath());
  } else if (record->launched && !record->slurmJobId.empty()) {
    logger.warning(
        "@jobscheduler.quectrl-recover.slurm-supervisor-gone{Job % runs as Slurm job %, but its "
        "supervisor has gone; a new one finds the job on the cluster by its name and watches it "
        "to its end (it is not submitted again).};",
        job.getSpecPath(), record->slurmJobId);
  } else if (record->launched) {
    logger.warning(
        "@jobscheduler.quectrl-recover.supervisor-gone{Job % was started, but its supervisor "
        "ended without recording how the job ended (the machine may have gone down); it runs "
        "again.};",
        job.getSpecPath());
  }
  // requeueLocked stops what may be left of the program; it needs the run to know it by.
  queue.setJobProcess(job, ChildProcess::fromRecord(records, *record, false));
  requeueLocked(queue, job);
}

void QueueController::removeUnclaimedRecordsLocked() {
  if (!records) return;
  std::unordered_set<std::string> claimed;
  for (JobQueue& queue : queues) {
    for (const auto& jobs :
         {queue.getPendingJobs(), queue.getRunningJobs(), queue.getFinishedJobs()}) {
      for (const Job* job : jobs) {
        const std::string runId = job->getRunId();
        if (!runId.empty()) claimed.insert(runId);
      }
    }
  }
  for (const std::string& runId : records->list()) {
    if (claimed.count(runId) != 0) continue;
    if (records->lockState(runId) == platform::LockState::held) {
      logger.warning(
          "@jobscheduler.quectrl-recover.record-unclaimed{Run % still runs, but no spec file "
          "in the running or queue folders names it; it is left alone.};",
          runId);
      continue;
    }
    // A spec file that reached the finished folder just before a crash left its record.
    logger.debug("QueueController::recover: Removing the record of run %, which no job claims.",
                 runId);
    records->remove(runId);
  }
}

bool QueueController::quit() {
  Change change(*this);
  logger.debug("QueueController::quit: Quitting.");
  // A launch still unheard of is completed first, so that its file is where its run says.
  completeLaunchesLocked(true);
  {
    std::lock_guard<std::mutex> cancels(cancelLock);
    for (const auto& request : cancelRequests) {
      request->answer.set_value("unknown the scheduler is shutting down; nothing was cancelled");
    }
    cancelRequests.clear();
  }
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
