// The scheduler's folder of run records (RunRecord), one file "<run id>.run" per run of a job,
// and the supervisor program that writes the launch and the outcome into them. The folder lies
// under the configured working folder, belongs to the scheduler's user and is closed to
// everyone else (mode 0700): clients never see it. A record lives from the moment the
// scheduler is about to start a job until the job's spec file has reached the finished folder
// (or the job went back to its queue to run again).
// Shared (std::shared_ptr) by the controller and every started process; the id counter is the
// only state that changes, and only the scheduling thread asks for ids.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "JobOutputs.h"
#include "RunRecord.h"
#include "platform/Handle.h"
#include "platform/SpecFolder.h"

namespace Zelcor {

class RunRecords {
  struct Key {
    explicit Key() = default;
  };

 public:
  using Pointer = std::shared_ptr<RunRecords>;
  // The supervisor's file name, looked for beside the scheduler's own program.
  static constexpr const char* kSupervisorName = "jobscheduler-run";
  // A launch is durable within moments; this is only the bound for a file system that hangs.
  static constexpr std::chrono::seconds kDefaultLaunchTimeout{60};
  // A Slurm run is launched once the cluster has its job: a controller may be down for long.
  static constexpr std::chrono::hours kSlurmLaunchTimeout{24 * 7};

  // The folder at folder (made private, see platform SpecFolder::openPrivate) and the
  // supervisor at supervisor; nullptr with a one-line reason in error.
  static Pointer open(const std::string& folder, const std::string& supervisor, std::string& error);
  // The supervisor beside program (the scheduler's own path): its folder + kSupervisorName.
  static std::string supervisorBeside(const std::string& program);

  RunRecords(Key, std::shared_ptr<const ZelcorCorelib::platform::SpecFolder> folder,
             std::string supervisor);

  const std::string& getFolder() const { return folder->getPath(); }
  const std::string& getSupervisor() const { return supervisor; }
  std::chrono::milliseconds getLaunchTimeout() const { return launchTimeout; }
  void setLaunchTimeout(std::chrono::milliseconds timeout) { launchTimeout = timeout; }
  // How long a program asked to stop for its time limit has before it is killed.
  static constexpr std::chrono::seconds kDefaultKillGrace{10};
  std::chrono::milliseconds getKillGrace() const { return killGrace; }
  void setKillGrace(std::chrono::milliseconds grace) { killGrace = grace; }
  // Where the runs' output goes (a JobOutputs without folder: where the scheduler's goes).
  JobOutputs& getOutputs() const { return *outputs; }
  void setOutputFolder(std::string folder) {
    outputs = std::make_shared<JobOutputs>(std::move(folder));
  }

  // Unique for this folder: the time in nanoseconds and a counter; begin refuses a clash.
  std::string newRunId();
  // Writes the scheduler's part of a new record (never over an existing one) and returns it
  // open and locked, to be handed to the supervisor; its lock then tells whether the
  // supervisor lives. The file is a spare (a removed record kept for reuse) when there is one,
  // else new. Invalid with the errno value in error when it cannot be made durable.
  ZelcorCorelib::platform::Handle begin(const RunRecord& intent, int& error) const;
  // Nothing when the file is missing, unreadable, or holds another run's record (what a
  // reused file held before may come back after a crash, until the launch is synced).
  std::optional<RunRecord> read(const std::string& runId) const;
  // Held while the supervisor of the run lives (or is being started).
  ZelcorCorelib::platform::LockState lockState(const std::string& runId) const;
  // Removes the record from the run ids; its file is kept as a spare (up to kMaxSpares).
  bool remove(const std::string& runId) const;
  static constexpr std::size_t kMaxSpares = 64;
  // The run ids of every record in the folder.
  std::vector<std::string> list() const;

 private:
  static std::string fileName(const std::string& runId);
  // Spares are named ".spare.<n>": no run id, so never listed or read as a record.
  static constexpr const char* kSparePrefix = ".spare.";

  // Removes the spares an earlier run of the scheduler left.
  void removeOldSpares() const;

  std::shared_ptr<const ZelcorCorelib::platform::SpecFolder> folder;
  std::string supervisor;
  std::chrono::milliseconds launchTimeout = kDefaultLaunchTimeout;
  std::chrono::milliseconds killGrace = kDefaultKillGrace;
  std::shared_ptr<JobOutputs> outputs = std::make_shared<JobOutputs>();
  std::atomic<std::uint64_t> counter{0};
  // Records are removed from any thread that polls a process, made by the scheduling thread.
  mutable std::mutex sparesLock;
  mutable std::vector<std::string> spares;
  mutable std::uint64_t spareCount = 0;
};

}  // namespace Zelcor
