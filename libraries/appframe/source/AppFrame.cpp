#include "AppFrame.h"

#include <iostream>
#include <new>
#include <stdexcept>

#include "InstanceMutex.h"
#include "base/StringUtils.h"
#include "config/ConfOldFile.h"
#include "files/FileUtils.h"
#include "platform/Threads.h"

namespace ZelcorCorelib {

namespace {

// The configured debug level: 1 verbose, 2 and 3 debug, 4 trace, 5 flood; anything else
// outside 0 to 5 switches logging off. 0 means "ask the severity" (-1 here).
int levelFromDebugLevel(int debugLevel) {
  switch (debugLevel) {
    case 0:
      return -1;
    case 1:
      return kLogVerbose;
    case 2:
    case 3:
      return kLogDebug;
    case 4:
      return kLogTrace;
    case 5:
      return kLogFlood;
    default:
      return kLogNone;
  }
}

int levelFromSeverity(const std::string& severity) {
  const std::string lower = lowerCopy(severity);
  if (lower == "fatal") return kLogFatal;
  if (lower == "error" || lower == "critical") return kLogError;
  if (lower == "warning") return kLogWarning;
  if (lower == "notice") return kLogInfo;
  return kLogNone;
}

void print(const std::string& text) { std::cout << text << std::flush; }

}  // namespace

AppFrame::AppFrame(const std::string& longName, const std::string& name, const std::string& third,
                   bool addStandardOptions, const std::string& company, const std::string& version,
                   const std::string& revision)
    : ImsAgent("appframe"),
      applicationLongName(longName),
      applicationName(name),
      thirdName(third),
      companyName(company) {
  cmdParser.init(applicationName, version, revision, addStandardOptions, false, true);
  frameLogger.setSourceName("appframe");
  // The application gives its own source name; until then its lines name the program.
  applicationLogger.setSourceName(applicationName);
  fileLogger.setLevel(kLogError);
}

AppFrame::~AppFrame() = default;

ImsResult AppFrame::receiveMessage(ImsMessage& message) {
  return receiveApplicationMessage(message);
}

ImsResult AppFrame::receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) {
  return receiveApplicationHookedMessage(hookId, message);
}

void AppFrame::addCommandLineOptions(CmdParser& /*parser*/) {}
void AppFrame::registerConfigurationKeys() {}
void AppFrame::configurationLoaded() {}
void AppFrame::verifyConfiguration() {}

ImsResult AppFrame::receiveApplicationMessage(ImsMessage& /*message*/) {
  return ImsResult::NotHandled;
}

ImsResult AppFrame::receiveApplicationHookedMessage(std::uint64_t /*hookId*/,
                                                    ImsMessage& /*message*/) {
  return ImsResult::NotHandled;
}

void AppFrame::setArguments(int argumentCount, const char* const* argumentVector) {
  std::vector<std::string> values;
  for (int i = 0; i < argumentCount && argumentVector != nullptr; ++i) {
    if (argumentVector[i] == nullptr) break;
    values.emplace_back(argumentVector[i]);
  }
  setArguments(std::move(values));
}

void AppFrame::setArguments(std::vector<std::string> values) { arguments = std::move(values); }

bool AppFrame::processCommandLine() {
  if (!applicationOptionsAdded) {
    applicationOptionsAdded = true;
    addCommandLineOptions(cmdParser);
  }
  std::string message;
  if (!cmdParser.parse(arguments, message)) {
    print("ERROR: " + message + "\n");
    return false;
  }
  std::vector<std::string> lines;
  if (cmdParser.isDefined("help") && cmdParser.isSet("help")) lines.push_back(cmdParser.usage());
  if (cmdParser.isDefined("version") && cmdParser.isSet("version")) {
    lines.push_back("Version=" + cmdParser.getVersion());
  }
  if (cmdParser.isDefined("revision") && cmdParser.isSet("revision")) {
    lines.push_back("Revision=" + cmdParser.getRevision());
  }
  if (!lines.empty()) {
    exitState = kExitStateDone;
    std::string text = lines.front();
    for (std::size_t i = 1; i < lines.size(); ++i) text += "\n" + lines[i];
    print(text);
  }
  return true;
}

bool AppFrame::configure() {
  ConfOldFile loader;
  registerConfigurationKeys();
  configureStartupLogger();
  applicationLogger.verbose("Configuring");
  std::string fileName;
  getConfigurationFileName(fileName);
  loader.load(fileName, true);
  configureFileLogger();
  if (singleInstance) checkSingleInstance();
  configurationLoaded();
  applicationLogger.verbose("AppFrame::configure: Command line:\n\t%", commandLineText());
  verifyConfiguration();
  return true;
}

std::string AppFrame::logName() const {
  std::string name = applicationName;
  for (char& c : name) {
    if (c == ':') c = '_';
  }
  return name;
}

std::string AppFrame::logBaseName(const std::string& name) const {
  if (!processIdInLogName) return name;
  return name + "_" + std::to_string(platform::currentProcessId());
}

void AppFrame::configureStartupLogger() {
  try {
    const std::string name = logName();
    std::string directory = trim(confAgent.getLocalString(kStartupLogDirValue, false));
    if (logSubdirectoryPerApplication) directory += "/" + name;
    fileLogger.enable(directory, logBaseName(name));
  } catch (Exception& failure) {
    failure.addLocation(ZELCOR_HERE);
    throw;
  }
}

void AppFrame::getConfigurationFileName(std::string& fileName) {
  frameLogger.trace("AppFrame::getConfigurationFileName");
  std::string name;
  if (!cmdParser.getValue('c', name)) {
    std::string directory;
    try {
      directory = confAgent.getLocalString(kConfigurationDirValue, false);
    } catch (const Exception& cause) {
      Configuration_NoConfigurationDir failure(
          "@app-frame.configure.no-configuration-dir{The configuration directory cannot be read "
          "from the registry value \"%\"};",
          ZELCOR_HERE, makeParams(std::string("SOFTWARE\\Zelcor\\") + kConfigurationDirValue));
      failure.addNested(cause);
      throw failure;
    }
    // An empty value would otherwise send the search to the root folder.
    if (directory.empty()) {
      ZELCOR_THROW(Configuration_NoConfigurationDir,
                   "@app-frame.configure.empty-configuration-dir{The registry value \"%\" names "
                   "no configuration directory};",
                   std::string("SOFTWARE\\Zelcor\\") + kConfigurationDirValue);
    }
    if (directory.back() != '/' && directory.back() != '\\') directory += '/';
    name = directory + lowerCopy(applicationName) + ".conf";
  }
  if (!isRegularFile(name)) {
    ZELCOR_THROW(Configuration_ConfigurationFileNotFound,
                 "@app-frame.configure.file-not-found{Configuration file \"%\" was not found};",
                 name);
  }
  fileName = name;
}

int AppFrame::getLogLevel() {
  frameLogger.trace("AppFrame::getLogLevel");
  std::string value;
  if (cmdParser.isDefined("debug") && cmdParser.getValue("debug", value)) {
    return levelFromName(value);
  }
  // Each entry has its own default, so a missing severity does not hide the debug level.
  std::string severity = "none";
  std::int16_t debugLevel = 0;
  try {
    severity = confAgent.getString(kSeverityPath);
  } catch (const Exception&) {
  }
  try {
    debugLevel = confAgent.getInt16(applicationName + kDebugLevelSuffix);
  } catch (const Exception&) {
  }
  const int level = levelFromDebugLevel(debugLevel);
  return level >= 0 ? level : levelFromSeverity(severity);
}

void AppFrame::configureFileLogger() {
  frameLogger.verbose("AppFrame::configureFileLogger");
  try {
    const std::string name = logName();
    std::string directory = confAgent.getString(kLogDirectoryPath);
    if (logSubdirectoryPerApplication) directory += "/" + name;
    const int level = getLogLevel();
    fileLogger.disable();
    fileLogger.setLevel(level);
    if (level <= kLogFlood) setLevelCeiling(level);
    std::int64_t keep = 0;
    try {
      keep = confAgent.getInt(applicationName + kMaxRotatedSuffix);
    } catch (const ConfAgent::Query_NotFound&) {
    }
    fileLogger.setMaxRotatedFiles(keep > 0 ? static_cast<std::size_t>(keep) : 0);
    fileLogger.enable(directory, logBaseName(name));
  } catch (Exception& failure) {
    failure.addLocation(ZELCOR_HERE);
    throw;
  }
}

bool AppFrame::checkSingleInstance() {
  if (!instanceMutex) instanceMutex = std::make_unique<InstanceMutex>(applicationName + "_Single");
  if (instanceMutex->lock(kSingleInstanceTimeoutMilliseconds)) return true;
  ZELCOR_THROW(AlreadyRunning,
               "@appframe.already-running{Another instance of the application is already running "
               "- cannot start another};");
}

std::string AppFrame::commandLineText() const {
  std::string text;
  for (const std::string& argument : cmdParser.getArguments()) {
    if (!text.empty()) text += ' ';
    text += argument.find(' ') == std::string::npos ? argument : "\"" + argument + "\"";
  }
  return text;
}

void AppFrame::reportFailure(const std::string& consoleText,
                             const std::function<void()>& writeLog) {
  print(consoleText);
  try {
    writeLog();
  } catch (...) {
    // The guard is the last resort: a log that cannot be written must not end the program
    // with an exception.
  }
}

int AppFrame::runGuarded() {
  try {
    return run();
  } catch (const Exception& failure) {
    std::string text = failure.toString(false);
    if (!text.empty() && text.front() == ' ') text.erase(0, 1);
    reportFailure(text, [&] { applicationLogger.fatal(failure); });
  } catch (const std::out_of_range&) {
    reportFatal("ERROR: STD range error", "@std-range-error{STD range error};");
  } catch (const std::range_error&) {
    reportFatal("ERROR: STD range error", "@std-range-error{STD range error};");
  } catch (const std::bad_alloc&) {
    reportFatal("ERROR: STD out of memory", "@std-out-of-memory{STD out of memory};");
  } catch (...) {
    reportFatal("ERROR: Unknown exception", "@unknown-exception{Unknown exception};");
  }
  return kExitCodeFailure;
}

void AppFrame::reportFatal(const std::string& consoleText, const std::string& logText) {
  reportFailure(consoleText, [&] { applicationLogger.fatal(logText); });
}

}  // namespace ZelcorCorelib
