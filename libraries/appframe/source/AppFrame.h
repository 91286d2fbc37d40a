// The base class of every program of the family. It owns the framework's standard services
// (loggers, system information, configuration store and client, file logger, command-line
// parser) and fixes the order in which a program comes to life; the application supplies what
// it does through the protected virtual operations.
//
// The application's main drives it:
//   installSignalHandler();
//   App app(argc, argv);     // App's constructor: setArguments, init (false: exit state 3),
//                            // then processCommandLine (help, version, revision)
//   exit state 2: exit 0; exit state 3: exit 2;
//   app.configure();         // an exception or false: exit 2
//   return app.runGuarded(); // the application's run behind a last-resort guard
//
// Threads: every operation belongs to the main thread. Ownership: the frame owns its members
// and the instance mutex for its own life, which is the life of the process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus/ImsAgent.h"
#include "bus/Logger.h"
#include "cli/CmdParser.h"
#include "config/ConfAgent.h"
#include "config/ConfBase.h"
#include "config/SystemBase.h"
#include "errors/Exception.h"
#include "logging/FileLogger.h"

namespace ZelcorCorelib {

class InstanceMutex;

class AppFrame : public ImsAgent, public Throws {
 public:
  ZELCOR_EXCEPTION(AlreadyRunning);
  ZELCOR_EXCEPTION(Configuration_NoConfigurationDir);
  ZELCOR_EXCEPTION(Configuration_ConfigurationFileNotFound);

  // Exit states, read once by main after construction.
  static constexpr std::int32_t kExitStateContinue = 0;
  static constexpr std::int32_t kExitStateDone = 2;    // served help, version or revision: exit 0
  static constexpr std::int32_t kExitStateFailed = 3;  // init failed: exit 2
  static constexpr int kExitCodeFailure = 2;
  static constexpr int kSingleInstanceTimeoutMilliseconds = 100;

  // Registry values under SOFTWARE\Zelcor, and configuration paths the frame reads.
  static constexpr const char* kConfigurationDirValue = "Resources\\ConfigurationDir";
  static constexpr const char* kStartupLogDirValue = "Resources\\StartupLogDir";
  static constexpr const char* kLogDirectoryPath = "Zelcor.directories.log";
  static constexpr const char* kSeverityPath = "log.channels.default.severity";
  static constexpr const char* kDebugLevelSuffix = ".log.debug-level";
  // How many rotated log files are kept (0 or missing: all).
  static constexpr const char* kMaxRotatedSuffix = ".log.max-rotated-files";

  // version and revision are shown for the options "version" and "revision"; an empty one
  // leaves its option undefined. With addStandardOptions the parser defines "help" (-?),
  // "version", "revision", "debug" and -c <configuration file>.
  // Throws what the services' constructors throw (a bus that cannot take their hooks).
  AppFrame(const std::string& applicationLongName, const std::string& applicationName,
           const std::string& thirdName, bool addStandardOptions, const std::string& companyName,
           const std::string& version, const std::string& revision);
  ~AppFrame() override;

  ImsResult receiveMessage(ImsMessage& message) override;
  ImsResult receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) override;

  // The program's argument vector, program name first; processCommandLine parses it.
  void setArguments(int argumentCount, const char* const* argumentVector);
  void setArguments(std::vector<std::string> arguments);
  const std::vector<std::string>& getArguments() const { return arguments; }

  // Lets the application add its options (addCommandLineOptions, once), then parses the
  // arguments. A parse error prints "ERROR: " + the parser's text + newline on standard output
  // and gives false; start-up may go on. Otherwise prints the usage text, "Version=" + version
  // and "Revision=" + revision for the options given (joined by newlines, no newline after
  // the last), sets exit state 2 when it printed anything, and gives true.
  bool processCommandLine();

  // Registers the application's keys, opens the start-up log, loads the configuration file,
  // points the file logger at the configured directory and level, checks the single instance
  // when asked to, and lets the application verify the configuration. True; every failure is
  // raised: Configuration_NoConfigurationDir, Configuration_ConfigurationFileNotFound,
  // AlreadyRunning, and the loader's, the configuration client's and the file logger's
  // exceptions with this frame's location added.
  bool configure();

  // The application's run behind a guard: every escaping exception becomes a console text
  // (no newline), a fatal log record and exit code 2.
  int runGuarded();

  // True once this frame holds the mutex <application name>_Single (a second call only counts
  // up). Throws AlreadyRunning when another holder kept it for about 104 ms, and
  // InstanceMutex::Lock_Failed when the lock file cannot be used.
  bool checkSingleInstance();

  // The -c value unchanged, else <ConfigurationDir>/<application name in lower case>.conf,
  // with no separator added when the registry value ends in one. Throws
  // Configuration_NoConfigurationDir (the registry's failure as cause; also for an empty
  // value) and Configuration_ConfigurationFileNotFound.
  void getConfigurationFileName(std::string& fileName);

  // 0 to 8: the "debug" option's level name when given, else from the configured debug level
  // and severity; missing entries count as 0 and "none".
  int getLogLevel();

  // Enables the file logger in the registry's StartupLogDir (blanks trimmed). Raises the
  // configuration client's or the file logger's exception with this location added.
  void configureStartupLogger();
  // Re-enables the file logger in Zelcor.directories.log with getLogLevel as its level and as
  // the process-wide ceiling. Raises as configureStartupLogger.
  void configureFileLogger();

  std::int32_t getExitState() const { return exitState; }

  const std::string& getApplicationLongName() const { return applicationLongName; }
  const std::string& getApplicationName() const { return applicationName; }
  const std::string& getThirdName() const { return thirdName; }
  const std::string& getCompanyName() const { return companyName; }

  bool getSingleInstance() const { return singleInstance; }
  void setSingleInstance(bool value) { singleInstance = value; }
  bool getLogSubdirectoryPerApplication() const { return logSubdirectoryPerApplication; }
  void setLogSubdirectoryPerApplication(bool value) { logSubdirectoryPerApplication = value; }
  bool getProcessIdInLogName() const { return processIdInLogName; }
  void setProcessIdInLogName(bool value) { processIdInLogName = value; }

  Logger& getFrameLogger() { return frameLogger; }
  Logger& getApplicationLogger() { return applicationLogger; }
  FileLogger& getFileLogger() { return fileLogger; }
  CmdParser& getCmdParser() { return cmdParser; }
  const CmdParser& getCmdParser() const { return cmdParser; }
  ConfAgent& getConfAgent() { return confAgent; }
  // Null until checkSingleInstance ran.
  const InstanceMutex* getInstanceMutex() const { return instanceMutex.get(); }

 protected:
  void setExitState(std::int32_t value) { exitState = value; }

  // Called once, by the first processCommandLine, before the parse: the application defines
  // its own options here, so that the first pass already knows them.
  virtual void addCommandLineOptions(CmdParser& parser);
  // The application's start-up; the subclass's constructor calls it.
  virtual bool init() = 0;
  // The application's tear-down; the subclass's destructor calls it.
  virtual bool end() = 0;
  // configure calls these three: first, after the file logger is configured, and last.
  virtual void registerConfigurationKeys();
  virtual void configurationLoaded();
  virtual void verifyConfiguration();
  // The application's main work; the process exit code.
  virtual int run() = 0;
  virtual ImsResult receiveApplicationMessage(ImsMessage& message);
  virtual ImsResult receiveApplicationHookedMessage(std::uint64_t hookId, ImsMessage& message);

 private:
  // The application name with ":" replaced by "_", and the log file's base name from it.
  std::string logName() const;
  std::string logBaseName(const std::string& name) const;
  // The arguments of the last parse, blank-separated, those with a blank in double quotes.
  std::string commandLineText() const;
  // The console text without a newline, then the log record; a failing log is dropped.
  void reportFailure(const std::string& consoleText, const std::function<void()>& writeLog);
  void reportFatal(const std::string& consoleText, const std::string& logText);

  Logger frameLogger;
  SystemBase systemBase;
  ConfBase confBase;
  bool singleInstance = false;
  std::unique_ptr<InstanceMutex> instanceMutex;
  Logger applicationLogger;
  FileLogger fileLogger;
  bool logSubdirectoryPerApplication = false;
  bool processIdInLogName = false;
  std::int32_t exitState = kExitStateContinue;
  CmdParser cmdParser;
  ConfAgent confAgent;

  std::string applicationLongName;
  std::string applicationName;
  std::string thirdName;
  std::string companyName;
  std::vector<std::string> arguments;
  bool applicationOptionsAdded = false;
};

}  // namespace ZelcorCorelib
