#include "JobQueue.h"

#include <filesystem>
#include <iterator>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "base/NoDestructor.h"
#include "bus/Logger.h"
#include "files/FileUtils.h"

namespace Zelcor {

using ZelcorCorelib::KeyValueMap;

namespace {

// One logger for every queue: a queue is copied by value, and a logger is a bus agent that
// cannot be.
ZelcorCorelib::Logger& queueLogger() {
  static ZelcorCorelib::NoDestructor<ZelcorCorelib::Logger> logger("JobQueue");
  return *logger;
}

}  // namespace

JobQueue::JobQueue() { queueLogger(); }

JobQueue::JobQueue(const JobQueue& other)
    : name(other.name),
      jobs(other.jobs),
      ackState(other.getAckState()),
      maxCores(other.maxCores),
      slurm(other.slurm),
      priorityLevel(other.priorityLevel),
      refusedFiles(other.refusedFiles) {
  rebuildIndex();
}

JobQueue& JobQueue::operator=(const JobQueue& other) {
  if (this == &other) return *this;
  name = other.name;
  jobs = other.jobs;
  setAckState(other.getAckState());
  maxCores = other.maxCores;
  slurm = other.slurm;
  priorityLevel = other.priorityLevel;
  refusedFiles = other.refusedFiles;
  rebuildIndex();
  return *this;
}

std::string JobQueue::commandKey(const Job& job) {
  // The length prefix keeps ("ab", "c") and ("a", "bc") apart whatever bytes they hold.
  const std::string executable = job.getExecutable();
  return std::to_string(executable.size()) + ":" + executable + job.getArguments();
}

std::string JobQueue::listingText(const Job& job) {
  std::string text = job.getExecutable();
  text += ' ';
  text += job.getArguments();
  return text;
}

void JobQueue::visitStartedJobs(const std::function<void(std::uint64_t seq, Job&)>& visit) const {
  for (const auto& [key, job] : started) visit(key.seq, *job);
}

JobQueue::OrderKey JobQueue::orderKeyOf(const Job& job) {
  return OrderKey{job.getRecoveryRank(), job.getPriorityLevel(), job.getCreated(), nextSeq++};
}

void JobQueue::rebuildIndex() {
  commandIndex.clear();
  commandIndex.reserve(jobs.size());
  order.clear();
  positions.clear();
  started.clear();
  listing.clear();
  for (auto it = jobs.begin(); it != jobs.end(); ++it) {
    commandIndex.emplace(it->commandKey, &it->job);
    it->orderKey = orderKeyOf(it->job);
    listing.insert(it->orderKey, listingText(it->job));
    order.emplace_hint(order.end(), it->orderKey, it);
    positions.emplace(&it->job, it);
    if (it->job.getMainProcess().getProcess()) started.emplace(it->orderKey, &it->job);
  }
}

void JobQueue::append(Job job) {
  std::string key = commandKey(job);
  // Kept in order as they come, so that no pass sorts.
  OrderKey place = orderKeyOf(job);
  auto next = order.upper_bound(place);
  auto position = next == order.end() ? jobs.end() : next->second;
  auto added = jobs.insert(position, Entry{std::move(job), std::move(key), place});
  listing.insert(place, listingText(added->job));
  order.emplace_hint(next, std::move(place), added);
  positions.emplace(&added->job, added);
  if (added->job.getMainProcess().getProcess()) started.emplace(added->orderKey, &added->job);
  commandIndex.emplace(added->commandKey, &added->job);
}

std::list<JobQueue::Entry>::iterator JobQueue::forget(std::list<Entry>::iterator entry) {
  auto [first, last] = commandIndex.equal_range(entry->commandKey);
  for (auto it = first; it != last; ++it) {
    if (it->second == &entry->job) {
      commandIndex.erase(it);
      break;
    }
  }
  started.erase(entry->orderKey);
  listing.erase(entry->orderKey);
  order.erase(entry->orderKey);
  positions.erase(&entry->job);
  return jobs.erase(entry);
}

bool JobQueue::load(const std::set<std::string>& files, const std::string& directory,
                    std::int32_t rank) {
  std::map<std::string, SpecFile::Folder> folders;
  std::vector<SpecFile> specs;
  specs.reserve(files.size());
  for (const std::string& file : files) {
    const std::string path = ZelcorCorelib::normalizedPath(file);
    const std::string parent = ZelcorCorelib::folderName(path);
    auto [at, added] = folders.try_emplace(parent);
    if (added) at->second = ZelcorCorelib::platform::SpecFolder::open(parent);
    SpecFile spec = SpecFile::read(
        at->second, ZelcorCorelib::fileName(path),
        [&](const SpecFile::Version& version) { return isRefusedUnchanged(path, version); });
    if (!at->second) spec = SpecFile::attach(nullptr, path, {});
    specs.push_back(std::move(spec));
  }
  return loadSpecs(std::move(specs), directory, rank);
}

bool JobQueue::loadSpecs(std::vector<SpecFile> specs, const std::string& directory,
                         std::int32_t rank) {
  ensureDirectory(directory, true);
  const std::string queueDirectory = getQueueDirectory(directory);
  ensureDirectory(queueDirectory, true);
  ZelcorCorelib::Logger& log = queueLogger();
  log.trace("JobQueue::load: Queueing % jobs to %.", specs.size(), queueDirectory);
  const std::set<std::string> notQueued = loadSpecFiles(std::move(specs), queueDirectory, rank);
  if (!notQueued.empty()) {
    log.warning("JobQueue::load: Found % unreadable job files.", notQueued.size());
  }
  return true;
}

bool JobQueue::isRefusedUnchanged(const std::string& path, const SpecFile::Version& version) const {
  auto refused = refusedFiles.find(path);
  return refused != refusedFiles.end() && refused->second == version;
}

const SpecFile::Folder& JobQueue::queueFolder(const std::string& queueDirectory) {
  if (!folder || folder->getPath() != queueDirectory) {
    folder = ZelcorCorelib::platform::SpecFolder::open(queueDirectory);
  }
  return folder;
}

namespace {

// Why a spec file that was not read in is no job, for its one error line.
std::string whyUnread(const SpecFile& spec) {
  switch (spec.getOutcome()) {
    case SpecFile::Outcome::notRegular:
      return std::string("it is a ") + describeEntryKind(spec.getKind()) + ", not a regular file";
    case SpecFile::Outcome::tooLarge:
      return "it is larger than " + std::to_string(SpecFile::kMaxBytes >> 20) + " MB";
    case SpecFile::Outcome::tooManyRecords:
      return "it cannot be read as key-value text, or holds more than " +
             std::to_string(ZelcorCorelib::kMaxKeyValueRecords) + " records";
    default:
      return "it cannot be opened for reading";
  }
}

}  // namespace

std::set<std::string> JobQueue::loadSpecFiles(std::vector<SpecFile> specs,
                                              const std::string& queueDirectory,
                                              std::int32_t rank) {
  // A spec file already owned by a queued job (start-up recovery lists the queue folders after
  // filling them; a file whose move failed still lies where it was read) would otherwise look
  // like a duplicate of itself and be deleted.
  std::unordered_set<std::string> owned;
  if (!jobs.empty()) {
    owned.reserve(jobs.size());
    for (const Entry& entry : jobs) owned.insert(entry.job.getSpecPath());
  }
  for (auto it = refusedFiles.begin(); it != refusedFiles.end();) {
    it = ZelcorCorelib::exists(it->first) ? std::next(it) : refusedFiles.erase(it);
  }
  for (auto it = stuckFiles.begin(); it != stuckFiles.end();) {
    it = ZelcorCorelib::exists(it->first) ? std::next(it) : stuckFiles.erase(it);
  }
  std::set<std::string> notQueued;
  // The burst's "queued" stamps are committed as a group: one file-system sync for all their
  // data, not one per file. No name is touched twice before the flush.
  const SpecFile::Folder target = queueFolder(queueDirectory);
  struct GroupCommit {
    const SpecFile::Folder& folder;
    ~GroupCommit() {
      if (!folder) return;
      const std::size_t count = folder->deferredRenames();
      if (!folder->flushRenames()) {
        queueLogger().warning(
            "@jobscheduler.load.stamp-commit-fail{Some of % spec files queued in \"%\" could "
            "not be stamped \"queued\" (%); they are queued all the same.};",
            count, folder->getPath(), ZelcorCorelib::platform::errorText(errno));
      }
      folder->deferRenames(false);
    }
  } commit{target};
  // A few files are cheaper synced one by one than by a sync of the whole file system.
  if (target && specs.size() >= kGroupCommitFiles) target->deferRenames(true);
  for (SpecFile& spec : specs) {
    const std::string path = spec.getPath();
    if (!owned.empty() && owned.count(path) != 0) {
      queueLogger().trace("JobQueue::loadSpecFiles: % is queued already.", path);
      continue;
    }
    if (spec.getOutcome() == SpecFile::Outcome::skipped) continue;
    const SpecFile::Version version = spec.getVersion();
    const bool present = spec.getOutcome() != SpecFile::Outcome::missing;
    Job job;
    std::string why;
    bool ok = isFileReadable(spec);
    if (!ok) why = whyUnread(spec);
    if (ok && !(ok = initializeJobFromFile(job, spec))) {
      why = job.getExecutable().empty()
                ? std::string("it names no executable")
                : "its executable \"" + job.getExecutable() + "\" does not exist";
    }
    if (ok && !(why = job.timeLimitProblem()).empty()) ok = false;
    if (ok && !(why = job.outputProblem()).empty()) ok = false;
    job.setRecoveryRank(rank);
    if (ok && insertJob(std::move(job), queueDirectory, why)) {
      refusedFiles.erase(path);
      continue;
    }
    // A file that could not be moved in is logged once and tried again next time.
    if (stuckFiles.count(path) != 0) continue;
    notQueued.insert(path);
    // A duplicate's file has been deleted and reported; a vanished one has nothing to keep.
    if (why.empty() || !present) continue;
    refusedFiles[path] = version;
    reportRejection(path, why);
  }
  return notQueued;
}

void JobQueue::reportRejection(const std::string& path, const std::string& why) {
  queueLogger().error(
      "@jobscheduler.load.spec-refused{Spec file \"%\" is not a job: %. It stays where it is "
      "and is tried again once it changes.};",
      path, why);
}

bool JobQueue::isFileReadable(const SpecFile& spec) {
  switch (spec.getOutcome()) {
    case SpecFile::Outcome::read:
      return true;
    case SpecFile::Outcome::tooLarge:
    case SpecFile::Outcome::tooManyRecords:
      queueLogger().warning(
          "@jobscheduler.getAndCheckMapData.unknown-format{Unable to get key-value mapping from "
          "file \"%\".}",
          spec.getPath());
      return false;
    default:
      queueLogger().warning(
          "@jobscheduler.isFileReadable.file-unreadable{Unable to open file for reading (%).}",
          spec.getPath());
      return false;
  }
}

bool JobQueue::initializeJobFromFile(Job& job, const SpecFile& spec) {
  ZelcorCorelib::Logger& log = queueLogger();
  log.trace("JobQueue::initializeJobFromFile: Creating job using %", spec.getPath());
  job = Job(spec);
  if (!job.configure()) {
    log.error("@jobscheduler.initializeJobFromFile.fail-config-job{Unable to configure job.};");
    return false;
  }
  return true;
}

bool JobQueue::insertJobToQueue(Job job, const std::string& queueDirectory) {
  std::string why;
  return insertJob(std::move(job), queueDirectory, why);
}

bool JobQueue::insertJob(Job job, const std::string& queueDirectory, std::string& why) {
  ZelcorCorelib::Logger& log = queueLogger();
  log.trace("JobQueue::insertJobToQueue: Loading job's specification");
  const bool loaded = job.loadSpec();
  if (!loaded || hasDuplicate(job)) {
    why = loaded ? std::string()
                 : std::string(
                       "its executable or arguments hold a reference between percent "
                       "signs that the configuration cannot resolve");
    log.warning("@jobscheduler.insertJobToQueue.load-spec-fail{Failed. Not including job.");
    return false;
  }
  // A file that cannot be moved in stays where it is and is tried again: queued from
  // elsewhere it would run from a folder no restart looks at for running jobs.
  const std::string folderPath = ZelcorCorelib::normalizedPath(queueDirectory);
  if (ZelcorCorelib::normalizedPath(ZelcorCorelib::folderName(job.getSpecPath()) + "/") !=
          ZelcorCorelib::normalizedPath(folderPath + "/") &&
      !moveIn(job, queueDirectory)) {
    return false;
  }
  // What a client wrote under the scheduler's own keys decides nothing: taken from the pending
  // folder, those entries go.
  if (job.getRecoveryRank() == kRankPending) {
    job.writeSpecValues({{"queued", Job::currentUnixTime()}}, Job::schedulerKeys());
  } else {
    job.writeSpecValue("queued", Job::currentUnixTime());
  }
  append(std::move(job));
  return true;
}

bool JobQueue::moveIn(Job& job, const std::string& queueDirectory) {
  const std::string path = job.getSpecPath();
  auto stuck = stuckFiles.find(path);
  if (stuck != stuckFiles.end()) job.setLastFileFailure(stuck->second);
  if (job.moveToFreeName(queueFolder(queueDirectory)) == ZelcorCorelib::platform::FsResult::ok) {
    stuckFiles.erase(path);
    return true;
  }
  stuckFiles[path] = job.getLastFileFailure();
  return false;
}

bool JobQueue::hasDuplicate(const Job& job) {
  auto [first, last] = commandIndex.equal_range(commandKey(job));
  if (first == last) return false;
  const std::string newcomer = job.getSpecPath();
  bool ownFile = false;
  for (auto it = first; it != last; ++it) {
    if (it->second->getSpecPath() == newcomer) ownFile = true;
  }
  if (!ownFile) job.removeSpecFile();
  queueLogger().warning("JobQueue::hasDuplicate: Detected duplicate job %", newcomer);
  return true;
}

void JobQueue::eraseJob(const Job* job) {
  auto position = positions.find(job);
  if (position == positions.end()) return;
  queueLogger().trace("JobQueue::eraseJob: Removing job % from jobs queue", job->getSpecPath());
  forget(position->second);
}

void JobQueue::eraseJobs(const std::vector<Job*>& jobsToErase) {
  for (const Job* job : jobsToErase) eraseJob(job);
}

Job JobQueue::takeFirstJob() {
  if (jobs.empty()) {
    ZELCOR_THROW(TakeFirstJob_Empty,
                 "@jobscheduler.jobqueue-take-first.empty{Queue \"%\" holds no job.};", name);
  }
  Job first = jobs.front().job;
  forget(jobs.begin());
  return first;
}

bool JobQueue::sortJobs() {
  // Keys taken afresh in list order, so that jobs that tie keep their order; list::sort
  // relinks nodes, so pointers into the list stay valid.
  for (Entry& entry : jobs) entry.orderKey = orderKeyOf(entry.job);
  jobs.sort([](const Entry& a, const Entry& b) { return a.orderKey < b.orderKey; });
  rebuildIndex();
  return true;
}

bool JobQueue::startJob(Job& job, const RunRecords::Pointer& records,
                        std::optional<std::uint32_t> runAs, std::string& why, bool awaitLaunch) {
  const bool ran = job.start(records, name, runAs, why, awaitLaunch, slurm);
  // Followed even when the start failed after a process was made: whatever it says is news.
  followProcess(job);
  return ran;
}

void JobQueue::setJobProcess(Job& job, ChildProcess::Pointer process) {
  job.getMainProcess().setProcess(std::move(process));
  followProcess(job);
}

void JobQueue::followProcess(Job& job) {
  auto position = positions.find(&job);
  if (position == positions.end()) return;
  if (job.getMainProcess().getProcess()) {
    started.emplace(position->second->orderKey, &job);
  } else {
    started.erase(position->second->orderKey);
  }
}

void JobQueue::visitPendingJobs(const std::function<bool(Job&)>& visit) {
  for (Entry& entry : jobs) {
    if (entry.job.getMainProcess().wasStarted()) continue;
    if (!visit(entry.job)) return;
  }
}

std::vector<Job*> JobQueue::getPendingJobs() {
  std::vector<Job*> result;
  visitPendingJobs([&](Job& job) {
    result.push_back(&job);
    return true;
  });
  return result;
}

std::vector<Job*> JobQueue::getRunningJobs() {
  std::vector<Job*> result;
  for (const auto& [key, job] : started) {
    if (job->getMainProcess().isRunning()) result.push_back(job);
  }
  return result;
}

std::vector<Job*> JobQueue::getFinishedJobs() {
  std::vector<Job*> result;
  for (const auto& [key, job] : started) {
    const CommandProcess& process = job->getMainProcess();
    // One that ended before its launch was completed gets its pid stamp and its move to
    // running first, like any other.
    if (process.wasStarted() && !process.isAlive() && !process.getProcess()->hasPendingLaunch()) {
      result.push_back(job);
    }
  }
  return result;
}

Job* JobQueue::findJob(const std::string& fileName) {
  for (Entry& entry : jobs) {
    if (ZelcorCorelib::fileName(entry.job.getSpecPath()) == fileName) return &entry.job;
  }
  return nullptr;
}

std::vector<Job*> JobQueue::getLaunchingJobs() const {
  std::vector<Job*> result;
  for (const auto& [key, job] : started) {
    const ChildProcess::Pointer& process = job->getMainProcess().getProcess();
    if (process && process->hasPendingLaunch()) result.push_back(job);
  }
  return result;
}

std::vector<int> JobQueue::wakeDescriptors(bool& endUnhandled) const {
  std::vector<int> descriptors;
  for (const auto& [key, job] : started) {
    const ChildProcess::Pointer& process = job->getMainProcess().getProcess();
    if (!process) continue;
    const int descriptor = process->getWakeDescriptor();
    if (descriptor >= 0) {
      descriptors.push_back(descriptor);
    } else if (job->holdsCore()) {
      endUnhandled = true;
    }
    // A launch word read by a poll outside the pass: the pipe will not tell of it again.
    if (process->hasPendingLaunch() && process->getPid() != 0) endUnhandled = true;
  }
  return descriptors;
}

std::string JobQueue::getQueueDirectory(const std::string& directory) const {
  return ZelcorCorelib::normalizedPath(directory + "/" + name + "/");
}

void JobQueue::ensureDirectory(const std::string& directory, bool create) {
  ensureDirectory(queueLogger(), directory, create);
}

bool JobQueue::ensureDirectory(ZelcorCorelib::Logger& logger, const std::string& directory,
                               bool create) {
  if (ZelcorCorelib::isDirectory(directory)) return true;
  std::string message =
      "@jobscheduler.ensureDirectory.directory-not-found{Unable to find directory %.";
  if (create) {
    message += "Creating directory..";
    ZelcorCorelib::createDirectory(directory);
  }
  message += "};";
  logger.warning(message, directory);
  return ZelcorCorelib::isDirectory(directory);
}

}  // namespace Zelcor
