#include "JobScheduler.h"

#include <cstdint>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "JobSchedulerVersion.h"
#include "base/StringUtils.h"
#include "values/ParamStream.h"

namespace Zelcor {

using ZelcorCorelib::CmdParser;
using ZelcorCorelib::Exception;

namespace {

// The keywords in registration order and the paths they stand for; the second kind of path
// is prefixed with the application name in lower case and a point.
constexpr JobScheduler::KeywordSpec kKeywords[] = {
    {JobScheduler::kKeywordDirs, "Zelcor.directories", false},
    {JobScheduler::kKeywordTempDir, "Zelcor.directories.temp", false},
    {JobScheduler::kKeywordMaxCores, "max-cores", true},
    {JobScheduler::kKeywordWorkDir, "working-dir", true},
    {JobScheduler::kKeywordPendingDir, "jobdir.pending-dir", true},
    {JobScheduler::kKeywordQueuedDir, "jobdir.queued-dir", true},
    {JobScheduler::kKeywordRunningDir, "jobdir.running-dir", true},
    {JobScheduler::kKeywordFinishedDir, "jobdir.finished-dir", true},
    {JobScheduler::kKeywordDaily, "priority-levels.daily-processing", true},
    {JobScheduler::kKeywordRegeneration, "priority-levels.regeneration", true},
    {JobScheduler::kKeywordPort, "port", true},
    {JobScheduler::kKeywordQueues, "queues", true},
};

void collectTexts(const Exception& failure, std::vector<std::string>& texts) {
  if (!failure.getMessage().empty()) {
    std::string text = ZelcorCorelib::trim(ZelcorCorelib::fillPlaceholders(
        Exception::extractText(failure.getMessage()), failure.getParameters()));
    for (char& c : text) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    if (!text.empty()) texts.push_back(text);
  }
  for (const Exception& cause : failure.getNestedExceptions()) collectTexts(cause, texts);
}

}  // namespace

std::string describeFailure(const Exception& failure) {
  std::vector<std::string> texts;
  collectTexts(failure, texts);
  if (texts.empty()) {
    return failure.getClassName().empty() ? "Unknown failure" : failure.getClassName();
  }
  std::string line = texts.front();
  for (std::size_t i = 1; i < texts.size(); ++i) line += " - " + texts[i];
  return line;
}

JobScheduler::JobScheduler(int argumentCount, const char* const* argumentVector)
    : AppFrame("Job Scheduler", "JobScheduler", "1", true, "Zelcor, Inc.", build::kVersion,
               build::kRevision) {
  setArguments(argumentCount, argumentVector);
  if (!init()) setExitState(kExitStateFailed);
  processCommandLine();
}

JobScheduler::~JobScheduler() {
  try {
    end();
  } catch (...) {
    // A log that cannot be written must not end the program from a destructor.
  }
}

bool JobScheduler::init() {
  ZelcorCorelib::Logger& log = getApplicationLogger();
  log.setSourceName("main");
  try {
    checkSingleInstance();
    log.info("Constructing application");
    return true;
  } catch (const Exception& failure) {
    // The log is not open yet; main prints the reason unless help or version was asked for.
    initFailure = describeFailure(failure);
    try {
      log.fatal(failure);
    } catch (...) {
    }
    return false;
  }
}

void JobScheduler::reportInitFailure() {
  std::cout << "ERROR: " << (initFailure.empty() ? "Start-up failed" : initFailure) << "\n"
            << std::flush;
}

bool JobScheduler::end() {
  getApplicationLogger().info("Ending run");
  if (listener.isListening()) {
    try {
      listener.endListener();
    } catch (const Exception& failure) {
      std::cout << "Failed to end listener (" << describeFailure(failure) << ")\n" << std::flush;
    }
  }
  return true;
}

bool JobScheduler::startUp() {
  try {
    return configure();
  } catch (const Exception& failure) {
    reportFailure(failure);
  } catch (const std::exception& failure) {
    reportFailure(std::string("Unexpected failure while configuring: ") + failure.what());
  }
  return false;
}

void JobScheduler::reportFailure(const std::string& text) {
  std::cout << "ERROR: " << text << "\n" << std::flush;
  try {
    getApplicationLogger().fatal(text);
  } catch (...) {
  }
}

void JobScheduler::reportFailure(const Exception& failure) {
  std::cout << "ERROR: " << describe(failure) << "\n" << std::flush;
  try {
    getApplicationLogger().fatal(failure);
  } catch (...) {
  }
}

void JobScheduler::registerConfigurationKeys() {
  getApplicationLogger().verbose("JobScheduler::registerConfigurationKeys");
  ZelcorCorelib::ConfAgent& conf = getConfAgent();
  for (const KeywordSpec& keyword : kKeywords) conf.keyword(keyword.keyword, keywordPath(keyword));
}

std::string JobScheduler::keywordPath(const KeywordSpec& keyword) const {
  if (!keyword.applicationPrefix) return keyword.path;
  return ZelcorCorelib::lowerCopy(getApplicationName()) + "." + keyword.path;
}

std::string JobScheduler::describe(const Exception& failure) const {
  // The messages name entries as they were asked for ("%port%"); the operator edits paths.
  std::string text = describeFailure(failure);
  for (const KeywordSpec& keyword : kKeywords) {
    const std::string reference = keywordReference(keyword.keyword);
    const std::string path = keywordPath(keyword);
    for (std::size_t at = text.find(reference); at != std::string::npos;
         at = text.find(reference, at + path.size())) {
      text.replace(at, reference.size(), path);
    }
  }
  return text;
}

void JobScheduler::verifyConfiguration() {
  getApplicationLogger().verbose("JobScheduler::verifyConfiguration");
  ZelcorCorelib::ConfAgent& conf = getConfAgent();
  constexpr int kMustExist = 0;
  constexpr int kCreate = 1;
  conf.test(keywordReference(kKeywordTempDir), kMustExist);
  for (const char* keyword : {kKeywordWorkDir, kKeywordPendingDir, kKeywordQueuedDir,
                              kKeywordRunningDir, kKeywordFinishedDir}) {
    conf.test(keywordReference(keyword), kCreate);
  }
  conf.test(keywordReference(kKeywordDaily), 0, 4);
  conf.test(keywordReference(kKeywordRegeneration), 0, 4);
  conf.test(keywordReference(kKeywordPort), 0, std::numeric_limits<std::int64_t>::max());
}

int JobScheduler::run() {
  ZelcorCorelib::Logger& log = getApplicationLogger();
  log.info("Running application");
  std::string pending, queued, running, finished;
  const bool ready = initCmdLine() && loadCommandLineConfiguration() &&
                     initJobsDir(pending, queued, running, finished) && initCpuMem() &&
                     initQueues(pending, queued, running, finished) && initRunRecords() &&
                     startListener();
  if (!ready) {
    log.fatal(
        "@jobscheduler.run.init-fail{Failed to initialize Job Scheduler. Exiting "
        "application.};");
    return kExitFailure;
  }
  if (queueController->run()) return kExitSuccess;
  log.fatal(
      "@jobscheduler.run.fail-quectrl-run{Failed to run Queue Controller. Exiting "
      "application.};");
  return kExitFailure;
}

}  // namespace Zelcor
