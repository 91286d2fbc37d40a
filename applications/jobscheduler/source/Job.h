// One job of the scheduler, built from the key-value text of its spec file: the executable
// and its arguments, the queue and priority it asks for, where its spec file is now, and the
// processes that run it. JobQueue builds, checks and moves jobs and stamps "queued"; the
// queue controller starts, stops and finishes them and moves their spec files on; each step
// writes its stamp ("started", "pid", "exit-status", "ended") back into the spec file.
// A value: copies share the running child (CommandProcess), so the copy that a queue holds
// and one taken out of it see the same process. Used by one thread at a time.
// Every job logs through one process-wide logger of source "Job".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CommandProcess.h"
#include "PrePostProcess.h"
#include "RunRecords.h"
#include "SpecFile.h"
#include "files/KeyValueFile.h"

namespace Zelcor {

class Job {
 public:
  static constexpr std::int32_t kDefaultPriorityLevel = 2;

  // A placeholder whose fields are all assigned (by copy) before use.
  Job();
  // Takes "executable", "arguments", "queue", "priority-level", "created", "pid", "pre" and
  // "post"; of duplicate keys the last in file order wins; other keys are ignored.
  explicit Job(const ZelcorCorelib::KeyValueMap& spec);
  // The same from a spec file read in; the job keeps it, writes its stamps through it and
  // moves it, and never reads the file again.
  explicit Job(SpecFile spec);
  Job(const Job&) = default;
  Job& operator=(const Job&) = default;
  virtual ~Job() = default;

  // Quotes a "-c" configuration path that holds a blank and builds the main process, which
  // resolves its "%name%" references. False (the configuration's message logged at error
  // level) when a reference cannot be resolved; the job must then be refused.
  bool loadSpec();
  // Drops enclosing quotes from the executable; false (error line) when no such file or
  // folder exists and the name holds no "%" reference to be resolved later.
  bool configure();
  // Moves the spec file into targetDirectory, never over an existing file. On failure (error
  // line) specPath stays as it was; moving to the folder it is in does nothing.
  bool move(const std::string& targetDirectory);
  // The same into a folder the caller holds open.
  bool move(const SpecFile::Folder& target);
  // Moves the spec file into target as targetName (its own name when empty), with the same
  // log lines as move; the caller sees why it failed. A name taken in target is no failure to
  // log: the caller picks another (moveToFreeName).
  ZelcorCorelib::platform::FsResult moveSpecFile(const SpecFile::Folder& target,
                                                 const std::string& targetName);
  // Moves the spec file into target under its own name or, when that is taken, under the
  // first free "stem.N.spec" (N from 1; past 1000 a unique stamp), cut to fit the file
  // system's name limit. The result of the last try.
  ZelcorCorelib::platform::FsResult moveToFreeName(const SpecFile::Folder& target);
  // Sets the first entry of key (or adds it) and rewrites the whole spec file in one step;
  // records without "=" or with an empty key are dropped, keys come out sorted. False (error
  // line) when the file cannot be read or replaced; the file then keeps its old contents.
  // The file is read only when the job holds no spec file yet.
  bool writeSpecValue(const std::string& key, const std::string& value);
  // Several keys in one rewrite, after dropping every entry of the keys in dropped; the same
  // texts and result as writeSpecValue.
  bool writeSpecValues(const std::vector<std::pair<std::string, std::string>>& values,
                       const std::vector<std::string>& dropped = {});
  // Stamps "started" with the current Unix time.
  bool preprocess();
  // Writes ahead, then starts: "started" and a fresh "run-id" are stamped into the spec file
  // (durably), the run is recorded in records and the main process started under its
  // supervisor; the pid is then stamped too. False, with the reason in why, when the stamp or
  // the record cannot be written or the supervisor cannot be started: nothing ran then.
  // runAs: the uid the program runs as (none: as the scheduler).
  // With awaitLaunch false it returns once the supervisor is started; completeStart then
  // waits for the launch and stamps the pid (several jobs can so be launched at once).
  // slurm: the job runs on that cluster; its name there ("slurm-job-name", stamped with the
  // run id at the first start) is the job's for every later run.
  bool start(const RunRecords::Pointer& records, const std::string& queue,
             std::optional<std::uint32_t> runAs, std::string& why, bool awaitLaunch = true,
             const std::optional<SlurmSettings>& slurm = std::nullopt);
  bool completeStart(std::string& why);
  // Asks the main process to stop (no wait).
  bool stop();
  // Stamps "exit-status" and "ended" (the end as the supervisor recorded it) in one rewrite; a
  // warning when that fails.
  bool postprocess();
  // Deletes the spec file (a refused duplicate's).
  void removeSpecFile() const;
  // The duplicate test: executable and arguments equal byte for byte.
  bool isSameCommand(const Job& other) const;

  // Maps a "priority-level" value to 0..4: the names "very low" .. "very high" or the digits,
  // after trimming white space, case-sensitive; anything else gives 2.
  static std::int32_t parsePriorityLevel(const std::string& value);
  // Whole seconds since 1970-01-01 UTC, in decimal, as the spec file stamps carry them.
  static std::string currentUnixTime();
  // The stamps only the scheduler writes; a client's own are dropped when its file is taken.
  static const std::vector<std::string>& schedulerKeys();
  static constexpr const char* kRunIdKey = "run-id";
  static constexpr const char* kSlurmNameKey = "slurm-job-name";

  // The run this job's spec file was last started under ("run-id"); empty when none.
  std::string getRunId() const;
  // Whether the job holds one of the scheduler's cores (taken at start or re-attach, given
  // back when its process has ended).
  // A cancel was asked for; it reaches the supervisor once the launch has been heard of.
  bool isCancelRequested() const { return cancelRequested; }
  void setCancelRequested() { cancelRequested = true; }
  bool holdsCore() const { return coreHeld; }
  // Its run's end has been logged (once, when first seen); a run again starts afresh.
  bool isEndLogged() const { return endLogged; }
  void setEndLogged(bool logged = true) { endLogged = logged; }
  void setHoldsCore(bool held) { coreHeld = held; }
  // The last file failure logged for this job (a move or stamp), which is not logged again
  // while it repeats; a caller that rebuilds the job each pass hands it over.
  const std::string& getLastFileFailure() const { return lastFileFailure; }
  void setLastFileFailure(std::string text) { lastFileFailure = std::move(text); }
  // The reason the last start failed, as logged; empty once a start succeeds.
  const std::string& getStartFailure() const { return startFailure; }

  const std::string& getCreated() const { return created; }
  // The "time-limit" key as milliseconds (0: none), and why the file is no job because of it
  // (empty when it is fine).
  std::int64_t getTimeLimitMilliseconds() const { return timeLimitMilliseconds; }
  std::string timeLimitProblem() const;
  // The "output" key (empty: none, the configured folder decides), and why the file is no job
  // because of it.
  const std::string& getOutput() const { return output; }
  std::string outputProblem() const;
  std::string getArguments() const { return arguments; }
  std::string getExecutable() const { return executable; }
  std::string getSpecPath() const { return specPath; }
  const std::string& getQueueName() const { return queueName; }
  std::int32_t getPriorityLevel() const { return priorityLevel; }
  std::uint32_t getPid() const { return pid; }
  std::int32_t getRecoveryRank() const { return recoveryRank; }

  // A path set here is taken to name a file other than the one the job holds.
  void setSpecPath(std::string path);
  void setExecutable(std::string path) { executable = std::move(path); }
  void setRecoveryRank(std::int32_t rank) { recoveryRank = rank; }

  const SpecFile& getSpecFile() const { return specFile; }

  CommandProcess& getMainProcess() { return mainProcess; }
  const CommandProcess& getMainProcess() const { return mainProcess; }

 private:
  // The reason of a start whose record or supervisor failed, kept as the start failure; false.
  bool supervisorFailed(std::string& why);
  // The launch is through: the pid is stamped.
  bool launched();
  std::int32_t priorityLevel = kDefaultPriorityLevel;
  std::string arguments;
  std::string specPath;
  std::string executable;
  std::string queueName;
  std::uint32_t pid = 0;
  std::string created;
  std::optional<std::string> timeLimitText;  // as written, when given
  std::int64_t timeLimitMilliseconds = 0;
  std::string output;
  bool cancelRequested = false;
  PrePostProcess preProcess;
  PrePostProcess postProcess;
  CommandProcess mainProcess;
  std::int32_t recoveryRank = 1;
  SpecFile specFile;
  bool coreHeld = false;
  bool endLogged = false;
  std::string startFailure;
  // The last file failure logged for this job: the same failure again is not logged again.
  std::string lastFileFailure;
  void logFileFailure(const std::string& text);
};

}  // namespace Zelcor
