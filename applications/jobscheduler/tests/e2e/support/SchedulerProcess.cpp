#include "support/SchedulerProcess.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/Process.h"
#include "platform/Sockets.h"
#include "testsupport/WaitFor.h"

namespace Zelcor::e2e {

namespace fs = std::filesystem;
namespace platform = ZelcorCorelib::platform;

namespace {

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a shell command line to its end; its exit code, or -1.
int runShell(const std::string& command) {
  platform::SpawnOptions options;
  options.inheritDescriptors = false;
  const platform::SpawnResult spawned = platform::spawnProcess("/bin/sh", {"-c", command}, options);
  if (spawned.pid <= 0) return -1;
  int code = -1;
  ZelcorCorelib::testing::waitFor([&] {
    const platform::ChildStatus status = platform::pollChild(spawned.pid);
    if (status.state == platform::ChildState::running) return false;
    code = status.exitCode;
    return true;
  });
  return code;
}

std::string uniqueSuffix() {
  std::random_device device;
  return std::to_string(device()) + std::to_string(device());
}

}  // namespace

int freePort() {
  const platform::NewSocket made = platform::createStreamSocket();
  if (made.socket == platform::kNoSocket) return 0;
  int port = 0;
  if (platform::bindAnyAddress(made.socket, 0) == 0)
    port = platform::localPort(made.socket).value_or(0);
  platform::closeSocket(made.socket);
  return port;
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::multimap<std::string, std::string> readSpec(const fs::path& path) {
  std::multimap<std::string, std::string> keys;
  std::istringstream lines(readText(path));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t separator = line.find('=');
    if (separator != std::string::npos)
      keys.emplace(line.substr(0, separator), line.substr(separator + 1));
  }
  return keys;
}

Sandbox::Sandbox(const std::string& name) : folder("zelcor-e2e-" + name), port(freePort()) {
  fs::create_directories(path("locks"));
  fs::create_directories(path("tmp"));
  writeRegistry(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor\\Resources]\n"
      "\"ConfigurationDir\"=\"" +
      path("conf").string() +
      "\"\n"
      "\"StartupLogDir\"=\"" +
      path("startup-log").string() + "\"\n");
}

void Sandbox::writeRegistry(const std::string& text) { writeText(path("registry.reg"), text); }

void Sandbox::writeConfiguration(const ConfigSettings& settings) {
  auto dir = [&](const std::string& name, const std::string& relative) {
    return name + " (DirName) = \"" + path(relative).string() + "\" { }\n";
  };
  std::string text = "Zelcor (String) = \"\" {\n directories (String) = \"\" {\n  " +
                     dir("temp", "tmp") + "  " + dir("log", "log") + " }\n}\n";
  text += "jobscheduler (String) = \"\" {\n " + dir("working-dir", "work");
  text += " jobdir (String) = \"\" {\n  " + dir("pending-dir", "jobs/pending") + "  " +
          dir("queued-dir", "jobs/queues") + "  " + dir("running-dir", "jobs/running") + "  " +
          dir("finished-dir", "jobs/finished") + " }\n";
  text += " max-cores (Integer) = \"" + std::to_string(settings.maxCores) + "\" { }\n";
  // The same tests once more with a pass a second and no other wake-up (see CMakeLists).
  const char* events = std::getenv("JOBSCHEDULER_E2E_WAKE_ON_EVENTS");
  if (events != nullptr && std::string(events) == "false") {
    text += " wake-on-events (Bool) = \"false\" { }\n";
  }
  if (settings.withPort) {
    text += " port (NetworkPort) = \"" + std::to_string(settings.port.value_or(port)) + "\" { }\n";
  }
  text +=
      " priority-levels (String) = \"\" {\n  daily-processing (Integer) = \"3\" { }\n"
      "  regeneration (Integer) = \"1\" { }\n }\n";
  if (!settings.queues.empty()) {
    text += " queues (String) = \"\" {\n";
    for (const QueueSetting& queue : settings.queues) {
      text += "  " + queue.name + " (String) = \"\" {\n   max-cores (Integer) = \"" +
              std::to_string(queue.maxCores) + "\" { }\n   priority-level (Integer) = \"" +
              std::to_string(queue.priorityLevel) + "\" { }\n  }\n";
    }
    text += " }\n";
  }
  text +=
      "}\nJobScheduler (String) = \"\" {\n log (String) = \"\" {\n"
      "  debug-level (Integer) = \"2\" { }\n }\n}\n";
  writeText(configurationFile(), text);
}

fs::path Sandbox::writeJobScript(const std::string& name, int exitCode) {
  const fs::path script = path(name + ".sh");
  writeText(script, "#!/bin/sh\necho \"$@\" > " + quoted(path(name + ".out").string()) + "\nexit " +
                        std::to_string(exitCode) + "\n");
  fs::permissions(script, fs::perms::owner_all);
  return script;
}

fs::path Sandbox::writeArgumentLinesScript(const std::string& name) {
  const fs::path script = path(name + ".sh");
  writeText(script,
            "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + quoted(path(name + ".out").string()) + "\n");
  fs::permissions(script, fs::perms::owner_all);
  return script;
}

fs::path Sandbox::writeBlockingScript(const std::string& name) {
  const fs::path script = path(name + ".sh");
  writeText(script, "#!/bin/sh\ntouch " + quoted(path(name + ".started").string()) +
                        "\nwhile [ ! -e " + quoted(path(name + ".release").string()) +
                        " ]; do sleep 0.05; done\n");
  fs::permissions(script, fs::perms::owner_all);
  return script;
}

void Sandbox::release(const std::string& name) const { writeText(path(name + ".release"), ""); }

fs::path Sandbox::dropJob(const fs::path& pendingFolder, const std::string& name,
                          const std::vector<std::pair<std::string, std::string>>& keys) {
  std::string text;
  for (const auto& [key, value] : keys) text += key + "=" + value + "\n";
  const fs::path partial = pendingFolder / ("." + name + ".partial");
  writeText(partial, text);
  const fs::path spec = pendingFolder / (name + ".spec");
  fs::rename(partial, spec);
  return spec;
}

SchedulerProcess::SchedulerProcess(const Sandbox& sandbox,
                                   const std::vector<std::string>& arguments) {
  spawn(sandbox, JOBSCHEDULER_BINARY, arguments);
}

SchedulerProcess::SchedulerProcess(const Sandbox& sandbox, const std::string& program,
                                   const std::vector<std::string>& arguments) {
  spawn(sandbox, program, arguments);
}

void SchedulerProcess::spawn(const Sandbox& sandbox, const std::string& program,
                             const std::vector<std::string>& arguments) {
  const std::string suffix = uniqueSuffix();
  outputFile = sandbox.path("stdout-" + suffix + ".txt");
  errorFile = sandbox.path("stderr-" + suffix + ".txt");
  std::string command = "cd " + quoted(sandbox.root().string()) + " && exec env" +
                        " ZELCOR_REGISTRY=" + quoted(sandbox.path("registry.reg").string()) +
                        " ZELCOR_LOCK_DIR=" + quoted(sandbox.path("locks").string());
  for (const auto& [name, value] : sandbox.environment) command += " " + name + "=" + quoted(value);
  command += " " + quoted(program);
  for (const std::string& argument : arguments) command += " " + quoted(argument);
  command += " < /dev/null > " + quoted(outputFile.string()) + " 2> " + quoted(errorFile.string());
  platform::SpawnOptions options;
  options.inheritDescriptors = false;
  // exec keeps the shell's pid, so the pid is the scheduler's.
  pid = platform::spawnProcess("/bin/sh", {"-c", command}, options).pid;
}

SchedulerProcess::~SchedulerProcess() {
  if (!isRunning()) return;
  signal("TERM");
  if (!waitForExit()) {
    signal("KILL");
    waitForExit();
  }
}

std::optional<int> SchedulerProcess::waitForExit(std::chrono::milliseconds deadline) {
  ZelcorCorelib::testing::waitFor([&] { return !isRunning(); }, deadline);
  return exitCode;
}

bool SchedulerProcess::isRunning() {
  if (pid <= 0 || exitCode) return false;
  const platform::ChildStatus status = platform::pollChild(pid);
  if (status.state == platform::ChildState::running) return true;
  exitCode = status.exitCode;
  return false;
}

bool SchedulerProcess::signal(const std::string& name) {
  if (!isRunning()) return false;
  return runShell("kill -s " + name + " " + std::to_string(pid)) == 0;
}

Outcome runToEnd(const Sandbox& sandbox, const std::vector<std::string>& arguments) {
  SchedulerProcess process(sandbox, arguments);
  Outcome outcome;
  outcome.exitCode = process.waitForExit();
  outcome.output = process.standardOutput();
  outcome.error = process.standardError();
  return outcome;
}

Outcome runJsctl(const Sandbox& sandbox, const std::vector<std::string>& arguments,
                 std::chrono::milliseconds deadline) {
  JsctlProcess process(sandbox, arguments);
  Outcome outcome;
  outcome.exitCode = process.waitForExit(deadline);
  outcome.output = process.standardOutput();
  outcome.error = process.standardError();
  return outcome;
}

long peakMemoryKb(int pid) {
  std::istringstream lines(readText("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

bool waitForFileText(const fs::path& path, const std::string& text,
                     std::chrono::milliseconds deadline) {
  return ZelcorCorelib::testing::waitFor(
      [&] { return fs::exists(path) && readText(path).find(text) != std::string::npos; }, deadline);
}

}  // namespace Zelcor::e2e
