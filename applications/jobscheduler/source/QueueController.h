// The scheduling core. Owns the job queues; once a second it collects finished jobs, files new
// spec files from the pending folder into their queues, and starts jobs while cores are free,
// obeying the run flags that the command listener sets. Before the first pass it takes back
// the jobs an earlier run left behind (recover); after the last it stops the running jobs
// (quit). The application builds it, adds the queues, sets the four folders, calls initQueues
// and hands the main thread to run.
// Threads: run and every operation it calls belong to the scheduling thread. The listener's
// threads may call getRunFlags/setRunFlags/changeRunFlags and allQueuesInState (single atomic
// words, no lock) and getStatus, which lists a copy of the queues that each operation changing
// them leaves behind, so that it never waits for a pass nor holds one up. The scheduling
// thread holds a lock for each pass, for recover, for quit and for every other operation that
// reads or changes the queues (taken once: never recursively).
// Requires: addQueue and initQueues are done before another thread looks at the controller.
// Ownership: the queues are held by value, the jobs by their queues; the core pool and the
// quit flag belong to the process and must outlive the controller.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "CorePool.h"
#include "JobQueue.h"
#include "bus/Logger.h"
#include "platform/FolderWatch.h"

namespace Zelcor {

class QueueController {
 public:
  static constexpr std::uint32_t kRunFlagStopped = 1, kRunFlagPaused = 2;
  static constexpr const char* kDefaultQueueName = "queue_normal";
  // The recovery ranks given to jobs from the pending, queue and running folders.
  static constexpr std::int32_t kRankPending = 1, kRankQueued = 4, kRankRunning = 5;

  // quitSignal: the process-wide quit byte (non-zero: quit); null makes run fail. Uses the
  // process-wide core pool.
  explicit QueueController(const std::atomic<std::uint8_t>* quitSignal);
  QueueController(const std::atomic<std::uint8_t>* quitSignal, CorePool& cores);
  // Stops the running jobs (quit); an error line when that fails.
  ~QueueController();
  QueueController(const QueueController&) = delete;
  QueueController& operator=(const QueueController&) = delete;

  void setPendingDirectory(std::string directory) { pendingDirectory = std::move(directory); }
  void setQueuedDirectory(std::string directory) { queuedDirectory = std::move(directory); }
  void setRunningDirectory(std::string directory) { runningDirectory = std::move(directory); }
  void setFinishedDirectory(std::string directory) { finishedDirectory = std::move(directory); }
  void setDirectories(std::string pending, std::string queued, std::string running,
                      std::string finished);
  const std::string& getPendingDirectory() const { return pendingDirectory; }
  const std::string& getQueuedDirectory() const { return queuedDirectory; }
  const std::string& getRunningDirectory() const { return runningDirectory; }
  const std::string& getFinishedDirectory() const { return finishedDirectory; }
  // Where jobs' runs are recorded, and the supervisor that runs them; no job starts without.
  void setRunRecords(RunRecords::Pointer newRecords) { records = std::move(newRecords); }
  const RunRecords::Pointer& getRunRecords() const { return records; }
  // With owner (the default), a privileged scheduler runs each job as the owner of its spec
  // file (as it was when taken from the pending folder); a file owned by root runs as root.
  // Without, or when the scheduler is not privileged, jobs run as the scheduler.
  void setRunAsOwner(bool owner) { runAsOwner = owner; }
  bool getRunAsOwner() const { return runAsOwner; }
  // The uid job runs as; none: as the scheduler.
  std::optional<std::uint32_t> runAsFor(const Job& job) const;
  // Why a pending spec file may not run as its owner (an owner without an account, more than
  // one hard link); empty when it may.
  std::string ownerRefusal(const SpecFile& spec) const;

  // With events (the default), the loop starts a pass as soon as a file arrives in the
  // pending folder, a job ends or wake is called, and otherwise once a second as a safety
  // net; without, it passes once a second (a job's end still starts one at once). Set before
  // run.
  void setWakeOnEvents(bool events) { wakeOnEvents = events; }
  // How many pending spec files one pass takes in when waking on events (the rest come with
  // the passes right after): a few hundred milliseconds of work at the default.
  static constexpr std::size_t kIntakePerPass = 1000;
  void setIntakePerPass(std::size_t files) { intakePerPass = files > 0 ? files : 1; }
  bool getWakeOnEvents() const { return wakeOnEvents; }
  // Whether a pass leaves the launches it started to the passes after it (run does so when
  // waking on events): the pass goes on while the supervisors start up, and the one that
  // hears of a launch stamps its pid and moves its file to running. Otherwise each pass
  // awaits its own launches.
  void setLaunchesAcrossPasses(bool across) { launchesAcrossPasses = across; }
  // Asks for a pass now (a control command changed the run flags). Any thread.
  void wake() const { wakeSignal.notify(); }

  // Bit kRunFlagStopped: no pending file is taken and no job started; kRunFlagPaused: files
  // are taken into their queues but no job is started.
  std::uint32_t getRunFlags() const { return runFlags.load(std::memory_order_relaxed); }
  void setRunFlags(std::uint32_t flags) { runFlags.store(flags, std::memory_order_relaxed); }
  // Sets or clears some flags without losing another thread's change of the others.
  void changeRunFlags(std::uint32_t flags, bool set) {
    if (set) {
      runFlags.fetch_or(flags, std::memory_order_relaxed);
    } else {
      runFlags.fetch_and(~flags, std::memory_order_relaxed);
    }
  }

  // A copy of queue joins the list; a second queue of the same name is refused (warning).
  void addQueue(const JobQueue& queue);
  // Adds "queue_normal" (no core limit, priority level 2) when missing, creates every queue's
  // folder, sorts the queues. Always true.
  bool initQueues();
  // Stable: higher priority level first, equal levels in the order they were added.
  void sortQueues();
  // Exact, case-sensitive.
  bool hasQueue(const std::string& name) const;
  // Scheduling thread only: the list changes as jobs come and go.
  const std::list<JobQueue>& getQueues() const { return queues; }

  // Recovers, then makes one pass a second until the quit flag is set, then quits. False when
  // the quit flag is missing or a running job could not be stopped. Exceptions of the jobs'
  // configuration pass through.
  bool run();
  // One pass of run without its sleep: collect, load, sort, start, publish the state. False
  // (and nothing done) when the quit flag is missing or set.
  bool runOnce();

  // The bare names of the "*.spec" files directly in directory, ascending; none for a missing
  // folder.
  std::set<std::string> getJobSpecFiles(const std::string& directory);
  // Files the spec files of directory into the queues their "queue" key names (else
  // "queue_normal") with recovery rank rank; nothing while stopped.
  void loadJobsToQueues(const std::string& directory, std::int32_t rank);
  // Queue name -> full paths, by each file's first "queue" value when that names a queue.
  std::map<std::string, std::set<std::string>> groupSpecFilesByQueue(
      const std::set<std::string>& paths);
  // The queue a spec file goes to: its first "queue" value when that names a queue, else the
  // default queue.
  std::string queueNameFor(const SpecFile& spec) const;
  // Gives back the core of every job whose process has ended and logs its end with the exit
  // status; stamps its outcome, moves its spec file to the finished folder (under a free name
  // when its own is taken) and drops its run record and the job. A stamp or move that fails
  // keeps the job for the next pass (one log line per failure). A job whose supervisor went
  // without an outcome, or that the supervisor stopped for a shutdown, is queued again.
  void handleFinishedJobs();
  // Starts the queue's pending jobs in order while cores are free and the queue's own limit
  // allows; a job that cannot be started (its start cannot be recorded) stays queued, with
  // one error line naming it and the reason, and is tried again next pass.
  void runPendingJobs(JobQueue& queue);
  // The one error line of a start that failed, unless it failed so before.
  void reportStartFailure(const Job& job, const std::string& before, const std::string& why);
  // Every queue's running jobs, queue by queue in queue order.
  std::vector<Job*> getRunningJobs();
  void setQueuesAckState(std::int32_t state);
  // True when every queue acknowledged state (also with no queues): 0 running normally, 1
  // stopped (no job runs), 2 paused; a queue both paused and stopped acknowledges 3, which
  // answers a wait for 1 and for 2. Any thread; no lock.
  bool allQueuesInState(std::int32_t state) const;
  // As JobQueue::ensureDirectory, logged as the controller.
  void ensureDirectory(const std::string& directory, bool create);

  // Takes back the jobs of the running folder and then those of the queue folders, deciding
  // for each started one by its run record alone: an outcome is finished (never run again), a
  // live supervisor re-attached, a job stopped by a shutdown or with no record of an end run
  // again. Records no spec file names are removed once their supervisor is gone.
  void recover();
  void recoverQueue(JobQueue& queue);
  // Stops every running job, dropping all jobs from memory; moves and writes no file. False,
  // at the first job that does not stop in 10 tries; the rest are left as they are.
  bool quit();

  // The listing of queues and of pending, running and finished jobs. Any thread.
  std::string getStatus();

  // Any thread: asks the loop to cancel the job whose spec file is name (with or without
  // ".spec"). A queued job goes to the finished folder stamped "ended" and
  // "end-reason=cancelled" and never starts; a running one is cancelled by its supervisor
  // (SIGTERM, SIGKILL after the kill grace) and finishes with that reason. The answer is a
  // word ("cancelled", "cancelling", "ended", "unknown") and a sentence for people; none
  // when the loop did not take the request within wait.
  std::optional<std::string> cancel(const std::string& name, std::chrono::milliseconds wait);

  CorePool& getCorePool() { return cores; }

 private:
  // The work of the public operations of the same name, for a caller that holds queuesLock.
  void addQueueLocked(const JobQueue& queue);
  void handleFinishedJobsLocked();
  void sortQueuesLocked();
  void loadJobsToQueuesLocked(const std::string& directory, std::int32_t rank);
  void runPendingJobsLocked(JobQueue& queue);
  // The rest of a start made without awaiting its launch: the pid stamp and the move to
  // running, or the core given back and the job left queued.
  void completeStartLocked(Job& job, const std::string& before);
  // Completes the launches left by earlier passes: those that have word (all, with wait).
  void completeLaunchesLocked(bool wait);
  // The cancel requests that came since the last pass, and their answers.
  void handleCancelsLocked();
  std::string cancelLocked(const std::string& name);
  // Whether the folders of the controller and its queues defer their syncs, and paying what
  // they owe (false when a sync failed).
  void deferFolderSyncs(bool defer);
  // The controller's folders and its queues' folders, each once opened.
  void forEachFolder(
      const std::function<void(const ZelcorCorelib::platform::SpecFolder&)>& visit) const;
  bool flushFolderSyncs();
  std::vector<Job*> getRunningJobsLocked();
  void recoverQueueLocked(JobQueue& queue);
  // The folder at directory, opened once and held; nullptr when it cannot be opened.
  const SpecFile::Folder& folderFor(const std::string& directory);
  // One line for a "*.spec" entry that is no regular file, the first time it is seen.
  void reportNotRegular(const std::string& path, ZelcorCorelib::platform::EntryKind kind);

  bool isQuitRaised() const;
  bool pass();
  // Waits until the next pass is due, a job's supervisor has news, or quit is raised.
  void waitForNextPass();
  // Stamps the job's outcome and moves its spec file to the finished folder; false when a
  // step failed (to be tried again).
  // The pending folder's watch and the wake-up; without either, the clock alone.
  void startWatching();
  bool finishJobLocked(Job& job);
  // Logs a Slurm supervisor's trouble reaching the cluster once for all jobs, and its end.
  void noteClusterTrouble(const Job& job, const std::string& trouble);
  void logJobEnd(const Job& job);
  // Sends the job back to its queue to run again: drops its run and record, moves its spec
  // file back into the queue's folder.
  void requeueLocked(JobQueue& queue, Job& job);
  // Decides a recovered job by its run record (see recover).
  void recoverJobLocked(JobQueue& queue, Job& job);
  void removeUnclaimedRecordsLocked();
  // What the status listing shows of a queue, as the last pass left it. Whether a started
  // job runs, has ended or is pending again (its launch refused) is asked of its process
  // when the listing is made.
  struct StartedStatus {
    std::uint64_t seq = 0;
    std::string text;
    ChildProcess::Pointer process;
  };
  struct QueueStatus {
    std::string name;
    std::uint32_t maxCores = 0;
    std::int32_t priorityLevel = 0;
    JobListing::Shared jobs;
    std::vector<StartedStatus> started;
  };
  using StatusSnapshot = std::vector<QueueStatus>;
  // Hands the listing a copy of the queues as they are now; at the end of every public
  // operation that changes them.
  void publishStatusLocked();

  ZelcorCorelib::Logger logger{"QueueCtrl"};
  std::list<JobQueue> queues;
  const std::atomic<std::uint8_t>* quitSignal = nullptr;
  std::int32_t reserved = -1;
  std::string pendingDirectory;
  std::string queuedDirectory;
  std::string runningDirectory;
  std::string finishedDirectory;
  std::string defaultQueueName = kDefaultQueueName;
  std::atomic<std::uint32_t> runFlags{0};
  CorePool& cores;
  // Taken by the public operations only; what they share is in the *Locked operations, so
  // that no path takes it twice.
  std::mutex queuesLock;
  // A public operation that may change the queues: holds queuesLock and, as it ends, hands
  // the listing a copy of them.
  struct Change {
    explicit Change(QueueController& owner) : controller(owner), guard(owner.queuesLock) {}
    ~Change() { controller.publishStatusLocked(); }
    Change(const Change&) = delete;
    Change& operator=(const Change&) = delete;
    QueueController& controller;
    std::lock_guard<std::mutex> guard;
  };
  struct CancelRequest {
    std::string name;
    std::promise<std::string> answer;
  };
  std::mutex cancelLock;
  std::vector<std::shared_ptr<CancelRequest>> cancelRequests;
  // The listing's copy of the queues; the lock is held only to take or replace the pointer.
  std::mutex statusLock;
  std::shared_ptr<const StatusSnapshot> statusSnapshot;
  std::map<std::string, SpecFile::Folder> folders;
  // "*.spec" entries that are no regular files, reported once each while they are there.
  std::map<std::string, ZelcorCorelib::platform::EntryKind> notRegular;
  RunRecords::Pointer records;
  bool runAsOwner = true;
  // What the last Slurm supervisor to report trouble said; empty while the cluster answers.
  std::string clusterTrouble;
  // Pending files refused for their owner or links, as they were then: logged once, not read
  // again until they change.
  std::map<std::string, SpecFile::Version> refusedOwners;
  // Run ids taken by a job during this recovery: a second spec file naming one gets nothing.
  std::set<std::string> recoveredRuns;
  bool wakeOnEvents = true;
  std::size_t intakePerPass = kIntakePerPass;
  bool launchesAcrossPasses = false;
  // The pending folder held more files than one pass takes in.
  bool intakeLeft = false;
  // The scheduling thread's: what its wait between passes listens to besides the jobs.
  ZelcorCorelib::platform::FolderWatch pendingWatch;
  ZelcorCorelib::platform::WakeSignal wakeSignal;
  bool wakeOpen = false;
};

}  // namespace Zelcor
