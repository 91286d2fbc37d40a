// The start-up steps of JobScheduler::run: command line, job folders, core pool, queues and
// the command listener.
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "CorePool.h"
#include "JobQueue.h"
#include "JobScheduler.h"
#include "QuitSignal.h"
#include "base/StringUtils.h"
#include "config/ConfOldFile.h"
#include "files/FileUtils.h"
#include "net/ControlKey.h"
#include "platform/Accounts.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Sockets.h"
#include "platform/Threads.h"

namespace Zelcor {

using ZelcorCorelib::CmdParser;
using ZelcorCorelib::Exception;

namespace {

struct OptionSpec {
  const char* longName;
  int kind;
  const char* help;
};

// In the order the usage text lists them, after the frame's own.
constexpr OptionSpec kSchedulerOptions[] = {
    {"pend", CmdParser::kValue, "Specifies the base directory name of pending jobs. "},
    {"que", CmdParser::kValue, "Specifies the base directory name of queued jobs. "},
    {"run", CmdParser::kValue, "Specifies the base directory name of running jobs. "},
    {"fin", CmdParser::kValue, "Specifies the base directory name of finished jobs. "},
    {"maxcores", CmdParser::kValue, "Specifies maximum cores to be used. "},
    {"nodetach", CmdParser::kFlag, "Skip detach of process "},
};

// What the core limit conversion would read as a number: optional blanks, a sign, a digit.
// Anything else would silently become 0, which means "all cores but one".
bool startsWithInteger(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
}

}  // namespace

void JobScheduler::addSchedulerOptions(CmdParser& parser) {
  for (const OptionSpec& option : kSchedulerOptions) {
    if (!parser.isDefined(option.longName)) {
      parser.addOption(option.help, option.kind, 0, option.longName);
    }
  }
}

void JobScheduler::addCommandLineOptions(CmdParser& parser) { addSchedulerOptions(parser); }

bool JobScheduler::initCmdLine() {
  ZelcorCorelib::Logger& log = getApplicationLogger();
  log.verbose("JobScheduler::initCmdLine: Initializing command line options.");
  CmdParser& parser = getCmdParser();
  addSchedulerOptions(parser);
  std::string message;
  if (!parser.parse(getArguments(), message)) {
    log.fatal("@jobscheduler.init-cmdline.invalid-args{Invalid command line arguments.};");
    std::cout << parser.usage() << std::flush;
    return false;
  }
  return true;
}

bool JobScheduler::loadCommandLineConfiguration() {
  std::string fileName;
  if (!getCmdParser().getValue('c', fileName)) return true;
  getApplicationLogger().debug(
      "JobScheduler::initCmdLine: Configuration file supplied at command line. (File=%)", fileName);
  try {
    ZelcorCorelib::ConfOldFile loader;
    loader.load(fileName, true);
    return true;
  } catch (const Exception& failure) {
    reportFailure(failure);
    return false;
  }
}

void JobScheduler::initJobDir(const char* option, const char* keyword, const char* label,
                              std::string& directory) {
  const bool given = getCmdParser().getValue(option, directory);
  if (!given) {
    directory = getConfAgent().getString(keywordReference(keyword));
    if (directory.empty()) return;
  }
  if (ZelcorCorelib::isShortcut(directory)) ZelcorCorelib::resolveShortcut(directory);
  getApplicationLogger().debug(
      std::string("JobScheduler::initJobsDir: ") + label + " jobs directory = \"%\"", directory);
}

bool JobScheduler::ensureCommandLineDirectory(const char* option, const std::string& directory) {
  if (!getCmdParser().isSet(option)) return true;
  if (directory.empty()) {
    reportFailure(std::string("Option --") + option + " names no directory");
    return false;
  }
  if (JobQueue::ensureDirectory(getApplicationLogger(), directory, true)) return true;
  // Left missing, a move into it fails and the job would run again at the next start.
  reportFailure("Directory \"" + directory + "\" given with option --" + option +
                " does not exist and could not be created");
  return false;
}

bool JobScheduler::initJobsDir(std::string& pending, std::string& queued, std::string& running,
                               std::string& finished) {
  getApplicationLogger().debug("JobScheduler::initJobsDir: Initializing jobs directories.");
  try {
    initJobDir("pend", kKeywordPendingDir, "Pending", pending);
    initJobDir("que", kKeywordQueuedDir, "Queued", queued);
    initJobDir("run", kKeywordRunningDir, "Running", running);
    initJobDir("fin", kKeywordFinishedDir, "Finished", finished);
  } catch (const Exception& failure) {
    reportFailure(failure);
    return false;
  }
  return ensureCommandLineDirectory("pend", pending) && ensureCommandLineDirectory("que", queued) &&
         ensureCommandLineDirectory("run", running) && ensureCommandLineDirectory("fin", finished);
}

bool JobScheduler::initCpuMem() {
  try {
    return sizeCorePool();
  } catch (const Exception& failure) {
    reportFailure(failure);
    return false;
  }
}

bool JobScheduler::sizeCorePool() {
  ZelcorCorelib::Logger& log = getApplicationLogger();
  ZelcorCorelib::ConfAgent& conf = getConfAgent();
  std::string directory = conf.getString(keywordReference(kKeywordTempDir));
  if (ZelcorCorelib::isShortcut(directory)) ZelcorCorelib::resolveShortcut(directory);
  const std::string path = directory + "/sysinfo";
  log.debug("JobScheduler::initCpuMem: Getting CPU and Memory information from \"%\"", path);
  if (!readSysinfo(path)) {
    if (!ZelcorCorelib::isRegularFile(path)) {
      log.warning(
          "@jobscheduler.init-cpu-mem.sysinfo-missing{File not found \"%\". Will only "
          "run one job at a time.};",
          path);
    } else {
      log.warning(
          "@jobscheduler.init-cpu-mem.sysinfo-unusable{File \"%\" gives no usable core "
          "count. Will only run one job at a time.};",
          path);
    }
  }
  applyMaxCores(conf.getInt(keywordReference(kKeywordMaxCores)));
  std::string value;
  if (getCmdParser().getValue("maxcores", value)) {
    if (!startsWithInteger(value)) {
      reportFailure("Option --maxcores needs an integer, not \"" + value + "\"");
      return false;
    }
    applyMaxCores(ZelcorCorelib::textToInt(value));
  }
  log.debug("JobScheduler::initCpuMem: Max CPU: \"%\"", CorePool::instance().getTotalCores());
  return true;
}

bool JobScheduler::initQueues(const std::string& pending, const std::string& queued,
                              const std::string& running, const std::string& finished) {
  ZelcorCorelib::Logger& log = getApplicationLogger();
  ZelcorCorelib::ConfAgent& conf = getConfAgent();
  log.debug("JobScheduler::initQueues: Initalizing Job queues.");
  queueController = std::make_unique<QueueController>(&ZelcorCorelib::quitSignal);
  queueController->setDirectories(pending, queued, running, finished);
  log.debug("JobScheduler::initQueues: Getting \"queues\" config.");
  const std::string queuesPath = keywordReference(kKeywordQueues);
  std::vector<std::string> names;
  try {
    names = conf.getSubEntries(queuesPath);
  } catch (const Exception&) {
    log.debug("JobScheduler::initQueues: \"queues\" entry not found in config file.");
  }
  log.debug("JobScheduler::initQueues: Got % queuenames", names.size());
  try {
    std::string slurmConf =
        optionalEntry(ZelcorCorelib::lowerCopy(getApplicationName()) + ".slurm-conf");
    if (!slurmConf.empty()) {
      std::error_code error;
      slurmConf = std::filesystem::absolute(slurmConf, error).string();
    }
    for (const std::string& name : names) {
      log.debug("JobScheduler::initQueues: Got name: %", name);
      JobQueue queue;
      queue.setName(name);
      const std::string base = queuesPath + "." + name;
      queue.setMaxCores(static_cast<std::uint32_t>(conf.getInt(base + ".max-cores")));
      queue.setPriorityLevel(conf.getInt(base + ".priority-level"));
      const std::string executor = optionalEntry(base + ".executor");
      if (!executor.empty() && executor != "local" && executor != "slurm") {
        return reportBadEntry(
            ZelcorCorelib::lowerCopy(getApplicationName()) + ".queues." + name + ".executor",
            "\"local\" or \"slurm\"", executor);
      }
      if (executor == "slurm") {
        SlurmSettings slurm;
        slurm.conf = slurmConf;
        slurm.partition = optionalEntry(base + ".slurm-partition");
        std::istringstream words(optionalEntry(base + ".slurm-options"));
        for (std::string word; words >> word;) slurm.options.push_back(word);
        queue.setSlurm(std::move(slurm));
      }
      queueController->addQueue(queue);
    }
  } catch (const Exception& failure) {
    // A queue without its limits is a configuration fault to name, not a crash.
    reportFailure(failure);
    return false;
  }
  return queueController->initQueues();
}

std::string JobScheduler::optionalEntry(const std::string& path) {
  try {
    return ZelcorCorelib::trim(getConfAgent().getString(path));
  } catch (const ZelcorCorelib::ConfAgent::Query_NotFound&) {
    return {};
  }
}

bool JobScheduler::reportBadEntry(const std::string& path, const std::string& expected,
                                  const std::string& value) {
  std::string text = "Configuration entry \"";
  text += path;
  text += "\" must be ";
  text += expected;
  text += ", not \"";
  text += value;
  text += "\"";
  reportFailure(text);
  return false;
}

bool JobScheduler::initJobOutputs(RunRecords& records) {
  // Where jobs' output and errors go; without the entry, where the scheduler's own go.
  std::string outputPath = ZelcorCorelib::lowerCopy(getApplicationName());
  outputPath += ".job-output-dir";
  std::string folder = optionalEntry(outputPath);
  if (folder.empty()) return true;
  if (ZelcorCorelib::isShortcut(folder)) ZelcorCorelib::resolveShortcut(folder);
  // Stamped into spec files and handed to supervisors, which start elsewhere: absolute.
  std::error_code error;
  folder = ZelcorCorelib::normalizedPath(std::filesystem::absolute(folder, error).string());
  if (error || !JobQueue::ensureDirectory(getApplicationLogger(), folder, true)) {
    std::string text = "Directory \"";
    text += folder;
    text += "\" of configuration entry \"";
    text += outputPath;
    text += "\" does not exist and could not be created";
    reportFailure(text);
    return false;
  }
  const auto status = ZelcorCorelib::platform::fileStatus(folder);
  if (ZelcorCorelib::platform::isPrivileged() && status && (status->mode & 022) != 0) {
    getApplicationLogger().warning(
        "@jobscheduler.init.output-dir-open{Directory \"%\" for jobs' output may be written by "
        "others than root: a user could take or remove the folder another user's output goes "
        "to.};",
        folder);
  }
  records.setOutputFolder(folder);
  return true;
}

bool JobScheduler::initRunRecords() {
  std::string folder;
  try {
    folder = getConfAgent().getString(keywordReference(kKeywordWorkDir));
  } catch (const Exception& failure) {
    reportFailure(failure);
    return false;
  }
  if (ZelcorCorelib::isShortcut(folder)) ZelcorCorelib::resolveShortcut(folder);
  std::string program = supervisorProgram;
  if (program.empty()) {
    const auto self =
        ZelcorCorelib::platform::processImagePath(static_cast<ZelcorCorelib::platform::ProcessId>(
            ZelcorCorelib::platform::currentProcessId()));
    program = RunRecords::supervisorBeside(self.value_or(std::string()));
  }
  std::string error;
  RunRecords::Pointer records =
      RunRecords::open(ZelcorCorelib::normalizedPath(folder.append("/runs")), program, error);
  if (!records) {
    std::string text = "Jobs cannot be run: ";
    text += error;
    reportFailure(text);
    return false;
  }
  // Whose jobs run as whom: "owner" (the default) or "scheduler".
  std::string runAsPath = ZelcorCorelib::lowerCopy(getApplicationName());
  runAsPath += ".run-as";
  std::string runAs = "owner";
  try {
    runAs = ZelcorCorelib::trim(getConfAgent().getString(runAsPath));
  } catch (const ZelcorCorelib::ConfAgent::Query_NotFound&) {
  }
  if (runAs != "owner" && runAs != "scheduler") {
    return reportBadEntry(runAsPath, "\"owner\" or \"scheduler\"", runAs);
  }
  queueController->setRunAsOwner(runAs == "owner");
  // Passes on events (new pending files, ended jobs, commands) or, when false, once a second.
  std::string eventsPath = ZelcorCorelib::lowerCopy(getApplicationName());
  eventsPath += ".wake-on-events";
  try {
    queueController->setWakeOnEvents(getConfAgent().getBool(eventsPath));
  } catch (const ZelcorCorelib::ConfAgent::Query_NotFound&) {
  }
  // How long a job that outlived its time limit has to stop before it is killed.
  std::string gracePath = ZelcorCorelib::lowerCopy(getApplicationName());
  gracePath += ".kill-grace";
  try {
    const ZelcorCorelib::TimeSpan grace = getConfAgent().getTimeSpan(gracePath);
    if (grace.getYears() != 0 || grace.getMonths() != 0 || grace.getMilliseconds() < 0) {
      return reportBadEntry(gracePath, "a duration such as 10s, 2m or PT30S", grace.toText());
    }
    records->setKillGrace(std::chrono::milliseconds(grace.getMilliseconds()));
  } catch (const ZelcorCorelib::ConfAgent::Query_NotFound&) {
  }
  if (!initJobOutputs(*records)) return false;
  if (runAs == "owner" && !ZelcorCorelib::platform::isPrivileged()) {
    getApplicationLogger().info(
        "@jobscheduler.init.run-as-unprivileged{The scheduler does not run as root: every job "
        "runs as the scheduler's own user.};");
  }
  getApplicationLogger().debug(
      "JobScheduler::initRunRecords: Run records in \"%\", supervisor \"%\"", records->getFolder(),
      records->getSupervisor());
  queueController->setRunRecords(std::move(records));
  return true;
}

bool JobScheduler::startListener() {
  ZelcorCorelib::ConfAgent& conf = getConfAgent();
  const std::string portPath = keywordReference(kKeywordPort);
  std::int32_t port = 0;
  try {
    listener.setController(queueController.get());
    // The configuration may hold any non-negative number; only these can be listened on, and
    // a larger one would be cut to its low bits on the way to the socket.
    conf.test(portPath, 0, std::numeric_limits<std::uint16_t>::max());
    port = conf.getInt(portPath);
    // Loopback unless the operator opens the port to the network on purpose.
    std::string addressPath = ZelcorCorelib::lowerCopy(getApplicationName());
    addressPath += ".listen-address";
    std::string address = "127.0.0.1";
    try {
      address = ZelcorCorelib::trim(conf.getString(addressPath));
    } catch (const ZelcorCorelib::ConfAgent::Query_NotFound&) {
    }
    if (!ZelcorCorelib::platform::isListenAddress(address)) {
      return reportBadEntry(addressPath,
                            "an IPv4 address (0.0.0.0 for every interface) or an IPv6 address "
                            "(:: for every interface, IPv6 and IPv4)",
                            address);
    }
    listenAddress = address;
    // With a key file, every conversation must prove it knows the key.
    std::string keyPath = ZelcorCorelib::lowerCopy(getApplicationName());
    keyPath += ".control-key-file";
    std::string keyFile;
    try {
      keyFile = ZelcorCorelib::trim(conf.getString(keyPath));
    } catch (const ZelcorCorelib::ConfAgent::Query_NotFound&) {
    }
    if (!keyFile.empty()) {
      ZelcorCorelib::ControlKeyFile key = ZelcorCorelib::readControlKeyFile(keyFile);
      if (!key.error.empty()) {
        std::string text = "Configuration entry \"";
        text += keyPath;
        text += "\": ";
        text += key.error;
        reportFailure(text);
        return false;
      }
      listener.setSharedSecret(std::move(key.secret));
      getApplicationLogger().info(
          "@jobscheduler.listener.keyed{The command port answers only clients that prove they know "
          "the key in \"%\".};",
          keyFile);
    }
    listener.startListening(port, address);
  } catch (const Exception& failure) {
    std::cout << "Failed to start listener (" << describe(failure) << ")\n" << std::flush;
    try {
      getApplicationLogger().fatal(failure);
    } catch (...) {
    }
    return false;
  }
  // startListening returns once the thread listens or has given up, so no grace period.
  if (listener.isListening()) {
    getApplicationLogger().debug("JobScheduler::startListener: Listening on port %",
                                 listener.getPort());
    getApplicationLogger().info(
        "@jobscheduler.listener.address{The command port listens on % port %.};", listenAddress,
        listener.getPort());
    return true;
  }
  std::cout << "Listener failed to start (port " << port << ")\n" << std::flush;
  return false;
}

}  // namespace Zelcor
