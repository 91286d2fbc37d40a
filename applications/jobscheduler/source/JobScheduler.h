// The scheduler program's application object. It registers the scheduler's configuration
// keywords and command-line options on top of the application frame, reads the start-up
// inputs (the four job folders, the core limit from the sysinfo file and the configured or
// given maximum, the queues), builds the queue controller, starts the command listener and
// hands the main thread to the controller's loop until a quit is requested.
// main drives it in the frame's order: construct (init, first command-line pass), startUp
// (configure), runGuarded, destroy (end). Every start-up failure leaves one "ERROR: " line on
// standard output that names the file, the entry or the option concerned.
// Threads: everything here runs on the main thread; the listener runs its own thread and only
// touches the controller through the controller's thread-safe operations.
// Ownership: the scheduler owns the controller and the listener for the life of the process;
// the listener is declared after the controller, so it ends before the controller goes. The
// core pool and the quit flag are the process's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "AppFrame.h"
#include "JsListener.h"
#include "QueueController.h"
#include "errors/Exception.h"

namespace Zelcor {

class JobScheduler : public ZelcorCorelib::AppFrame {
 public:
  static constexpr int kExitSuccess = 0;
  static constexpr int kExitFailure = 2;

  // The keywords registered with the configuration agent and the paths they stand for; the
  // paths starting with "jobscheduler." are built from the application name.
  static constexpr const char* kKeywordDirs = "dirs";
  static constexpr const char* kKeywordTempDir = "tempdir";
  static constexpr const char* kKeywordMaxCores = "maxcores";
  static constexpr const char* kKeywordWorkDir = "workdir";
  static constexpr const char* kKeywordPendingDir = "pendir";
  static constexpr const char* kKeywordQueuedDir = "quedir";
  static constexpr const char* kKeywordRunningDir = "rundir";
  static constexpr const char* kKeywordFinishedDir = "findir";
  static constexpr const char* kKeywordDaily = "daily";
  static constexpr const char* kKeywordRegeneration = "regen";
  static constexpr const char* kKeywordPort = "port";
  static constexpr const char* kKeywordQueues = "queues";

  struct KeywordSpec {
    const char* keyword;
    const char* path;
    bool applicationPrefix;  // path follows "<application name in lower case>."
  };

  // Runs init (false: exit state 3) and the first command-line pass, which already knows the
  // scheduler's own options, so a valid command line prints no error there.
  JobScheduler(int argumentCount, const char* const* argumentVector);
  ~JobScheduler() override;
  JobScheduler(const JobScheduler&) = delete;
  JobScheduler& operator=(const JobScheduler&) = delete;

  // configure, with every failure printed as one "ERROR: " line and logged (when the log is
  // open already). False after a failure: the program ends with exit code 2.
  bool startUp();
  // After init failed (exit state 3): says why in one "ERROR: " line on standard output.
  void reportInitFailure();

  // The scheduler's own options, those the parser does not know yet, on top of the frame's:
  // the frame's first pass and initCmdLine both want them, so the second adds nothing.
  static void addSchedulerOptions(ZelcorCorelib::CmdParser& parser);

  // The steps of run, in this order, each only after the ones before succeeded.
  // Adds the scheduler's options (when missing) and parses the arguments; false with the
  // usage text on standard output for an invalid command line.
  bool initCmdLine();
  // Loads the -c file into the configuration store again; true also without -c.
  bool loadCommandLineConfiguration();
  // Each folder from its option, else from the configuration; a shortcut is resolved. A
  // folder named on the command line is created when missing, like the configured ones; false
  // when it cannot be.
  bool initJobsDir(std::string& pending, std::string& queued, std::string& running,
                   std::string& finished);
  // Sizes the process's core pool from <tempdir>/sysinfo and the configured "maxcores", then
  // the --maxcores option on top. False for a missing "tempdir" or "maxcores" and for a
  // --maxcores value that is no number.
  bool initCpuMem();
  // A fresh controller with the folders and one queue per child of "queues" (none: the
  // controller's default queue). False for a queue without "max-cores" or "priority-level".
  bool initQueues(const std::string& pending, const std::string& queued, const std::string& running,
                  const std::string& finished);
  // Starts the command listener on the configured port; false with a line on standard output
  // when the port is missing or out of range, or the listener does not run.
  bool startListener();

  // The jobs' supervisor; by default the one beside this program (RunRecords).
  void setSupervisorProgram(std::string program) { supervisorProgram = std::move(program); }
  // The folder of run records under the working folder, the supervisor and whom jobs run as
  // ("run-as": owner or scheduler), for the controller; false with a start-up error when the
  // folder cannot be had, the supervisor is missing or "run-as" holds another value.
  bool initRunRecords();
  // The configured folder for jobs' output, made when missing; false (reported) when it cannot be.
  bool initJobOutputs(RunRecords& records);
  // A configuration entry that may be missing, trimmed; empty when it is.
  std::string optionalEntry(const std::string& path);
  // Reports "Configuration entry "path" must be expected, not "value"" as a start-up failure;
  // false.
  bool reportBadEntry(const std::string& path, const std::string& expected,
                      const std::string& value);

  // Null before initQueues.
  QueueController* getQueueController() { return queueController.get(); }
  JsListener& getListener() { return listener; }

 protected:
  void addCommandLineOptions(ZelcorCorelib::CmdParser& parser) override;
  bool init() override;
  // Ends the listener when it runs; harmless a second time. Always true.
  bool end() override;
  void registerConfigurationKeys() override;
  // Throws the configuration agent's Test_ exceptions: the first entry that fails.
  void verifyConfiguration() override;
  int run() override;

 private:
  // "ERROR: " + text on standard output, and the text as a fatal log record.
  void reportFailure(const std::string& text);
  void reportFailure(const ZelcorCorelib::Exception& failure);
  // describeFailure with each "%keyword%" replaced by the path it stands for.
  std::string describe(const ZelcorCorelib::Exception& failure) const;
  std::string keywordPath(const KeywordSpec& keyword) const;
  // "%keyword%", the form in which configuration paths name a keyword.
  static std::string keywordReference(const char* keyword) {
    return std::string("%") + keyword + "%";
  }
  // The work of initCpuMem; throws what the configuration agent throws.
  bool sizeCorePool();
  // One job folder of initJobsDir; label is "Pending", "Queued", "Running" or "Finished".
  void initJobDir(const char* option, const char* keyword, const char* label,
                  std::string& directory);
  bool ensureCommandLineDirectory(const char* option, const std::string& directory);

  std::unique_ptr<QueueController> queueController;
  JsListener listener;
  std::string supervisorProgram;
  std::string listenAddress;
  // Why init failed; printed only when no help or version request is served instead.
  std::string initFailure;
};

// The readable text of failure and of its causes on one line, separated by " - ", without
// class names or source locations.
std::string describeFailure(const ZelcorCorelib::Exception& failure);

}  // namespace Zelcor
