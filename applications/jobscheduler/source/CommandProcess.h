// A job's program: the command and arguments with their "%name%" references resolved from the
// configuration, and the child process that runs them once started. Built by Job::loadSpec,
// started and stopped through the job, polled by the queue controller until it has ended; its
// exit code is then written into the spec file. Recovery hands it an attached process instead.
// Ownership: shares its ChildProcess with the process registry (ChildProcess.h), so a copy of
// the job, or the job after the registry collected the ended child, still reads its state and
// exit code. Copies share the child. Used by one thread at a time, like its job.
// Log lines go through one process-wide logger of source "CmdProc".
#pragma once

#include <cstdint>
#include <string>

#include "ChildProcess.h"
#include "JobProcess.h"

namespace Zelcor {

class CommandProcess : public JobProcess {
 public:
  CommandProcess() = default;
  // Resolves the references of command and of arguments (resolveReferences). Raises what the
  // configuration agent raises for a name it cannot resolve, such as
  // ZelcorCorelib::ConfAgent::Query_NotFound.
  CommandProcess(const std::string& command, const std::string& arguments);

  bool configure() override { return true; }

  // Collects ended processes, then makes and runs a new child under its supervisor, recorded
  // as launch says; false (with an error line, and getStartError) when nothing ran. A
  // program that cannot be executed counts as started: it has ended at once (127 or 126).
  bool start(ChildProcess::Launch launch);
  // The rest of a start whose launch did not await the supervisor's word; false (with the
  // same error line) when the supervisor refused the launch.
  bool completeStart();
  // errno of the last failed start; 0 when none.
  int getStartError() const { return process ? process->getStartError() : 0; }
  // Collects ended processes, then asks the child's process group to stop; false (with an
  // error line) when there is no child or it no longer runs.
  bool stop();

  // Each polls the child first; false without a child.
  bool isRunning() const;
  bool isAlive() const;
  bool wasStarted() const;
  // -1 without a child, while it runs, or when its supervisor recorded no outcome.
  std::int32_t getExitCode() const;
  // 0 without a child.
  std::uint32_t getPid() const;

  const ChildProcess::Pointer& getProcess() const { return process; }
  // For recovery: the attached process of a job that ran before a restart.
  void setProcess(ChildProcess::Pointer newProcess);

  // With at least two "%": the text normalised as a path (which expands environment
  // variables), then each "%name%" replaced by the string at "%dirs%." + name in lower case.
  // Fewer than two "%": unchanged, and no configuration is asked. Raises as the constructor.
  static std::string resolveReferences(const std::string& text);

 private:
  ChildProcess::Pointer process;
};

}  // namespace Zelcor
