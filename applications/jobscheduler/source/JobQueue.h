// One named queue of the scheduler: owns the jobs queued to it, keeps them in scheduling order,
// turns spec files into queued jobs (moving each file into the queue's own folder and stamping
// "queued"), refuses duplicates, and tells which of its jobs are pending, running or finished.
// The queue controller owns its queues by value and calls everything here; a queue never
// starts, stops or finishes a job itself.
// Threads: used by the scheduling thread; the listener thread only reads getAckState, which is
// a single atomic word. Nothing else locks.
// Ownership: the jobs live in the queue. Pointers handed out (get*Jobs) stay valid until that
// job is erased or taken; sorting relinks the list and moves no job. A copy of the queue holds
// copies of the jobs (sharing their running children, see Job). The duplicate index assumes
// that executable and arguments of a queued job do not change while it is queued.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Job.h"
#include "JobListing.h"
#include "bus/Logger.h"
#include "errors/Exception.h"
#include "files/KeyValueFile.h"

namespace Zelcor {

class JobQueue : public ZelcorCorelib::Throws {
 public:
  ZELCOR_EXCEPTION(TakeFirstJob_Empty);

  static constexpr const char* kDefaultName = "queue_normal";
  // The recovery rank of a job taken from the pending folder.
  static constexpr std::int32_t kRankPending = 1;

  JobQueue();
  JobQueue(const JobQueue& other);
  JobQueue& operator=(const JobQueue& other);
  ~JobQueue() override = default;

  const std::string& getName() const { return name; }
  void setName(std::string newName) { name = std::move(newName); }
  // 0 running normally, 1 stopped, 2 paused: the run state the scheduling loop last applied.
  std::int32_t getAckState() const { return ackState.load(std::memory_order_relaxed); }
  void setAckState(std::int32_t state) { ackState.store(state, std::memory_order_relaxed); }
  // The most jobs of this queue that may run at once; 0: no limit of its own.
  std::uint32_t getMaxCores() const { return maxCores; }
  // Set: the queue's jobs run on a Slurm cluster and take none of this machine's cores.
  const std::optional<SlurmSettings>& getSlurm() const { return slurm; }
  void setSlurm(std::optional<SlurmSettings> settings) { slurm = std::move(settings); }
  void setMaxCores(std::uint32_t cores) { maxCores = cores; }
  std::int32_t getPriorityLevel() const { return priorityLevel; }
  void setPriorityLevel(std::int32_t level) { priorityLevel = level; }

  // Queues every readable, valid, non-duplicate spec file of files (full paths) into this queue
  // with recovery rank rank, creating directory and the queue's folder under it as needed.
  // Files that fail stay where they are (a duplicate's file is deleted) and are counted in one
  // warning; each gets one error naming it and the reason. Such a file is tried again only once
  // it has changed (size, time written or permissions), so that a bad file left in the pending
  // folder is neither re-read nor reported on every pass. Paths that a job of this queue
  // already owns are skipped: they are queued already. Always true.
  bool load(const std::set<std::string>& files, const std::string& directory, std::int32_t rank);
  // The same for spec files the caller has read in already (the controller reads each once).
  bool loadSpecs(std::vector<SpecFile> specs, const std::string& directory, std::int32_t rank);
  // The work of load for the queue's folder queueDirectory; the paths that were not queued.
  std::set<std::string> loadSpecFiles(std::vector<SpecFile> specs,
                                      const std::string& queueDirectory, std::int32_t rank);
  // True when the file at path was refused before as it is now: it is not read again.
  bool isRefusedUnchanged(const std::string& path, const SpecFile::Version& version) const;
  // Loads the job's spec, refuses a duplicate, moves the spec file into queueDirectory (a failed
  // move leaves it where it is, and the job is queued all the same), stamps "queued" and
  // appends the job. False when the spec file does not load or the job is a duplicate.
  bool insertJobToQueue(Job job, const std::string& queueDirectory);
  // True when a job of this queue runs the same command; then the newcomer's spec file is
  // deleted, unless it is the very file that queued job owns.
  bool hasDuplicate(const Job& job);

  // Removes that very job (not an equal one); a pointer not into this queue does nothing.
  void eraseJob(const Job* job);
  void eraseJobs(const std::vector<Job*>& jobsToErase);
  // The first job in order, removed from the queue. Throws TakeFirstJob_Empty on an empty
  // queue.
  Job takeFirstJob();
  // The order jobs are kept in as they are added (so nothing else need sort): recovered jobs
  // first (higher recoveryRank), then higher priority, then older "created" text, then the
  // order they came in (OrderKey). sortJobs restores it after a job's keys changed; always true.
  bool sortJobs();

  // Starts job, one of this queue's pending jobs, as Job::start does; a started job is kept
  // among the few the queue looks at for news, so that a pass does not walk every queued job.
  bool startJob(Job& job, const RunRecords::Pointer& records, std::optional<std::uint32_t> runAs,
                std::string& why, bool awaitLaunch = true);
  // Gives job, one of this queue's, the process of a run found at recovery, or takes it away
  // (nullptr) before the job runs again.
  void setJobProcess(Job& job, ChildProcess::Pointer process);
  // The pending jobs in list order, to visit until visit returns false.
  void visitPendingJobs(const std::function<bool(Job&)>& visit);

  // In list order; each polls the job's process. Pending: never started; running: runs now;
  // finished: started and no longer alive, its launch completed.
  std::vector<Job*> getPendingJobs();
  std::vector<Job*> getRunningJobs();
  std::vector<Job*> getFinishedJobs();
  // Started without awaiting their launches, which are still to be completed; polls nothing.
  std::vector<Job*> getLaunchingJobs() const;
  // The job whose spec file has the name fileName; nullptr when none. Walks the queue.
  Job* findJob(const std::string& fileName);
  std::size_t getJobCount() const { return jobs.size(); }
  // What the scheduling loop may wait on for news of this queue's running jobs; polls nothing.
  // endUnhandled is set when a job still holding its core has already been seen ending (by a
  // poll after the pass took the ended jobs), or its launch word was read so: no descriptor
  // will tell of it again.
  std::vector<int> wakeDescriptors(bool& endUnhandled) const;
  bool isEmpty() const { return jobs.empty(); }

  // directory + "/" + name + "/", normalised.
  std::string getQueueDirectory(const std::string& directory) const;
  // Warns when directory is missing and, with create, makes it with its parents.
  void ensureDirectory(const std::string& directory, bool create);
  // The same through another logger (the controller's, start-up's); true when the folder is
  // there afterwards.
  static bool ensureDirectory(ZelcorCorelib::Logger& logger, const std::string& directory,
                              bool create);
  // Whether the spec file was read in; a warning naming it when not.
  bool isFileReadable(const SpecFile& spec);
  // Builds and configures the job from the spec file's records.
  bool initializeJobFromFile(Job& job, const SpecFile& spec);
  // From this many files on, one load stamps them with a group commit (one sync of the file
  // system for all) instead of a sync each.
  static constexpr std::size_t kGroupCommitFiles = 16;
  // The queue's folder as last opened (nullptr before the first job came in).
  const SpecFile::Folder& getFolder() const { return folder; }

  // For the status listing: every job in run order, as a copy that never changes, and the
  // started jobs (those given a process) in run order with their place in it (seq).
  JobListing::Shared shareListing() { return listing.share(); }
  void visitStartedJobs(const std::function<void(std::uint64_t seq, Job&)>& visit) const;
  // What the listing shows of a job.
  static std::string listingText(const Job& job);

 private:
  using OrderKey = JobOrderKey;
  struct Entry {
    Job job;
    std::string commandKey;  // as indexed when the job was queued
    OrderKey orderKey;       // as placed when the job was queued
  };
  // The queue's folder, held open while it stays the same.
  const SpecFile::Folder& queueFolder(const std::string& queueDirectory);
  // insertJobToQueue, with the reason of a refusal in why (empty for a duplicate).
  bool insertJob(Job job, const std::string& queueDirectory, std::string& why);
  // Moves job's spec file into the queue's folder under a free name; false (logged once per
  // file while the failure repeats) when it cannot be moved: it is tried again next time.
  bool moveIn(Job& job, const std::string& queueDirectory);
  // Why the spec file at path is no job: for the one error line of a refused file.
  void reportRejection(const std::string& path, const std::string& why);

  static std::string commandKey(const Job& job);
  void append(Job job);
  std::list<Entry>::iterator forget(std::list<Entry>::iterator entry);
  void rebuildIndex();
  OrderKey orderKeyOf(const Job& job);
  // Counts job among the started ones while it has a process, and no longer once it has none.
  void followProcess(Job& job);

  std::string name;
  std::list<Entry> jobs;
  // The list's order as a search tree: a job is placed in O(log n) wherever it belongs.
  std::map<OrderKey, std::list<Entry>::iterator> order;
  std::unordered_map<const Job*, std::list<Entry>::iterator> positions;
  // The jobs given a process (started, or re-attached or ended at recovery), in list order.
  std::map<OrderKey, Job*> started;
  // Every job of the list, for the status listing.
  JobListing listing;
  std::uint64_t nextSeq = 0;
  // Queued jobs by command, so that the duplicate test costs one lookup, not a walk.
  std::unordered_multimap<std::string, const Job*> commandIndex;
  std::atomic<std::int32_t> ackState{0};
  std::uint32_t maxCores = 0;
  std::optional<SlurmSettings> slurm;
  std::int32_t priorityLevel = 0;
  // Spec files refused and reported, as they were then; forgotten once they are gone.
  std::map<std::string, SpecFile::Version> refusedFiles;
  // Spec files that could not be moved in, with the failure logged for each.
  std::map<std::string, std::string> stuckFiles;
  SpecFile::Folder folder;
};

}  // namespace Zelcor
