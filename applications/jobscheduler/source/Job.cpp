#include "Job.h"

#include <limits>
#include <utility>

#include "base/NoDestructor.h"
#include "base/StringUtils.h"
#include "bus/Logger.h"
#include "errors/Exception.h"
#include "errors/GlobMatcher.h"
#include "files/FileUtils.h"
#include "time/DateTime.h"

namespace Zelcor {

using ZelcorCorelib::KeyValueMap;

namespace {

// Never destroyed, so that jobs handled while the process exits can still log.
ZelcorCorelib::Logger& jobLogger() {
  static ZelcorCorelib::NoDestructor<ZelcorCorelib::Logger> logger("Job");
  return *logger;
}

// A "-c" option whose path holds a blank would fall apart into two arguments; the path gets
// double quotes unless it already has them at either end.
std::string quoteConfigurationArgument(const std::string& arguments) {
  std::string padded = " " + arguments + " ";
  if (ZelcorCorelib::GlobMatcher::match(padded, "* -c * *.conf*")) {
    try {
      auto [position, length] = ZelcorCorelib::GlobMatcher::find(padded, " -c *.conf?");
      std::string path = ZelcorCorelib::trim(padded.substr(position + 3, length - 3));
      if (!path.empty() && path.front() != '"' && path.back() != '"') {
        ZelcorCorelib::replaceAll(padded, path, "\"" + path + "\"");
      }
    } catch (const ZelcorCorelib::Exception&) {
      // The whole-string match guarantees a find; should it fail, the text stays as given.
    }
  }
  return ZelcorCorelib::trim(padded);
}

std::uint32_t parsePid(const std::string& value) {
  const std::uint64_t number = ZelcorCorelib::textToUInt64(value);
  // No process has a larger id; a wrapped value could name an unrelated process.
  return number > std::numeric_limits<std::uint32_t>::max() ? 0
                                                            : static_cast<std::uint32_t>(number);
}

}  // namespace

Job::Job() = default;

Job::Job(SpecFile spec) : Job(spec.getRecords()) {
  specPath = spec.getPath();
  specFile = std::move(spec);
}

void Job::setSpecPath(std::string path) {
  if (specFile.hasFile() && path != specFile.getPath()) specFile = SpecFile(specFile.getRecords());
  specPath = std::move(path);
}

Job::Job(const KeyValueMap& spec) {
  ZelcorCorelib::Logger& log = jobLogger();
  log.debug("Job::Job: Constructing Job.");
  for (const auto& [key, value] : spec) {
    if (key == "executable") {
      executable = value;
    } else if (key == "arguments") {
      arguments = value;
    } else if (key == "pre") {
      preProcess = PrePostProcess(value);
    } else if (key == "post") {
      postProcess = PrePostProcess(value);
    } else if (key == "priority-level") {
      priorityLevel = parsePriorityLevel(value);
    } else if (key == "created") {
      created = value;
    } else if (key == "queue") {
      queueName = value;
    } else if (key == "pid") {
      pid = parsePid(value);
    }
  }
}

std::int32_t Job::parsePriorityLevel(const std::string& value) {
  static const struct {
    const char* name;
    const char* digit;
  } kLevels[] = {
      {"very low", "0"}, {"low", "1"}, {"normal", "2"}, {"high", "3"}, {"very high", "4"}};
  const std::string trimmed = ZelcorCorelib::trim(value);
  for (std::int32_t level = 0; level < 5; ++level) {
    if (trimmed == kLevels[level].name || trimmed == kLevels[level].digit) return level;
  }
  return kDefaultPriorityLevel;
}

std::string Job::currentUnixTime() {
  return ZelcorCorelib::int64ToText(ZelcorCorelib::DateTime::now().toUnixSeconds());
}

bool Job::loadSpec() {
  ZelcorCorelib::Logger& log = jobLogger();
  log.debug("Job::loadSpec: Loading job specification.");
  arguments = quoteConfigurationArgument(arguments);
  try {
    mainProcess = CommandProcess(executable, arguments);
  } catch (const ZelcorCorelib::Exception& exception) {
    // An unresolvable reference is a fault of this one spec file, not of the scheduler.
    for (const ZelcorCorelib::ExceptionRecord& record : exception.logRecords()) {
      log.error(record.text, record.parameters);
    }
    return false;
  }
  return true;
}

bool Job::configure() {
  ZelcorCorelib::unquote(executable);
  if (ZelcorCorelib::exists(executable)) return true;
  if (executable.find('%') == std::string::npos) {
    jobLogger().error("@jobscheduler.job-configure.conf{ Exe file does not exists}. % ",
                      executable);
    return false;
  }
  return true;
}

bool Job::move(const std::string& targetDirectory) {
  std::string target = targetDirectory + "/" + ZelcorCorelib::fileName(specPath);
  ZelcorCorelib::normalizePath(target);
  if (target == specPath) return true;
  return move(ZelcorCorelib::platform::SpecFolder::open(targetDirectory));
}

bool Job::move(const SpecFile::Folder& target) {
  if (target) {
    std::string targetPath = target->getPath() + "/" + ZelcorCorelib::fileName(specPath);
    ZelcorCorelib::normalizePath(targetPath);
    if (targetPath == specPath) return true;
  }
  return moveSpecFile(target, {}) == ZelcorCorelib::platform::FsResult::ok;
}

ZelcorCorelib::platform::FsResult Job::moveSpecFile(const SpecFile::Folder& target,
                                                    const std::string& targetName) {
  using ZelcorCorelib::platform::FsResult;
  ZelcorCorelib::Logger& log = jobLogger();
  const std::string name = ZelcorCorelib::fileName(specPath);
  std::string targetPath =
      (target ? target->getPath() : std::string()) + "/" + (targetName.empty() ? name : targetName);
  ZelcorCorelib::normalizePath(targetPath);
  log.debug("Job::move: Moving \"%\" to \"%\".", specPath, targetPath);
  // A job built from a map learns its file here, without reading it: the move needs no more.
  if (!specFile.hasFile()) {
    specFile = SpecFile::attach(
        ZelcorCorelib::platform::SpecFolder::open(ZelcorCorelib::folderName(specPath)), name,
        specFile.getRecords());
  }
  const FsResult result = target ? specFile.moveTo(target, targetName) : FsResult::notFound;
  if (result != FsResult::ok) {
    log.error("@jobscheduler.job-move.unable-to-move{Failed to move file.};");
    return result;
  }
  specPath = specFile.getPath();
  return result;
}

bool Job::writeSpecValue(const std::string& key, const std::string& value) {
  return writeSpecValues({{key, value}});
}

bool Job::writeSpecValues(const std::vector<std::pair<std::string, std::string>>& values) {
  ZelcorCorelib::Logger& log = jobLogger();
  if (!specFile.hasFile() || !specFile.isRead()) {
    SpecFile read = SpecFile::readPath(specPath);
    if (!read.isRead()) {
      log.error(
          "@jobscheduler.job-preprocess.fail-load-src{Failed to read key-value data from \"%\"};",
          specPath);
      return false;
    }
    specFile = std::move(read);
  }
  if (!specFile.stamp(values)) {
    log.error("@jobscheduler.job-preprocess.fail-write-data{Failed to write start time to \"%\"};",
              specPath);
    return false;
  }
  return true;
}

bool Job::preprocess() { return writeSpecValue("started", currentUnixTime()); }

bool Job::start() {
  if (!mainProcess.start()) return false;
  pid = mainProcess.getPid();
  writeSpecValue("pid", ZelcorCorelib::uint64ToText(pid));
  return true;
}

bool Job::stop() { return mainProcess.stop(); }

bool Job::postprocess() {
  // One rewrite for both: the finished file carries the same keys as two rewrites would leave.
  if (!writeSpecValues({{"exit-status", ZelcorCorelib::intToText(mainProcess.getExitCode())},
                        {"ended", currentUnixTime()}})) {
    jobLogger().warning(
        "@jobscheduler.run-postprocess.failed-write-exitvalue{Unable to get exit value from "
        "process %}",
        pid);
    return false;
  }
  return true;
}

void Job::removeSpecFile() const {
  if (specFile.hasFile()) {
    specFile.remove();
  } else {
    ZelcorCorelib::deleteFile(specPath, false);
  }
}

bool Job::isSameCommand(const Job& other) const {
  return executable == other.executable && arguments == other.arguments;
}

}  // namespace Zelcor
