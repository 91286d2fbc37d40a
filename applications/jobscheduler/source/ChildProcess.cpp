#include "ChildProcess.h"

#include <new>
#include <utility>

#include "ProcessRegistry.h"
#include "base/StringUtils.h"
#include "files/FileUtils.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Threads.h"

namespace Zelcor {

namespace platform = ZelcorCorelib::platform;

namespace {

// Ids above the signed range name no process and would turn into group or "all" addresses.
bool isProcessIdValid(std::uint32_t pid) {
  return pid > 0 && pid <= static_cast<std::uint32_t>(INT32_MAX);
}

platform::ProcessId toProcessId(std::uint32_t pid) { return static_cast<platform::ProcessId>(pid); }

}  // namespace

ChildProcess::ChildProcess(Key) {}

ChildProcess::~ChildProcess() {
  if (outputDescriptor >= 0) platform::closeDescriptor(outputDescriptor);
}

// Outside double quotes a blank ends a token; a token with a double quote at both ends loses
// them. A double quote opens a quoted part, in which blanks are kept and a backslash takes the
// next byte literally; quotes and backslashes stay in the token. The last token loses one pair
// of enclosing double or single quotes.
std::vector<std::string> ChildProcess::splitArguments(const std::string& arguments) {
  std::vector<std::string> tokens;
  std::string token;
  bool quoted = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    char c = arguments[i];
    if (quoted) {
      token += c;
      if (c == '\\' && i + 1 < arguments.size()) {
        token += arguments[++i];
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == ' ') {
      if (!token.empty()) {
        if (token.size() >= 2 && token.front() == '"' && token.back() == '"') {
          token = token.substr(1, token.size() - 2);
        }
        tokens.push_back(std::move(token));
        token.clear();
      }
    } else {
      if (c == '"') quoted = true;
      token += c;
    }
  }
  ZelcorCorelib::unquote(token);
  if (!token.empty()) tokens.push_back(std::move(token));
  return tokens;
}

std::string ChildProcess::commandLineEntry(const std::string& entry) {
  if (entry.find(' ') != std::string::npos && (entry.empty() || entry.front() != '"')) {
    return "\"" + entry + "\"";
  }
  return entry;
}

std::string ChildProcess::buildCommandLine(const std::string& command,
                                           const std::vector<std::string>& argumentList) {
  std::string joined;
  for (const std::string& entry : argumentList) {
    if (entry.empty()) continue;
    if (!joined.empty()) joined += ' ';
    joined += commandLineEntry(entry);
  }
  return joined.empty() ? command : command + " " + joined;
}

std::string ChildProcess::argvElement(const std::string& entry) {
  const std::string placed = commandLineEntry(entry);
  std::string element;
  bool quoted = false;
  std::size_t i = 0;
  while (i < placed.size()) {
    char c = placed[i];
    if (c == '\\') {
      std::size_t run = placed.find_first_not_of('\\', i);
      if (run == std::string::npos) run = placed.size();
      std::size_t count = run - i;
      if (run < placed.size() && placed[run] == '"') {
        element.append(count / 2, '\\');
        if (count % 2 == 1) {
          element += '"';
        } else {
          quoted = !quoted;
        }
        i = run + 1;
      } else {
        // Inside quotes a backslash escapes a backslash, as the splitter read it.
        element.append(quoted ? count / 2 + count % 2 : count, '\\');
        i = run;
      }
    } else if (c == '"') {
      quoted = !quoted;
      ++i;
    } else {
      element += c;
      ++i;
    }
  }
  return element;
}

bool ChildProcess::run() {
  std::uint32_t startedPid = 0;
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (pollLocked()) return false;
    if (attached) {
      // Starting the image of someone else's process again, without its arguments, is never
      // what a caller wants from a recovered job.
      return false;
    }
    commandLine = buildCommandLine(command, argumentList);
    std::vector<std::string> argv;
    argv.reserve(argumentList.size());
    for (const std::string& entry : argumentList) {
      if (!entry.empty()) argv.push_back(argvElement(entry));
    }
    platform::SpawnOptions options;
    options.inheritDescriptors = inheritHandles;
    platform::SpawnResult spawned = platform::spawnProcess(command, argv, options);
    if (spawned.pid <= 0) {
      startError = spawned.error;
      return false;
    }
    startError = 0;
    pid = static_cast<std::uint32_t>(spawned.pid);
    threadId = pid;
    exitCode = -1;
    if (redirectOutput && outputDescriptor >= 0) {
      if (platform::redirectStandardOutput(outputDescriptor)) outputDescriptor = -1;
    }
    state = kRunning;
    parentPid = static_cast<std::uint32_t>(platform::currentProcessId());
    startedPid = pid;
  }
  // Outside the object's lock: a collection holds the registry lock while it polls objects.
  if (registered) ProcessRegistry::instance().insert(startedPid, shared_from_this());
  return true;
}

bool ChildProcess::poll() {
  std::lock_guard<std::mutex> guard(mutex);
  return pollLocked();
}

bool ChildProcess::pollLocked() {
  if (state != kRunning) return false;
  if (attached) {
    bool alive = platform::isProcessAlive(toProcessId(pid));
    if (alive && startTicks != 0) {
      auto ticks = platform::processStartTicks(toProcessId(pid));
      alive = ticks && *ticks == startTicks;
    }
    if (!alive) state = kEnded;
    return alive;
  }
  platform::ChildStatus status = platform::pollChild(toProcessId(pid));
  switch (status.state) {
    case platform::ChildState::running:
      return true;
    case platform::ChildState::ended:
      exitCode = status.exitCode;
      state = kEnded;
      return false;
    case platform::ChildState::unknown:
      break;
  }
  // Reaped by someone else (SIGCHLD ignored, say): gone, with an exit code nobody can learn.
  state = kEnded;
  return false;
}

bool ChildProcess::requestStop() {
  // One lock over poll and signal: a pid is never signalled after this object reaped it.
  std::lock_guard<std::mutex> guard(mutex);
  if (!pollLocked()) return false;
  return platform::terminateProcessGroup(toProcessId(pid));
}

std::string ChildProcess::getCommandLine() const {
  std::lock_guard<std::mutex> guard(mutex);
  return commandLine;
}

void ChildProcess::setOutputDescriptor(int descriptor) {
  std::lock_guard<std::mutex> guard(mutex);
  if (outputDescriptor >= 0 && outputDescriptor != descriptor) {
    platform::closeDescriptor(outputDescriptor);
  }
  outputDescriptor = descriptor;
}

std::uint32_t ChildProcess::getPid() const {
  std::lock_guard<std::mutex> guard(mutex);
  return pid;
}

std::uint32_t ChildProcess::getParentPid() const {
  std::lock_guard<std::mutex> guard(mutex);
  return parentPid;
}

std::uint32_t ChildProcess::getThreadId() const {
  std::lock_guard<std::mutex> guard(mutex);
  return threadId;
}

int ChildProcess::getState() const {
  std::lock_guard<std::mutex> guard(mutex);
  return state;
}

std::int32_t ChildProcess::getExitCode() const {
  std::lock_guard<std::mutex> guard(mutex);
  return exitCode;
}

int ChildProcess::getStartError() const {
  std::lock_guard<std::mutex> guard(mutex);
  return startError;
}

ChildProcess::Pointer createChildProcess(const std::string& command, const std::string& arguments,
                                         bool redirectOutput, bool inheritHandles) {
  ChildProcess::Pointer process;
  try {
    process = std::make_shared<ChildProcess>(ChildProcess::Key());
    process->command = command;
    process->wideCommand = ZelcorCorelib::toWide(command);
    process->argumentList = ChildProcess::splitArguments(arguments);
    for (const std::string& entry : process->argumentList) {
      process->wideArgumentList.push_back(ZelcorCorelib::toWide(entry));
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  process->redirectOutput = redirectOutput;
  process->inheritHandles = inheritHandles;
  process->registered = true;
  return process;
}

ChildProcess::Pointer attachChildProcess(std::uint32_t pid) {
  ChildProcess::Pointer process;
  try {
    process = std::make_shared<ChildProcess>(ChildProcess::Key());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  process->registered = true;
  process->attached = true;
  process->pid = pid;
  process->threadId = pid;
  if (!isProcessIdValid(pid)) return process;
  try {
    platform::ProcessId id = toProcessId(pid);
    if (auto image = platform::processImagePath(id)) {
      process->command = *image;
      process->wideCommand = ZelcorCorelib::toWide(*image);
    }
    if (auto elements = platform::processCommandLine(id)) {
      process->commandLineElements = std::move(*elements);
    }
    if (auto ticks = platform::processStartTicks(id)) process->startTicks = *ticks;
    if (auto started = platform::processStartTime(id)) process->startTime = *started;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // Alive with the start stamp just read: a pid reused later is seen by poll.
  if (platform::isProcessAlive(toProcessId(pid))) process->state = ChildProcess::kRunning;
  return process;
}

}  // namespace Zelcor
