#include "QueueController.h"

#include <chrono>
#include <thread>
#include <utility>

#include "files/FileUtils.h"
#include "files/KeyValueFile.h"

namespace Zelcor {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr auto kPassInterval = std::chrono::milliseconds(1000);
// The pause between passes is cut into slices so that a quit does not wait out the second.
constexpr auto kSleepSlice = std::chrono::milliseconds(20);
constexpr int kStartAttempts = 10;
constexpr auto kStartRetryDelay = std::chrono::milliseconds(10);

std::string normalized(std::string path) {
  ZelcorCorelib::normalizePath(path);
  return path;
}

}  // namespace

QueueController::QueueController(const std::atomic<std::uint8_t>* quitSignal)
    : QueueController(quitSignal, CorePool::instance()) {}

QueueController::QueueController(const std::atomic<std::uint8_t>* quitSignal, CorePool& cores)
    : quitSignal(quitSignal), cores(cores) {}

QueueController::~QueueController() {
  if (!quit()) {
    logger.error("@jobscheduler.quectrl-destructor.stop-jobs-error{Failed to clean up jobs.}");
  }
}

void QueueController::setDirectories(std::string pending, std::string queued,
                                     std::string running, std::string finished) {
  pendingDirectory = std::move(pending);
  queuedDirectory = std::move(queued);
  runningDirectory = std::move(running);
  finishedDirectory = std::move(finished);
}

void QueueController::addQueue(const JobQueue& queue) {
  Guard guard(queuesLock);
  logger.debug("QueueController::addQueue: Added queue: % max-cores: % priority-level: %",
               queue.getName(), queue.getMaxCores(), queue.getPriorityLevel());
  if (hasQueue(queue.getName())) {
    logger.warning(
        "@jobscheduler.add-queue.queue-duplicate{A duplicate queue will not be accepted.};");
    return;
  }
  queues.push_back(queue);
}

bool QueueController::initQueues() {
  Guard guard(queuesLock);
  logger.debug("QueueController::initQueues: Initializing queues.");
  if (!hasQueue(defaultQueueName)) {
    logger.warning("@jobscheduler.init-queue.queues-missing{Adding default queue };");
    JobQueue queue;
    queue.setName(defaultQueueName);
    queue.setAckState(0);
    queue.setMaxCores(0);
    queue.setPriorityLevel(2);
    addQueue(queue);
  }
  for (const JobQueue& queue : queues) {
    ensureDirectory(normalized(queuedDirectory + "/" + queue.getName() + "/"), true);
  }
  sortQueues();
  return true;
}

void QueueController::sortQueues() {
  Guard guard(queuesLock);
  logger.trace("QueueController::sortQueues: Sorting queues based on priority.");
  // list::sort is stable and relinks nodes: no queue (and no job) is copied.
  queues.sort([](const JobQueue& a, const JobQueue& b) {
    return a.getPriorityLevel() > b.getPriorityLevel();
  });
}

bool QueueController::hasQueue(const std::string& name) const {
  for (const JobQueue& queue : queues) {
    if (queue.getName() == name) return true;
  }
  return false;
}

bool QueueController::isQuitRaised() const {
  return quitSignal != nullptr && quitSignal->load() != 0;
}

bool QueueController::run() {
  if (quitSignal == nullptr) {
    logger.fatal("@jobscheduler.quectrl-run.quitsignal-error{QuitSignal is not set properly.};");
    return false;
  }
  logger.debug("QueueController::run: Starting main loop.");
  recover();
  while (!isQuitRaised()) {
    pass();
    const auto wakeUp = std::chrono::steady_clock::now() + kPassInterval;
    while (!isQuitRaised() && std::chrono::steady_clock::now() < wakeUp) {
      std::this_thread::sleep_for(kSleepSlice);
    }
  }
  if (!quit()) {
    logger.error("@jobscheduler.quectrl-run.stop-jobs-error{Failed to clean up jobs.}");
    return false;
  }
  return true;
}

bool QueueController::runOnce() {
  if (quitSignal == nullptr || isQuitRaised()) return false;
  return pass();
}

bool QueueController::pass() {
  Guard guard(queuesLock);
  handleFinishedJobs();
  loadJobsToQueues(pendingDirectory, kRankPending);
  for (JobQueue& queue : queues) queue.sortJobs();

  if ((getRunFlags() & (kRunFlagStopped | kRunFlagPaused)) == 0) {
    for (JobQueue& queue : queues) {
      if (cores.getAvailableCores() < 1) break;
      runPendingJobs(queue);
      queue.setAckState(0);
    }
  }

  if ((getRunFlags() & kRunFlagPaused) != 0) {
    logger.flood("QueueController::run: JobScheduler was paused. Sleeping for a while.");
    setQueuesAckState(2);
  } else if (!getRunningJobs().empty()) {
    logger.flood("QueueController::run: Waiting for a free core. Sleeping for a while.");
    setQueuesAckState(0);
  } else if ((getRunFlags() & kRunFlagStopped) != 0) {
    logger.flood("QueueController::run: JobScheduler was stopped. Sleeping for a while.");
    setQueuesAckState(1);
  } else {
    logger.flood("QueueController::run: No more running job exist. Sleeping for a while.");
    setQueuesAckState(0);
  }
  return true;
}

std::set<std::string> QueueController::getJobSpecFiles(const std::string& directory) {
  std::set<std::string> files;
  std::set<std::string> directories;
  ZelcorCorelib::listDirectory(directory, "*.spec", files, directories);
  // Opening a FIFO or a device named *.spec would block the loop (or worse): only regular files
  // are jobs, and anything else stays where it is.
  for (auto it = files.begin(); it != files.end();) {
    if (ZelcorCorelib::isRegularFile(directory + "/" + *it)) {
      ++it;
      continue;
    }
    logger.warning("@jobscheduler.getJobSpecFiles.not-a-file{\"%\" is not a regular file. Ignored.};",
                   directory + "/" + *it);
    it = files.erase(it);
  }
  if (!files.empty()) {
    logger.debug("JobQueue::getJobSpecFiles: Got % files from %", files.size(), directory);
  }
  return files;
}

void QueueController::loadJobsToQueues(const std::string& directory, std::int32_t rank) {
  Guard guard(queuesLock);
  logger.debug("QueueController::loadJobsToQueues: Checking jobs to load to queues.");
  std::set<std::string> paths;
  for (const std::string& name : getJobSpecFiles(directory)) {
    paths.insert(normalized(directory + "/" + name));
  }
  if (paths.empty()) return;
  std::map<std::string, std::set<std::string>> groups = groupSpecFilesByQueue(paths);
  for (JobQueue& queue : queues) {
    auto group = groups.find(queue.getName());
    if (group == groups.end() || group->second.empty()) continue;
    if ((getRunFlags() & kRunFlagStopped) != 0) continue;
    queue.load(group->second, queuedDirectory, rank);
  }
}

std::map<std::string, std::set<std::string>> QueueController::groupSpecFilesByQueue(
    const std::set<std::string>& paths) {
  std::map<std::string, std::set<std::string>> groups;
  for (const std::string& path : paths) {
    ZelcorCorelib::KeyValueMap spec;
    ZelcorCorelib::readKeyValueFile(path, spec, '\n', '=', false, true);
    // lower_bound: of equal keys, the first in file order.
    auto entry = spec.lower_bound("queue");
    const bool named = entry != spec.end() && entry->first == "queue" &&
                       !entry->second.empty() && hasQueue(entry->second);
    groups[named ? entry->second : defaultQueueName].insert(path);
  }
  return groups;
}

void QueueController::handleFinishedJobs() {
  Guard guard(queuesLock);
  logger.trace("QueueController::handleFinishedJobs: Handling finished jobs.");
  for (JobQueue& queue : queues) {
    std::vector<Job*> finished = queue.getFinishedJobs();
    if (finished.empty()) continue;
    for (Job* job : finished) {
      logger.trace("QueueController::run: (PID=%) Finished running job.", job->getPid());
      logger.trace("QueueController::run: (PID=%) Running post-process.", job->getPid());
      if (!job->postprocess()) {
        logger.warning(
            "@jobscheduler.quectrl-run.postprocess-fail{(PID=%) Failed to run post-process. "
            "Binary=\"%\" Specs=\"%\"};",
            job->getPid(), job->getExecutable(), job->getArguments());
      }
      moveToFinished(*job);
      cores.releaseCore();
    }
    queue.eraseJobs(finished);
  }
}

void QueueController::moveToFinished(Job& job) {
  if (job.move(finishedDirectory)) return;
  // A client that reuses a file name (the same job every night) finds the earlier run's file
  // in the finished folder. Left in the running folder, the finished job would run again
  // after the next restart; it gets a free name instead.
  const std::string name = ZelcorCorelib::fileName(job.getSpecPath());
  if (!ZelcorCorelib::isRegularFile(job.getSpecPath()) ||
      !ZelcorCorelib::exists(normalized(finishedDirectory + "/" + name))) {
    return;
  }
  const std::size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? "" : name.substr(dot);
  for (int suffix = 1; suffix <= 1000; ++suffix) {
    const std::string target =
        normalized(finishedDirectory + "/" + stem + "." + std::to_string(suffix) + extension);
    if (ZelcorCorelib::exists(target)) continue;
    if (!ZelcorCorelib::moveFile(job.getSpecPath(), target, false)) {
      // Taken meanwhile: try the next name; any other failure would only repeat.
      if (ZelcorCorelib::exists(target)) continue;
      return;
    }
    logger.warning(
        "@jobscheduler.quectrl-run.finished-name-taken{\"%\" is taken in the finished "
        "directory; the spec file was stored as \"%\".};",
        name, target);
    job.setSpecPath(target);
    return;
  }
}

void QueueController::runPendingJobs(JobQueue& queue) {
  Guard guard(queuesLock);
  const std::vector<Job*> pending = queue.getPendingJobs();
  if (pending.empty()) return;
  const std::uint32_t maxCores = queue.getMaxCores();
  // Counted once and kept up to date, so that a long snapshot does not re-poll the whole queue
  // for every job; polled again only when the limit seems reached, since jobs may have ended.
  std::size_t running = maxCores != 0 ? queue.getRunningJobs().size() : 0;
  for (Job* job : pending) {
    if (cores.getAvailableCores() == 0) return;
    if (maxCores != 0 && running >= maxCores) {
      running = queue.getRunningJobs().size();
      if (running >= maxCores) return;
    }
    logger.trace("QueueController::runPendingJobs: Running pre-process. file=\"%\"",
                 job->getSpecPath());
    if (!job->preprocess()) {
      logger.warning("@jobscheduler.quectrl-run.preprocess-fail{Failed to run pre-process.};");
    }
    if (runPendingJob(*job)) {
      cores.takeCore();
      ++running;
    } else {
      queue.eraseJob(job);
    }
  }
}

bool QueueController::runPendingJob(Job& job) {
  for (int attempt = 1; attempt <= kStartAttempts; ++attempt) {
    logger.trace("QueueController::runPendingJob: Trying to run job %.", job.getSpecPath());
    if (job.start()) {
      logger.trace("QueueController::runPendingJob: (PID=%) Run Successful.", job.getPid());
      job.move(runningDirectory);
      return true;
    }
    std::this_thread::sleep_for(kStartRetryDelay);
  }
  logger.error("@jobscheduler.quectrl-run.job-start-error{Failed to run job.};");
  return false;
}

std::vector<Job*> QueueController::getRunningJobs() {
  Guard guard(queuesLock);
  std::vector<Job*> running;
  for (JobQueue& queue : queues) {
    std::vector<Job*> ofQueue = queue.getRunningJobs();
    running.insert(running.end(), ofQueue.begin(), ofQueue.end());
  }
  return running;
}

void QueueController::setQueuesAckState(std::int32_t state) {
  for (JobQueue& queue : queues) queue.setAckState(state);
}

bool QueueController::allQueuesInState(std::int32_t state) const {
  for (const JobQueue& queue : queues) {
    if (queue.getAckState() != state) return false;
  }
  return true;
}

void QueueController::ensureDirectory(const std::string& directory, bool create) {
  if (ZelcorCorelib::isDirectory(directory)) return;
  std::string message =
      "@jobscheduler.ensureDirectory.directory-not-found{Unable to find directory %.";
  if (create) {
    message += "Creating directory..";
    ZelcorCorelib::createDirectory(directory);
  }
  message += "};";
  logger.warning(message, directory);
}

}  // namespace Zelcor
