// End-to-end harness: a sandbox with everything one scheduler process needs of its own (a
// registry file, a lock folder, a configuration, job folders, a free port) and the scheduler
// binary started in it as a separate process, observed only the way an operator would: exit
// code, standard output, log files, job folders, the TCP port.
// One test thread uses a sandbox and its processes; a process still running when its object
// goes is terminated and reaped.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "testsupport/TempDir.h"

namespace Zelcor::e2e {

inline constexpr std::chrono::milliseconds kStartDeadline{15'000};
inline constexpr std::chrono::milliseconds kJobDeadline{20'000};

// A TCP port that nobody listened on a moment ago.
int freePort();

// Whole file, or empty when it cannot be read.
std::string readText(const std::filesystem::path& path);
void writeText(const std::filesystem::path& path, const std::string& text);
// key=value lines, as a client writes them and the scheduler rewrites them.
std::multimap<std::string, std::string> readSpec(const std::filesystem::path& path);

struct QueueSetting {
  std::string name;
  int maxCores = 0;
  int priorityLevel = 2;
};

// What goes into the sandbox's jobscheduler.conf; a missing optional is left out of the file.
struct ConfigSettings {
  std::optional<int> port;  // the sandbox's free port unless set
  bool withPort = true;
  int maxCores = 2;
  std::vector<QueueSetting> queues = {{"queue_fast", 1, 4}, {"queue_slow", 1, 1}};
};

class Sandbox {
 public:
  explicit Sandbox(const std::string& name);

  const std::filesystem::path& root() const { return folder.path(); }
  std::filesystem::path path(const std::string& relative) const { return root() / relative; }
  int getPort() const { return port; }

  // The registry file names <root>/conf as ConfigurationDir and <root>/startup-log as
  // StartupLogDir; the configuration puts the job folders under <root>/jobs, the log under
  // <root>/log and the sysinfo file's folder at <root>/tmp.
  void writeConfiguration(const ConfigSettings& settings = {});
  void writeRegistry(const std::string& text);
  std::filesystem::path configurationFile() const { return path("conf/jobscheduler.conf"); }
  std::filesystem::path logFile() const { return path("log/JobScheduler.log"); }
  std::filesystem::path jobFolder(const std::string& name) const { return path("jobs/" + name); }

  // A shell script that writes its arguments to <root>/<name>.out and exits with exitCode.
  std::filesystem::path writeJobScript(const std::string& name, int exitCode);
  // A shell script that writes each argument on a line of its own to <root>/<name>.out, so
  // that a blank inside an argument tells apart from one between two.
  std::filesystem::path writeArgumentLinesScript(const std::string& name);
  // A shell script that creates <root>/<name>.started, then runs until release(name).
  std::filesystem::path writeBlockingScript(const std::string& name);
  void release(const std::string& name) const;
  // Writes the spec under a hidden name first and renames it, as clients must.
  std::filesystem::path dropJob(const std::filesystem::path& pendingFolder, const std::string& name,
                                const std::vector<std::pair<std::string, std::string>>& keys);

  // Extra environment for every process started in this sandbox.
  std::map<std::string, std::string> environment;

 private:
  ZelcorCorelib::test::TempDir folder;
  int port = 0;
};

class SchedulerProcess {
 public:
  // Starts the scheduler binary with arguments in sandbox's root, with the sandbox's registry
  // file and lock folder; standard output and error go to files of their own.
  SchedulerProcess(const Sandbox& sandbox, const std::vector<std::string>& arguments);
  ~SchedulerProcess();
  SchedulerProcess(const SchedulerProcess&) = delete;
  SchedulerProcess& operator=(const SchedulerProcess&) = delete;

  bool started() const { return pid > 0; }
  int getPid() const { return pid; }
  // The exit code once the process has ended within deadline; nullopt while it runs.
  std::optional<int> waitForExit(std::chrono::milliseconds deadline = kStartDeadline);
  bool isRunning();
  // Sends SIGTERM ("TERM"), SIGINT ("INT") and so on to the process.
  bool signal(const std::string& name);
  std::string standardOutput() const { return readText(outputFile); }
  std::string standardError() const { return readText(errorFile); }

 protected:
  // Any program, started the same way.
  SchedulerProcess(const Sandbox& sandbox, const std::string& program,
                   const std::vector<std::string>& arguments);

 private:
  void spawn(const Sandbox& sandbox, const std::string& program,
             const std::vector<std::string>& arguments);

  int pid = 0;
  std::optional<int> exitCode;
  std::filesystem::path outputFile;
  std::filesystem::path errorFile;
};

// The control client, started in the sandbox like the scheduler.
class JsctlProcess : public SchedulerProcess {
 public:
  JsctlProcess(const Sandbox& sandbox, const std::vector<std::string>& arguments)
      : SchedulerProcess(sandbox, JSCTL_BINARY, arguments) {}
};

// Runs the binary to its end (help, failures); kills it after the deadline.
struct Outcome {
  std::optional<int> exitCode;
  std::string output;
  std::string error;
};
Outcome runToEnd(const Sandbox& sandbox, const std::vector<std::string>& arguments);
Outcome runJsctl(const Sandbox& sandbox, const std::vector<std::string>& arguments,
                 std::chrono::milliseconds deadline = kJobDeadline);

// Peak resident memory of a process in kB (VmHWM), or -1 when it cannot be read.
long peakMemoryKb(int pid);

// Waits until the file exists and contains text (empty: just exists).
bool waitForFileText(const std::filesystem::path& path, const std::string& text,
                     std::chrono::milliseconds deadline = kJobDeadline);

}  // namespace Zelcor::e2e
