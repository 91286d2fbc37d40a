#include "logging/FileLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus/ImsMessage.h"
#include "bus/Logger.h"
#include "testsupport/TempDir.h"
#include "testsupport/WaitFor.h"
#include "time/DateTime.h"

namespace ZelcorCorelib {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

const std::string kTime = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3})";

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(readAll(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

Logger::LogMessageParameter makeRecord(int level, std::string text, std::string source = "main") {
  Logger::LogMessageParameter record;
  record.level = level;
  record.sourceName = std::move(source);
  record.time = DateTime::now().getCount();
  record.threadId = 2044;
  record.processId = 1772;
  record.text = std::move(text);
  return record;
}

ImsResult deliver(FileLogger& logger, Logger::LogMessageParameter& record) {
  ImsMessage message("debug", record.level < kLogInfo ? "functional" : "debug",
                     std::to_string(record.level), &record);
  return logger.receiveMessage(message);
}

template <typename Raise>
Exception caught(Raise&& raise) {
  try {
    raise();
  } catch (const Exception& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was raised";
  return Exception();
}

TEST(FileLogger, LineLayoutHasLevelColumnLocalTimeAndPaddedGroup) {
  auto record = makeRecord(kLogError, "Could not open \"%\" (%)");
  record.parameters.write(std::string("a.spec"));
  record.parameters.write(7);
  const std::string line = FileLogger::formatLine(record);
  EXPECT_TRUE(
      matches(line, "ERROR   " + kTime +
                        R"( \(thread=2044 process=1772 main\) {6} Could not open "a.spec" \(7\))"))
      << line;

  struct Case {
    int level;
    std::string column;
  } cases[] = {{0, "NONE    "}, {1, "FATAL   "}, {3, "WARNING "}, {4, "info    "},
               {5, "verbose "}, {6, "debug   "}, {7, "trace   "}, {8, "flood   "}};
  for (const auto& c : cases) {
    EXPECT_EQ(FileLogger::formatLine(makeRecord(c.level, "x")).substr(0, 8), c.column);
  }

  // Keyed texts stay as they are; a group longer than the column is not cut.
  auto keyed = makeRecord(kLogWarning, "@a.b.c{Entry \"%\" missing};", "0123456789");
  keyed.threadId = 4000000000u;
  keyed.processId = 2000000000;
  keyed.parameters.write(std::string("x"));
  EXPECT_TRUE(matches(
      FileLogger::formatLine(keyed),
      "WARNING " + kTime +
          R"( \(thread=4000000000 process=2000000000 0123456789\) @a\.b\.c\{Entry "x" missing\};)"))
      << FileLogger::formatLine(keyed);
}

TEST(FileLogger, EnableNormalisesDirectoryAndOpensLazily) {
  TempDir temp("filelogger");
  FileLogger logger;
  logger.setLevel(kLogInfo);
  const std::string nested = temp.str() + "\\logs/deeper";
  logger.enable(nested, "JobScheduler");
  EXPECT_EQ(logger.getDirectory(), temp.str() + "/logs/deeper/");
  EXPECT_TRUE(fs::is_directory(temp.file("logs/deeper")));
  const std::string path = temp.file("logs/deeper/JobScheduler.log");
  EXPECT_EQ(logger.getFileName(), path);
  EXPECT_FALSE(fs::exists(path));

  auto record = makeRecord(kLogInfo, "first");
  EXPECT_EQ(deliver(logger, record), ImsResult::Handled);
  auto lines = readLines(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(matches(lines[0], "Opened log file at " + kTime)) << lines[0];
  EXPECT_TRUE(matches(lines[1], "info    " + kTime + R"( \(thread=2044 .* first)")) << lines[1];
  EXPECT_EQ(readAll(path).find('\r'), std::string::npos);
}

TEST(FileLogger, EnableRefusesBadArgumentsWithKeyedMessages) {
  TempDir temp("filelogger");
  std::ofstream(temp.file("plain")) << "x";
  FileLogger logger;

  Exception invalid = caught([&] { logger.enable(temp.file("plain/sub"), "base"); });
  EXPECT_EQ(invalid.getClassName(), "Enable_InvalidDir");
  EXPECT_EQ(invalid.getMessage(),
            "@file-logger.enable.invalid-dir{Trying to enable with invalid log directory "
            "\"%\"};");
  EXPECT_NE(invalid.toString().find(temp.file("plain/sub") + "/\""), std::string::npos)
      << invalid.toString();
  EXPECT_FALSE(logger.isEnabled());

  Exception empty = caught([&] { logger.enable(temp.str(), ""); });
  EXPECT_EQ(empty.getClassName(), "Enable_EmptyBaseName");
  EXPECT_EQ(empty.getMessage(),
            "@file-logger.enable.empty-base-name{Trying to enable with empty file base name};");

  logger.enable(temp.str(), "base");
  Exception twice = caught([&] { logger.enable(temp.str(), "base"); });
  EXPECT_EQ(twice.getClassName(), "Enable_AlreadyEnabled");
  EXPECT_EQ(twice.getMessage(),
            "@file-logger.enable.already-enabled{Trying to enable when already enabled};");

  Exception level = caught([&] { logger.setLevel(9); });
  EXPECT_EQ(level.getClassName(), "Level_OutOfBounds");
  EXPECT_NE(level.toString().find("Trying to set an invalid log level (9)"), std::string::npos);
  EXPECT_THROW(logger.setLevel(-1), FileLogger::Level_OutOfBounds);
  logger.setLevel(8);
  EXPECT_EQ(logger.getLevel(), 8);
}

TEST(FileLogger, LevelFiltersRecordsAndLevelMessagesStopAtTrace) {
  TempDir temp("filelogger");
  FileLogger logger;
  logger.enable(temp.str(), "lv");
  logger.setLevel(4);

  auto verbose = makeRecord(kLogVerbose, "dropped");
  EXPECT_EQ(deliver(logger, verbose), ImsResult::Handled);
  EXPECT_FALSE(fs::exists(temp.file("lv.log")));

  struct Case {
    std::string type;
    int expected;
  } cases[] = {{"8", 4}, {"-1", 4}, {"x", 4}, {"7", 7}, {"0", 0}, {"3", 3}};
  for (const auto& c : cases) {
    ImsMessage message("debug", "level", c.type);
    EXPECT_EQ(logger.receiveMessage(message), ImsResult::Handled) << c.type;
    EXPECT_EQ(logger.getLevel(), c.expected) << c.type;
  }

  ImsMessage other("debug", "other", "1");
  EXPECT_EQ(logger.receiveMessage(other), ImsResult::NotHandled);
  ImsMessage notDebug("conf", "debug", "1");
  EXPECT_EQ(logger.receiveMessage(notDebug), ImsResult::NotHandled);
  EXPECT_EQ(logger.receiveHookedMessage(987654321, other), ImsResult::NotHandled);

  auto warning = makeRecord(kLogWarning, "kept");
  EXPECT_EQ(deliver(logger, warning), ImsResult::Handled);
  auto lines = readLines(temp.file("lv.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(0, 8), "WARNING ");
}

TEST(FileLogger, BannersTellTheFileHistory) {
  TempDir temp("filelogger");
  const std::string path = temp.file("hist.log");
  {
    FileLogger logger;
    logger.disable();           // harmless while disabled
    logger.setLevel(kLogInfo);  // keeps the bus's own verbose lines out
    logger.enable(temp.str(), "hist");
    auto one = makeRecord(kLogInfo, "one");
    deliver(logger, one);
    logger.disable();
    EXPECT_EQ(logger.getLastClosedFileName(), path);
    auto lost = makeRecord(kLogInfo, "while disabled");
    EXPECT_EQ(deliver(logger, lost), ImsResult::Handled);

    logger.enable(temp.str() + "/", "hist");
    auto two = makeRecord(kLogInfo, "two");
    deliver(logger, two);
  }
  auto lines = readLines(path);
  ASSERT_EQ(lines.size(), 7u) << readAll(path);
  EXPECT_TRUE(matches(lines[0], "Opened log file at " + kTime));
  EXPECT_TRUE(matches(lines[1], "info    .* one"));
  EXPECT_TRUE(matches(lines[2], "Disabling logging to this file at " + kTime));
  EXPECT_EQ(lines[3], "");
  EXPECT_TRUE(matches(lines[4], "Enabling logging to this file at " + kTime)) << lines[4];
  EXPECT_TRUE(matches(lines[5], "info    .* two"));
  EXPECT_TRUE(matches(lines[6], "Closing log file at " + kTime));

  // Another logger on the same file has closed nothing: it opens, after an empty line.
  FileLogger next;
  next.setLevel(kLogInfo);
  next.enable(temp.str(), "hist");
  auto three = makeRecord(kLogInfo, "three");
  deliver(next, three);
  lines = readLines(path);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[7], "");
  EXPECT_TRUE(matches(lines[8], "Opened log file at " + kTime));
}

TEST(FileLogger, RotatesPastMaxFileSizeAndNamesTheOldFile) {
  TempDir temp("filelogger");
  FileLogger logger;
  logger.setMaxFileSize(200);
  logger.setLevel(kLogInfo);
  logger.enable(temp.str(), "rot");
  const std::string path = temp.file("rot.log");
  const std::int64_t before = DateTime::now().getCount();
  for (int i = 0; i < 3; ++i) {
    auto record = makeRecord(kLogInfo, "line " + std::to_string(i) + std::string(60, 'x'));
    deliver(logger, record);
  }
  const std::int64_t after = DateTime::now().getCount();

  std::vector<fs::path> rotated;
  for (const auto& entry : fs::directory_iterator(temp.path())) {
    if (entry.path() != path) rotated.push_back(entry.path());
  }
  ASSERT_EQ(rotated.size(), 1u);
  const std::string rotatedName = rotated[0].filename().string();
  std::smatch found;
  ASSERT_TRUE(std::regex_match(rotatedName, found, std::regex(R"(rot-(\d+)\.log)"))) << rotatedName;
  const std::int64_t count = std::stoll(found[1]);
  EXPECT_GE(count, before);
  EXPECT_LE(count, after);

  auto old = readLines(rotated[0].string());
  ASSERT_GE(old.size(), 2u);
  EXPECT_TRUE(matches(old.back(), "Rotating log file at " + kTime));
  EXPECT_GT(fs::file_size(rotated[0]), 200u);

  auto fresh = readLines(path);
  ASSERT_GE(fresh.size(), 3u);
  EXPECT_TRUE(matches(fresh[0], "Opened log file at " + kTime));
  EXPECT_EQ(fresh[1], "File continued from \"" + rotated[0].string() + "\"");
  EXPECT_TRUE(matches(fresh[2], "info    .* line \\d+x+"));
}

TEST(FileLogger, RotationTakesTheFirstFreeNumberedName) {
  TempDir temp("filelogger");
  FileLogger logger;
  logger.setMaxFileSize(10);
  logger.setLevel(kLogInfo);
  // A stamp of our own: names taken for the wall clock's stamps would be free again as soon as
  // a slow machine got past them.
  constexpr std::int64_t kStamp = 3'900'000'000'123;
  logger.setRotationStamp([] { return kStamp; });
  logger.enable(temp.str(), "col");
  auto first = makeRecord(kLogInfo, "fills the file past ten bytes");
  deliver(logger, first);

  // The plain stamped name is taken, and so is its "-1".
  const std::string stamped = temp.file("col-" + std::to_string(kStamp));
  std::ofstream(stamped + ".log") << "older";
  std::ofstream(stamped + "-1.log") << "older";
  auto second = makeRecord(kLogInfo, "after");
  deliver(logger, second);
  auto fresh = readLines(temp.file("col.log"));
  ASSERT_GE(fresh.size(), 2u);
  EXPECT_EQ(fresh[1], "File continued from \"" + stamped + "-2.log\"");
  EXPECT_TRUE(matches(readLines(stamped + "-2.log").back(), "Rotating log file at " + kTime));
  // The names that were taken keep what they held.
  EXPECT_EQ(readAll(stamped + ".log"), "older");
  EXPECT_EQ(readAll(stamped + "-1.log"), "older");
}

// A stamp that grows by one at every rotation, so that ages are known.
std::atomic<std::int64_t> nextStamp{3'900'000'000'000};

TEST(FileLogger, OnlyTheNewestRotatedFilesAreKeptWhenCapped) {
  TempDir temp("filelogger");
  FileLogger logger;
  logger.setMaxFileSize(10);
  logger.setLevel(kLogInfo);
  logger.setMaxRotatedFiles(3);
  logger.setRotationStamp([] { return nextStamp.fetch_add(1); });
  // Not a name the logger makes: never deleted.
  std::ofstream(temp.file("cap-notes.log")) << "mine";
  // An older clash-numbered name counts as older than everything after its stamp.
  std::ofstream(temp.file("cap-3899999999999-1.log")) << "older";
  logger.enable(temp.str(), "cap");
  for (int i = 0; i < 8; ++i) {
    auto record = makeRecord(kLogInfo, "line " + std::to_string(i) + " past ten bytes");
    deliver(logger, record);
  }
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(temp.path())) {
    names.insert(entry.path().filename().string());
  }
  const std::int64_t last = nextStamp.load() - 1;
  EXPECT_EQ(names, (std::set<std::string>{"cap.log", "cap-notes.log",
                                          "cap-" + std::to_string(last - 2) + ".log",
                                          "cap-" + std::to_string(last - 1) + ".log",
                                          "cap-" + std::to_string(last) + ".log"}));
  // 0: every rotated file stays, as without a cap.
  logger.setMaxRotatedFiles(0);
  for (int i = 0; i < 2; ++i) {
    auto record = makeRecord(kLogInfo, "more " + std::to_string(i) + " past ten bytes");
    deliver(logger, record);
  }
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator(temp.path())) count += entry.is_regular_file();
  EXPECT_EQ(count, names.size() + 2);
}

TEST(FileLogger, RealThresholdRotatesOnlyAboveTenMillionBytes) {
  TempDir temp("filelogger");
  struct Case {
    std::uintmax_t size;
    bool rotates;
  } cases[] = {{10'000'000, false}, {10'000'001, true}};
  for (const auto& c : cases) {
    TempDir dir("filelogger-size", temp.path());
    const std::string path = dir.file("big.log");
    {
      std::ofstream out(path, std::ios::binary);
      out << std::string(c.size, 'a');
    }
    FileLogger logger;
    logger.setLevel(kLogInfo);
    EXPECT_EQ(logger.getMaxFileSize(), 10'000'000u);
    logger.enable(dir.str(), "big");
    auto record = makeRecord(kLogInfo, "next");
    deliver(logger, record);
    const auto files = std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator());
    EXPECT_EQ(files, c.rotates ? 2 : 1) << c.size;
    auto lines = readLines(path);
    if (c.rotates) {
      ASSERT_EQ(lines.size(), 3u);
      EXPECT_TRUE(matches(lines[0], "Opened log file at " + kTime));
      EXPECT_TRUE(matches(lines[1], "File continued from \".*/big-\\d+\\.log\""));
    } else {
      EXPECT_GT(fs::file_size(path), c.size);
      EXPECT_TRUE(matches(lines.back(), "info    .* next"));
    }
  }
}

TEST(FileLogger, WriteFailureReachesTheCallerAndLoggingRecovers) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
  TempDir temp("filelogger");
  const std::string path = temp.file("full.log");
  fs::create_symlink("/dev/full", path);
  FileLogger logger;
  logger.setLevel(kLogInfo);
  logger.enable(temp.str(), "full");

  auto record = makeRecord(kLogError, "lost");
  Exception direct = caught([&] { deliver(logger, record); });
  EXPECT_EQ(direct.getClassName(), "Log_FileWriteError");
  EXPECT_EQ(direct.getMessage(),
            "@file-logger.log.file-write-error{Failed to write to log file \"%\"};");
  EXPECT_NE(direct.toString().find(path), std::string::npos);

  // Through a Logger: the code that logged sees it, and nothing crashes.
  Logger source("main");
  source.setReceiver(&logger);
  EXPECT_THROW(source.error("also lost"), FileLogger::Log_FileWriteError);

  fs::remove(path);
  source.error("kept");
  auto lines = readLines(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(matches(lines[1], "ERROR   .* kept"));
}

TEST(FileLogger, RecordsBeforeEnableAreDroppedAndOpenFailureIsKeyed) {
  TempDir temp("filelogger");
  FileLogger logger;
  auto early = makeRecord(kLogInfo, "early");
  EXPECT_EQ(deliver(logger, early), ImsResult::Handled);

  fs::create_directory(temp.file("blocked.log"));  // the file name is taken by a folder
  logger.enable(temp.str(), "blocked");
  Exception open = caught([&] { deliver(logger, early); });
  EXPECT_EQ(open.getClassName(), "Log_FileOpenError");
  EXPECT_NE(open.toString().find("Failed to open log file \"" + temp.file("blocked.log")),
            std::string::npos);
}

void hammer(FileLogger& logger, const std::string& path, int threads, int perThread) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&logger, t, perThread] {
      Logger source("w" + std::to_string(t));
      source.setReceiver(&logger);
      for (int i = 0; i < perThread; ++i)
        source.debug("worker % line % %", t, i, std::string(40, 'p'));
    });
  }
  for (auto& worker : workers) worker.join();
  logger.disable();

  // Other modules of the process may log into the same file meanwhile; every line must still
  // be whole.
  const std::regex anyLine("([A-Z]+ *|[a-z]+ *)" + kTime +
                           R"( (\(thread=\d+ process=\d+ [^)]*\) *) .*)");
  const std::regex ours("debug   " + kTime +
                        R"( \(thread=\d+ process=\d+ w(\d)\) * worker (\d) line (\d+) p{40})");
  std::map<int, int> next;
  int records = 0;
  for (const auto& line : readLines(path)) {
    if (line.rfind("Opened log file at ", 0) == 0 || line.rfind("Disabling logging", 0) == 0)
      continue;
    std::smatch found;
    ASSERT_TRUE(std::regex_match(line, found, anyLine)) << line;
    EXPECT_EQ(found[1].length(), 8);
    EXPECT_GE(found[2].length(), 37);
    if (line.find(" w") == std::string::npos || !std::regex_match(line, found, ours)) continue;
    EXPECT_EQ(found[1], found[2]);
    const int worker = std::stoi(found[2]);
    EXPECT_EQ(std::stoi(found[3]), next[worker]++) << "lines of one thread keep their order";
    ++records;
  }
  EXPECT_EQ(records, threads * perThread);
}

TEST(FileLogger, LinesOfEightThreadsNeverInterleave) {
  TempDir temp("filelogger");
  FileLogger logger;
  logger.setMaxFileSize(1'000'000'000);
  logger.enable(temp.str(), "hammer");
  hammer(logger, temp.file("hammer.log"), 8, 2000);
}

TEST(FileLogger, AsynchronousModeWritesThroughTheLoggerThread) {
  TempDir temp("filelogger");
  FileLogger logger;
  ASSERT_TRUE(logger.setAsynchronous(true));
  logger.enable(temp.str(), "async");
  EXPECT_FALSE(logger.setAsynchronous(false));

  auto record = makeRecord(kLogInfo, "queued");
  deliver(logger, record);
  const std::string path = temp.file("async.log");
  EXPECT_TRUE(testing::waitFor([&] { return readAll(path).find("queued") != std::string::npos; }));

  logger.disable();
  EXPECT_TRUE(matches(readLines(path).back(), "Disabling logging to this file at " + kTime));

  // The thread starts again; disable writes what is still queued before its banner.
  logger.enable(temp.str(), "async2");
  hammer(logger, temp.file("async2.log"), 8, 500);
  EXPECT_TRUE(matches(readLines(temp.file("async2.log")).back(),
                      "Disabling logging to this file at " + kTime));
}

}  // namespace
}  // namespace ZelcorCorelib
