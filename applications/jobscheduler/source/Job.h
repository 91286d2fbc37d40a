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
#include <string>
#include <utility>
#include <vector>

#include "CommandProcess.h"
#include "PrePostProcess.h"
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
  // log lines as move; the caller sees why it failed.
  ZelcorCorelib::platform::FsResult moveSpecFile(const SpecFile::Folder& target,
                                                 const std::string& targetName);
  // Sets the first entry of key (or adds it) and rewrites the whole spec file in one step;
  // records without "=" or with an empty key are dropped, keys come out sorted. False (error
  // line) when the file cannot be read or replaced; the file then keeps its old contents.
  // The file is read only when the job holds no spec file yet.
  bool writeSpecValue(const std::string& key, const std::string& value);
  // Several keys in one rewrite; the same texts and result as writeSpecValue.
  bool writeSpecValues(const std::vector<std::pair<std::string, std::string>>& values);
  // Stamps "started" with the current Unix time.
  bool preprocess();
  // Starts the main process; on success records its pid in the job and in the spec file.
  bool start();
  // Asks the main process to stop (no wait).
  bool stop();
  // Stamps "exit-status" and "ended" in one rewrite; a warning when that fails.
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

  std::string getCreated() const { return created; }
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
  std::int32_t priorityLevel = kDefaultPriorityLevel;
  std::string arguments;
  std::string specPath;
  std::string executable;
  std::string queueName;
  std::uint32_t pid = 0;
  std::string created;
  PrePostProcess preProcess;
  PrePostProcess postProcess;
  CommandProcess mainProcess;
  std::int32_t recoveryRank = 1;
  SpecFile specFile;
};

}  // namespace Zelcor
