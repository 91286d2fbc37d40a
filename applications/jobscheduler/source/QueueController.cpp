#include "QueueController.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iterator>
#include <optional>
#include <thread>
#include <utility>

#include "errors/GlobMatcher.h"
#include "files/FileUtils.h"
#include "files/KeyValueFile.h"
#include "platform/Accounts.h"
#include "platform/Process.h"

namespace Zelcor {

namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr auto kPassInterval = std::chrono::milliseconds(1000);
// The pause between passes is cut into slices so that a quit does not wait out the second.
// With events, everything else wakes the loop by itself: the slice only bounds a quit's wait.
constexpr auto kSleepSlice = std::chrono::milliseconds(20);
constexpr auto kEventSleepSlice = std::chrono::milliseconds(250);

}  // namespace

QueueController::QueueController(const std::atomic<std::uint8_t>* quitSignal)
    : QueueController(quitSignal, CorePool::instance()) {}

QueueController::QueueController(const std::atomic<std::uint8_t>* quitSignal, CorePool& cores)
    : quitSignal(quitSignal), cores(cores) {
  // Made here, so that the listener's threads never see it change.
  wakeOpen = wakeSignal.open();
}

QueueController::~QueueController() {
  if (!quit()) {
    logger.error("@jobscheduler.quectrl-destructor.stop-jobs-error{Failed to clean up jobs.}");
  }
}

void QueueController::setDirectories(std::string pending, std::string queued, std::string running,
                                     std::string finished) {
  pendingDirectory = std::move(pending);
  queuedDirectory = std::move(queued);
  runningDirectory = std::move(running);
  finishedDirectory = std::move(finished);
}

void QueueController::addQueue(const JobQueue& queue) {
  Change change(*this);
  addQueueLocked(queue);
}

void QueueController::addQueueLocked(const JobQueue& queue) {
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
  Change change(*this);
  logger.debug("QueueController::initQueues: Initializing queues.");
  if (!hasQueue(defaultQueueName)) {
    logger.warning("@jobscheduler.init-queue.queues-missing{Adding default queue };");
    JobQueue queue;
    queue.setName(defaultQueueName);
    queue.setAckState(0);
    queue.setMaxCores(0);
    queue.setPriorityLevel(2);
    addQueueLocked(queue);
  }
  for (const JobQueue& queue : queues) {
    ensureDirectory(ZelcorCorelib::normalizedPath(queuedDirectory + "/" + queue.getName() + "/"),
                    true);
  }
  sortQueuesLocked();
  return true;
}

void QueueController::sortQueues() {
  Change change(*this);
  sortQueuesLocked();
}

void QueueController::sortQueuesLocked() {
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
  if (wakeOnEvents) startWatching();
  launchesAcrossPasses = wakeOnEvents;
  recover();
  while (!isQuitRaised()) {
    pass();
    waitForNextPass();
  }
  if (!quit()) {
    logger.error("@jobscheduler.quectrl-run.stop-jobs-error{Failed to clean up jobs.}");
    return false;
  }
  return true;
}

void QueueController::startWatching() {
  if (!wakeOpen) {
    logger.warning(
        "@jobscheduler.quectrl-run.no-wake-signal{Control commands take effect at the next "
        "pass: no wake-up descriptor could be made.};");
  }
  std::string error;
  if (!pendingWatch.watch(pendingDirectory, error)) {
    logger.warning(
        "@jobscheduler.quectrl-run.no-folder-watch{New files in \"%\" are seen at the pass "
        "once a second: the folder cannot be watched (%).};",
        pendingDirectory, error);
  }
}

void QueueController::waitForNextPass() {
  const auto wakeUp = std::chrono::steady_clock::now() + kPassInterval;
  const auto slice = wakeOnEvents ? kEventSleepSlice : kSleepSlice;
  while (!isQuitRaised()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        wakeUp - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    std::vector<int> descriptors;
    if (wakeOnEvents) descriptors = {pendingWatch.descriptor(), wakeSignal.descriptor()};
    bool endUnhandled = false;
    {
      Guard guard(queuesLock);
      for (const JobQueue& queue : queues) {
        std::vector<int> ofQueue = queue.wakeDescriptors(endUnhandled);
        descriptors.insert(descriptors.end(), ofQueue.begin(), ofQueue.end());
      }
    }
    // A job whose end a poll read after the pass took the ended ones (one that ended while it
    // was being started, or while another job started) has nothing left to wake the loop; nor
    // has the rest of a burst that one pass did not take in.
    if (endUnhandled || std::exchange(intakeLeft, false)) return;
    // A job's end is news at once; the slices keep a quit from waiting out the second.
    if (!ZelcorCorelib::platform::waitReadable(descriptors, std::min(left, slice)).empty()) {
      // Read now, so that what arrives during the pass wakes the next one: a burst of files
      // costs one pass for all that are there, and one more for the rest.
      pendingWatch.drain();
      wakeSignal.drain();
      return;
    }
  }
}

bool QueueController::runOnce() {
  if (quitSignal == nullptr || isQuitRaised()) return false;
  return pass();
}

void QueueController::forEachFolder(
    const std::function<void(const ZelcorCorelib::platform::SpecFolder&)>& visit) const {
  for (const auto& [path, folder] : folders) {
    if (folder) visit(*folder);
  }
  for (const JobQueue& queue : queues) {
    if (queue.getFolder()) visit(*queue.getFolder());
  }
}

void QueueController::deferFolderSyncs(bool defer) {
  forEachFolder(
      [defer](const ZelcorCorelib::platform::SpecFolder& folder) { folder.deferSyncs(defer); });
}

bool QueueController::flushFolderSyncs() {
  bool ok = true;
  forEachFolder([&ok](const ZelcorCorelib::platform::SpecFolder& folder) {
    if (!folder.flushSyncs()) ok = false;
  });
  return ok;
}

bool QueueController::pass() {
  Change change(*this);
  // One folder sync per folder for all of a pass's moves and stamps, paid before anything
  // that relies on them and at the end of the pass at the latest. Folders first opened during
  // the pass (a new queue's) sync as they go.
  deferFolderSyncs(true);
  struct Undefer {
    QueueController& controller;
    ~Undefer() { controller.deferFolderSyncs(false); }
  } undefer{*this};
  completeLaunchesLocked(false);
  handleFinishedJobsLocked();
  loadJobsToQueuesLocked(pendingDirectory, kRankPending);
  // After the intake, so that a job submitted a moment ago can be cancelled before it starts.
  handleCancelsLocked();

  if ((getRunFlags() & (kRunFlagStopped | kRunFlagPaused)) == 0) {
    for (JobQueue& queue : queues) {
      if (cores.getAvailableCores() < 1) break;
      runPendingJobsLocked(queue);
      queue.setAckState(0);
    }
  }

  if ((getRunFlags() & kRunFlagPaused) != 0) {
    logger.flood("QueueController::run: JobScheduler was paused. Sleeping for a while.");
    // Stopped as well: the stop is done once no job runs, paused or not.
    const bool stopDone = (getRunFlags() & kRunFlagStopped) != 0 && getRunningJobsLocked().empty();
    setQueuesAckState(stopDone ? 3 : 2);
  } else if (!getRunningJobsLocked().empty()) {
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

const SpecFile::Folder& QueueController::folderFor(const std::string& directory) {
  const std::string path = ZelcorCorelib::normalizedPath(directory);
  auto held = folders.find(path);
  if (held != folders.end() && held->second) return held->second;
  SpecFile::Folder folder = ZelcorCorelib::platform::SpecFolder::open(path);
  // A folder that is not there yet is looked for again next time.
  return folders[path] = std::move(folder);
}

void QueueController::reportNotRegular(const std::string& path,
                                       ZelcorCorelib::platform::EntryKind kind) {
  auto [entry, added] = notRegular.try_emplace(path, kind);
  if (!added) return;
  logger.error(
      "@jobscheduler.load.spec-not-regular{Spec file \"%\" is not a job: it is a %, not a regular "
      "file. It stays where it is.};",
      path, describeEntryKind(kind));
}

std::set<std::string> QueueController::getJobSpecFiles(const std::string& directory) {
  using ZelcorCorelib::platform::EntryKind;
  std::set<std::string> files;
  const SpecFile::Folder& folder = folderFor(directory);
  const auto entries = folder ? folder->list() : std::nullopt;
  const std::string prefix = ZelcorCorelib::normalizedPath(directory) + "/";
  std::set<std::string> stillNotRegular;
  if (entries) {
    for (const auto& [name, kind] : *entries) {
      if (!ZelcorCorelib::GlobMatcher::match(name, "*.spec")) continue;
      // Opening a FIFO or a device named *.spec would block the loop (or worse), and a link
      // would be followed wherever it leads: only regular files are jobs.
      if (kind == EntryKind::regular) {
        files.insert(name);
      } else {
        reportNotRegular(prefix + name, kind);
        stillNotRegular.insert(prefix + name);
      }
    }
  }
  // Reported entries of this folder are forgotten once they are gone (or became files), so
  // that one coming back is reported again.
  for (auto it = notRegular.lower_bound(prefix);
       it != notRegular.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
    it = stillNotRegular.count(it->first) != 0 ? std::next(it) : notRegular.erase(it);
  }
  if (!entries) return files;
  if (!files.empty()) {
    logger.debug("JobQueue::getJobSpecFiles: Got % files from %", files.size(), directory);
  }
  return files;
}

void QueueController::loadJobsToQueues(const std::string& directory, std::int32_t rank) {
  Change change(*this);
  loadJobsToQueuesLocked(directory, rank);
}

void QueueController::loadJobsToQueuesLocked(const std::string& directory, std::int32_t rank) {
  logger.debug("QueueController::loadJobsToQueues: Checking jobs to load to queues.");
  const std::set<std::string> names = getJobSpecFiles(directory);
  // While stopped nothing would be loaded: the files are not even read.
  if (names.empty() || (getRunFlags() & kRunFlagStopped) != 0) return;
  // A burst is taken in over several passes, one right after the other, so that a status
  // request or an ended job never waits for the whole of it.
  std::size_t taken = names.size();
  if (wakeOnEvents && rank == kRankPending && names.size() > intakePerPass) {
    taken = intakePerPass;
    intakeLeft = true;
  }
  const SpecFile::Folder& folder = folderFor(directory);
  std::map<std::string, std::vector<SpecFile>> groups;
  for (const std::string& name : names) {
    if (taken-- == 0) break;
    const std::string path = ZelcorCorelib::normalizedPath(directory + "/" + name);
    // Each file is read here, once; the queue builds its job from what was read.
    SpecFile spec = SpecFile::read(folder, name, [&](const SpecFile::Version& version) {
      if (auto refused = refusedOwners.find(path);
          refused != refusedOwners.end() && refused->second == version) {
        return true;
      }
      for (const JobQueue& queue : queues) {
        if (queue.isRefusedUnchanged(path, version)) return true;
      }
      return false;
    });
    if (spec.getOutcome() == SpecFile::Outcome::notRegular) {
      reportNotRegular(path, spec.getKind());
      continue;
    }
    if (spec.getOutcome() == SpecFile::Outcome::skipped) continue;
    if (rank == kRankPending && spec.isRead()) {
      if (const std::string why = ownerRefusal(spec); !why.empty()) {
        auto [entry, added] = refusedOwners.insert_or_assign(path, spec.getVersion());
        (void)entry;
        (void)added;
        logger.error(
            "@jobscheduler.load.spec-owner-refused{Spec file \"%\" is not a job: %. It stays where "
            "it is and is tried again once it changes.};",
            path, why);
        continue;
      }
      refusedOwners.erase(path);
    }
    groups[queueNameFor(spec)].push_back(std::move(spec));
  }
  if (rank == kRankPending) {
    for (auto it = refusedOwners.begin(); it != refusedOwners.end();) {
      it = names.count(ZelcorCorelib::fileName(it->first)) != 0 ? std::next(it)
                                                                : refusedOwners.erase(it);
    }
  }
  for (JobQueue& queue : queues) {
    auto group = groups.find(queue.getName());
    if (group == groups.end() || group->second.empty()) continue;
    queue.loadSpecs(std::move(group->second), queuedDirectory, rank);
  }
}

std::map<std::string, std::set<std::string>> QueueController::groupSpecFilesByQueue(
    const std::set<std::string>& paths) {
  std::map<std::string, std::set<std::string>> groups;
  for (const std::string& path : paths) {
    groups[queueNameFor(SpecFile::readPath(path))].insert(path);
  }
  return groups;
}

std::optional<std::uint32_t> QueueController::runAsFor(const Job& job) const {
  if (!runAsOwner || !ZelcorCorelib::platform::isPrivileged()) return std::nullopt;
  const SpecFile& spec = job.getSpecFile();
  if (!spec.isOwnerKnown() || spec.getOwnerUid() == 0) return std::nullopt;
  return spec.getOwnerUid();
}

std::string QueueController::ownerRefusal(const SpecFile& spec) const {
  // Only who a job runs as is at stake: nothing is switched otherwise.
  if (!runAsOwner || !ZelcorCorelib::platform::isPrivileged()) return {};
  // A second name of the file may be another user's way to hand in a file not theirs.
  if (spec.getLinks() > 1) {
    std::string why = "it has ";
    why += std::to_string(spec.getLinks());
    why += " hard links";
    return why;
  }
  if (spec.getOwnerUid() == 0 || ZelcorCorelib::platform::accountOf(spec.getOwnerUid())) return {};
  std::string why = "its owner (uid ";
  why += std::to_string(spec.getOwnerUid());
  why += ") has no account";
  return why;
}

std::string QueueController::queueNameFor(const SpecFile& spec) const {
  const std::optional<std::string> queue = spec.firstValue("queue");
  return queue && !queue->empty() && hasQueue(*queue) ? *queue : defaultQueueName;
}

void QueueController::handleFinishedJobs() {
  Change change(*this);
  handleFinishedJobsLocked();
}

void QueueController::handleFinishedJobsLocked() {
  logger.trace("QueueController::handleFinishedJobs: Handling finished jobs.");
  std::vector<std::string> doneRuns;
  for (JobQueue& queue : queues) {
    for (Job* job : queue.getRunningJobs()) {
      const ChildProcess::Pointer& process = job->getMainProcess().getProcess();
      // A cluster's job starts when the cluster runs it, not when it was submitted.
      if (auto started = process ? process->takeClusterStart() : std::nullopt) {
        job->writeSpecValue("started", std::to_string(*started));
      }
      if (auto trouble = process ? process->takeClusterTrouble() : std::nullopt) {
        noteClusterTrouble(*job, *trouble);
      }
      if (auto unwritten = process ? process->takeUnwrittenOutcome() : std::nullopt) {
        logger.error(
            "@jobscheduler.quectrl-run.outcome-unwritten{Job \"%\" ended with exit status %, but "
            "its supervisor cannot record that yet (%); it keeps trying, and the job counts as "
            "running until it can.};",
            job->getSpecPath(), unwritten->second,
            ZelcorCorelib::platform::errorText(unwritten->first));
      }
    }
    std::vector<Job*> finished = queue.getFinishedJobs();
    if (finished.empty()) continue;
    std::vector<Job*> done;
    for (Job* job : finished) {
      if (!job->isEndLogged()) {
        // The process has ended: its core is free, whatever happens to its files. (A cluster's
        // job held none.)
        if (job->holdsCore()) cores.releaseCore();
        job->setHoldsCore(false);
        job->setEndLogged();
        logger.trace("QueueController::run: (PID=%) Finished running job.", job->getPid());
        logJobEnd(*job);
      }
      const ChildProcess::Pointer& process = job->getMainProcess().getProcess();
      const std::optional<RunRecord> outcome = process ? process->getOutcome() : std::nullopt;
      if (!outcome || outcome->endReason == RunRecord::kReasonShutdown) {
        requeueLocked(queue, *job);
        continue;
      }
      if (finishJobLocked(*job)) done.push_back(job);
    }
    for (const Job* job : done) {
      if (!job->getRunId().empty()) doneRuns.push_back(job->getRunId());
    }
    queue.eraseJobs(done);
  }
  // Only now may the records go: until its file is durably in finished, a record is what says
  // the job ran. A folder that cannot be synced keeps them; a restart sorts them out.
  if (doneRuns.empty() || !records || !flushFolderSyncs()) return;
  for (const std::string& runId : doneRuns) records->remove(runId);
}

void QueueController::noteClusterTrouble(const Job& job, const std::string& trouble) {
  // Once for all the jobs it holds up: an outage reaches every supervisor.
  if (!trouble.empty() && clusterTrouble.empty()) {
    logger.warning(
        "@jobscheduler.quectrl-slurm.no-answer{The Slurm cluster does not answer (job \"%\": %); "
        "the jobs' supervisors keep asking, and the scheduler goes on.};",
        job.getSpecPath(), trouble);
  } else if (trouble.empty() && !clusterTrouble.empty()) {
    logger.info("@jobscheduler.quectrl-slurm.answers{The Slurm cluster answers again.};");
  }
  clusterTrouble = trouble;
}

void QueueController::logJobEnd(const Job& job) {
  const ChildProcess::Pointer& process = job.getMainProcess().getProcess();
  const std::optional<RunRecord> outcome = process ? process->getOutcome() : std::nullopt;
  if (!outcome) {
    logger.warning(
        "@jobscheduler.quectrl-run.supervisor-lost{The supervisor of job \"%\" ended without "
        "recording how the job ended; the job runs again.};",
        job.getSpecPath());
    return;
  }
  if (outcome->endReason == RunRecord::kReasonNotStarted) {
    logger.error(
        "@jobscheduler.quectrl-run.job-not-started{Job \"%\" could not be started: the program "
        "\"%\" cannot be executed (%); exit status %. It is not tried again.};",
        job.getSpecPath(), job.getExecutable(), outcome->error, outcome->exitStatus);
  } else if (outcome->endReason == RunRecord::kReasonShutdown) {
    logger.info(
        "@jobscheduler.quectrl-run.job-stopped{Job \"%\" was stopped for a shutdown (exit status "
        "%); it runs again.};",
        job.getSpecPath(), outcome->exitStatus);
  } else {
    logger.info("@jobscheduler.quectrl-run.job-ended{Job \"%\" ended with exit status % (%).};",
                job.getSpecPath(), outcome->exitStatus, outcome->endReason);
  }
}

bool QueueController::finishJobLocked(Job& job) {
  logger.trace("QueueController::run: (PID=%) Running post-process.", job.getPid());
  const std::optional<std::string> stamped = job.getSpecFile().firstValue("exit-status");
  const std::string status = std::to_string(job.getMainProcess().getExitCode());
  if (!stamped || *stamped != status || !job.getSpecFile().firstValue("ended")) {
    const std::string before = job.getLastFileFailure();
    if (!job.postprocess()) {
      // Once per failure: the stamp is tried again at every pass.
      if (job.getLastFileFailure() != before) {
        logger.warning(
            "@jobscheduler.quectrl-run.postprocess-fail{(PID=%) Failed to run post-process. "
            "Binary=\"%\" Specs=\"%\"};",
            job.getPid(), job.getExecutable(), job.getArguments());
      }
      return false;
    }
  }
  const std::string name = ZelcorCorelib::fileName(job.getSpecPath());
  if (job.moveToFreeName(folderFor(finishedDirectory)) != ZelcorCorelib::platform::FsResult::ok) {
    return false;
  }
  if (ZelcorCorelib::fileName(job.getSpecPath()) != name) {
    logger.warning(
        "@jobscheduler.quectrl-run.finished-name-taken{\"%\" is taken in the finished "
        "directory; the spec file was stored as \"%\".};",
        name, job.getSpecPath());
  }
  return true;
}

void QueueController::requeueLocked(JobQueue& queue, Job& job) {
  const std::string runId = job.getRunId();
  const ChildProcess::Pointer& process = job.getMainProcess().getProcess();
  // Whatever of the job may still run without its supervisor goes before it runs again.
  if (process && records && !runId.empty()) {
    if (auto record = records->read(runId); record && record->launched && !record->ended &&
                                            record->bootId == ZelcorCorelib::platform::bootId()) {
      const auto ticks = ZelcorCorelib::platform::processStartTicks(
          static_cast<ZelcorCorelib::platform::ProcessId>(record->jobPid));
      if (record->jobPid != 0 && ticks && *ticks == record->jobStart) {
        ZelcorCorelib::platform::signalProcessGroup(
            static_cast<ZelcorCorelib::platform::ProcessId>(record->jobPid), SIGKILL);
      }
    }
  }
  if (records && !runId.empty()) records->remove(runId);
  queue.setJobProcess(job, nullptr);
  job.setHoldsCore(false);
  job.setEndLogged(false);
  logger.trace("QueueController::recover: Recovered job %, requeueing the job.", job.getSpecPath());
  job.moveToFreeName(folderFor(queue.getQueueDirectory(queuedDirectory)));
}

void QueueController::runPendingJobs(JobQueue& queue) {
  Change change(*this);
  runPendingJobsLocked(queue);
}

void QueueController::runPendingJobsLocked(JobQueue& queue) {
  const std::uint32_t maxCores = queue.getMaxCores();
  // Counted once and kept up to date; polled again only when the limit seems reached, since
  // jobs may have ended.
  std::size_t running = maxCores != 0 ? queue.getRunningJobs().size() : 0;
  // Only as far into the queue as there are cores: a long queue costs a pass nothing more.
  // The supervisors of all the jobs that get a core are started first, then their launches
  // are awaited (or left to later passes): one job's supervisor starts up while the next
  // job's start is written.
  std::vector<std::pair<Job*, std::string>> launching;
  // A cluster's jobs take none of this machine's cores: only the queue's own limit holds them.
  const bool local = !queue.getSlurm();
  queue.visitPendingJobs([&](Job& job) {
    if (local && cores.getAvailableCores() == 0) return false;
    if (maxCores != 0 && running >= maxCores) {
      running = queue.getRunningJobs().size();
      if (running >= maxCores) return false;
    }
    logger.trace("QueueController::runPendingJob: Trying to run job %.", job.getSpecPath());
    std::string before = job.getStartFailure();
    std::string why;
    if (!queue.startJob(job, records, runAsFor(job), why, false)) {
      reportStartFailure(job, before, why);
      return true;
    }
    if (local) {
      cores.takeCore();
      job.setHoldsCore(true);
    }
    ++running;
    launching.emplace_back(&job, std::move(before));
    return true;
  });
  // A cluster's submission may wait out its controller: never within a pass.
  if (launchesAcrossPasses || !local) return;
  for (auto& [job, before] : launching) completeStartLocked(*job, before);
}

void QueueController::completeStartLocked(Job& job, const std::string& before) {
  std::string why;
  if (!job.completeStart(why)) {
    if (job.holdsCore()) cores.releaseCore();
    job.setHoldsCore(false);
    reportStartFailure(job, before, why);
    return;
  }
  logger.trace("QueueController::runPendingJob: (PID=%) Run Successful.", job.getPid());
  job.moveToFreeName(folderFor(runningDirectory));
  // A cancel that came while the launch was unheard of.
  if (job.isCancelRequested()) job.getMainProcess().getProcess()->requestCancel();
}

std::optional<std::string> QueueController::cancel(const std::string& name,
                                                   std::chrono::milliseconds wait) {
  auto request = std::make_shared<CancelRequest>();
  request->name = name;
  std::future<std::string> answer = request->answer.get_future();
  {
    std::lock_guard<std::mutex> guard(cancelLock);
    cancelRequests.push_back(request);
  }
  wake();
  if (answer.wait_for(wait) != std::future_status::ready) return std::nullopt;
  try {
    return answer.get();
  } catch (const std::future_error&) {
    return std::nullopt;
  }
}

void QueueController::handleCancelsLocked() {
  std::vector<std::shared_ptr<CancelRequest>> requests;
  {
    std::lock_guard<std::mutex> guard(cancelLock);
    requests.swap(cancelRequests);
  }
  for (const auto& request : requests) request->answer.set_value(cancelLocked(request->name));
}

std::string QueueController::cancelLocked(const std::string& name) {
  std::string fileName = name;
  if (fileName.size() <= 5 || fileName.compare(fileName.size() - 5, 5, ".spec") != 0) {
    fileName += ".spec";
  }
  for (JobQueue& queue : queues) {
    Job* job = queue.findJob(fileName);
    if (job == nullptr) continue;
    if (job->getMainProcess().wasStarted()) {
      if (!job->getMainProcess().isAlive()) {
        return "ended \"" + fileName + "\" has ended already; it is being filed as finished";
      }
      job->setCancelRequested();
      job->getMainProcess().getProcess()->requestCancel();
      logger.info(
          "@jobscheduler.quectrl-cancel.running{Job \"%\" is cancelled: it gets SIGTERM, and "
          "SIGKILL if it is still there after the kill grace.};",
          job->getSpecPath());
      return "cancelling \"" + fileName +
             "\" runs: it gets SIGTERM now, and SIGKILL after the kill grace";
    }
    // Never started: it goes to the finished folder as it is, with why and when.
    if (!job->writeSpecValues({{"ended", Job::currentUnixTime()}, {"end-reason", "cancelled"}})) {
      return "unknown \"" + fileName + "\" could not be stamped (" + job->getLastFileFailure() +
             "); it stays queued";
    }
    if (job->moveToFreeName(folderFor(finishedDirectory)) !=
        ZelcorCorelib::platform::FsResult::ok) {
      return "unknown \"" + fileName + "\" could not be moved to the finished folder (" +
             job->getLastFileFailure() + "); it stays queued, and may start";
    }
    logger.info("@jobscheduler.quectrl-cancel.queued{Job \"%\" is cancelled before it started.};",
                job->getSpecPath());
    queue.eraseJob(job);
    return "cancelled \"" + fileName + "\" had not started; it is in the finished folder";
  }
  return "unknown no queued or running job has the spec file \"" + fileName + "\"";
}

void QueueController::completeLaunchesLocked(bool wait) {
  for (JobQueue& queue : queues) {
    for (Job* job : queue.getLaunchingJobs()) {
      const ChildProcess::Pointer& process = job->getMainProcess().getProcess();
      // A cluster's submission is not waited for even then: its supervisor goes on alone, and
      // the next start-up finds it by its record.
      if ((!wait || process->isSlurmRun()) && !process->isLaunchSettled()) continue;
      // A start that went through left the job's last failure as it was before the start.
      completeStartLocked(*job, job->getStartFailure());
    }
  }
}

void QueueController::reportStartFailure(const Job& job, const std::string& before,
                                         const std::string& why) {
  // Nothing ran; the job keeps its place and is tried again next pass.
  if (why == before) return;
  logger.error(
      "@jobscheduler.quectrl-run.job-start-error{Failed to run job.}; \"%\" stays queued: %",
      job.getSpecPath(), why);
}

std::vector<Job*> QueueController::getRunningJobs() {
  Guard guard(queuesLock);
  return getRunningJobsLocked();
}

std::vector<Job*> QueueController::getRunningJobsLocked() {
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
    const std::int32_t ack = queue.getAckState();
    // 3 is stopped and paused at once: it answers a wait for either.
    if (state == 0 ? ack != 0 : (ack & state) != state) return false;
  }
  return true;
}

void QueueController::ensureDirectory(const std::string& directory, bool create) {
  JobQueue::ensureDirectory(logger, directory, create);
}

}  // namespace Zelcor
