#include "CommandProcess.h"

#include <utility>

#include "ProcessRegistry.h"
#include "base/NoDestructor.h"
#include "base/StringUtils.h"
#include "bus/Logger.h"
#include "config/ConfAgent.h"
#include "files/FileUtils.h"

namespace Zelcor {

namespace {

// Never destroyed, so that jobs stopped while the process exits can still log.
ZelcorCorelib::Logger& commandLogger() {
  static ZelcorCorelib::NoDestructor<ZelcorCorelib::Logger> logger("CmdProc");
  return *logger;
}

}  // namespace

CommandProcess::CommandProcess(const std::string& command, const std::string& arguments)
    : JobProcess(resolveReferences(command), resolveReferences(arguments)) {}

std::string CommandProcess::resolveReferences(const std::string& text) {
  if (ZelcorCorelib::countChar(text, '%') < 2) return text;
  std::string resolved = text;
  ZelcorCorelib::normalizePath(resolved);
  ZelcorCorelib::ConfAgent agent;
  std::string rest = resolved;
  std::size_t pairs = ZelcorCorelib::countChar(rest, '%') / 2;
  for (std::size_t i = 0; i < pairs; ++i) {
    ZelcorCorelib::cutToken(rest, "%");
    std::string name = ZelcorCorelib::cutToken(rest, "%");
    std::string value = agent.getString("%dirs%." + ZelcorCorelib::lowerCopy(name));
    ZelcorCorelib::replaceAll(resolved, "%" + name + "%", value);
  }
  return resolved;
}

bool CommandProcess::start(ChildProcess::Launch launch) {
  collectEndedProcesses();
  ZelcorCorelib::Logger& log = commandLogger();
  log.debug("CommandProcess::start: % %", command, arguments);
  // A job gets standard input, output and error, and nothing else the scheduler holds or
  // inherited from whoever started it.
  process = createChildProcess(command, arguments, false, false);
  if (!process) {
    log.error("@jobscheduler.cmdproc-start.create-proc-fail{Failed to create process instance.};");
    return false;
  }
  process->setLaunch(std::move(launch));
  if (!process->run()) {
    log.debug("CommandProcess::start: Cannot run \"%\" (errno %).", command,
              process->getStartError());
    log.error("@jobscheduler.cmdproc-start.run-proc-fail{Failed to start process instance.};");
    return false;
  }
  return true;
}

bool CommandProcess::completeStart() {
  if (!process) return false;
  if (process->completeLaunch()) return true;
  commandLogger().error(
      "@jobscheduler.cmdproc-start.run-proc-fail{Failed to start process instance.};");
  return false;
}

bool CommandProcess::stop() {
  collectEndedProcesses();
  ZelcorCorelib::Logger& log = commandLogger();
  if (!process) {
    log.error(
        "@jobscheduler.cmdproc-stop.uninitialized-proc{Uninitialized process. Failed to stop.};");
    return false;
  }
  if (process->requestStop()) return true;
  log.error("@jobscheduler.cmdproc-stop.stop-fail{Failed stopping process.};");
  return false;
}

bool CommandProcess::isRunning() const { return process && process->poll(); }

bool CommandProcess::isAlive() const { return process && process->poll(); }

bool CommandProcess::wasStarted() const {
  if (!process) return false;
  process->poll();
  return process->getState() != ChildProcess::kNotStarted;
}

std::int32_t CommandProcess::getExitCode() const { return process ? process->getExitCode() : -1; }

std::uint32_t CommandProcess::getPid() const { return process ? process->getPid() : 0; }

void CommandProcess::setProcess(ChildProcess::Pointer newProcess) {
  process = std::move(newProcess);
}

}  // namespace Zelcor
