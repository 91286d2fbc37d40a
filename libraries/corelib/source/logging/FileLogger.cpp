#include "logging/FileLogger.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "base/StringUtils.h"
#include "files/FileUtils.h"
#include "platform/Threads.h"
#include "time/DateTime.h"
#include "time/TimeZone.h"
#include "values/ParamStream.h"

namespace ZelcorCorelib {

namespace {

std::string localTimeText(std::int64_t count) {
  std::string text = DateTime(count).inZone(TimeZone::local()).toText(true, false, false);
  // A local zone of offset 0 is presented as UTC, whose mark the line does not carry.
  if (!text.empty() && text.back() == 'Z') text.pop_back();
  return text;
}

std::string nowText() { return localTimeText(DateTime::now().getCount()); }

bool equalIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

}  // namespace

FileLogger::FileLogger() : ImsAgent("file-logger") {
  levelHookId = setMessageHook(false, "debug", "level", "", 1);
  debugHookId = setMessageHook(false, "debug", "debug", "", 1);
  functionalHookId = setMessageHook(false, "debug", "functional", "", 1);
}

FileLogger::~FileLogger() {
  for (std::uint64_t id : {levelHookId, debugHookId, functionalHookId}) {
    if (id != 0) removeMessageHook(id);
  }
  try {
    stopLoggerThread();
  } catch (const Exception&) {
    // Nothing can be reported from here; the closing banner still goes out.
  }
  ThreadLockGuard guard(fileLock);
  if (file.isOpen()) {
    writeBannerQuietly("Closing log file at ");
    file.close();
  }
}

void FileLogger::enable(const std::string& newDirectory, const std::string& newBaseName) {
  if (enabled.load()) {
    ZELCOR_THROW(Enable_AlreadyEnabled,
                 "@file-logger.enable.already-enabled{Trying to enable when already enabled};");
  }
  if (newBaseName.empty()) {
    ZELCOR_THROW(Enable_EmptyBaseName,
                 "@file-logger.enable.empty-base-name{Trying to enable with empty file base "
                 "name};");
  }
  std::string dir = newDirectory;
  std::replace(dir.begin(), dir.end(), '\\', '/');
  if (dir.empty() || dir.back() != '/') dir += '/';
  if (!isDirectory(dir) && !createDirectory(dir)) {
    ZELCOR_THROW(Enable_InvalidDir,
                 "@file-logger.enable.invalid-dir{Trying to enable with invalid log directory "
                 "\"%\"};",
                 dir);
  }
  {
    ThreadLockGuard guard(fileLock);
    directory = dir;
    baseName = newBaseName;
  }
  if (asynchronous.load()) startLoggerThread();
  enabled.store(true);
}

void FileLogger::disable() {
  if (!enabled.load()) return;
  if (asynchronous.load()) stopLoggerThread();
  ThreadLockGuard guard(fileLock);
  if (file.isOpen()) writeBannerQuietly("Disabling logging to this file at ");
  lastClosedFileName = file.getPath();
  enabled.store(false);
  file.close();
}

void FileLogger::setLevel(int value) {
  if (value < kLogNone || value > kLogFlood) {
    ZELCOR_THROW(Level_OutOfBounds,
                 "@file-logger.level.out-of-bounds{Trying to set an invalid log level (%)};",
                 value);
  }
  level.store(value);
}

bool FileLogger::setAsynchronous(bool value) {
  if (enabled.load()) return false;
  asynchronous.store(value);
  return true;
}

std::string FileLogger::getFileName() const { return directory + baseName + ".log"; }

std::string FileLogger::getLastClosedFileName() const {
  ThreadLockGuard guard(const_cast<ThreadLock&>(fileLock));
  return lastClosedFileName;
}

ImsResult FileLogger::receiveMessage(ImsMessage& message) {
  if (message.getGeneralType() != "debug") return ImsResult::NotHandled;
  const std::string& typeText = message.getMessageType();
  int n = 0;
  auto [end, error] = std::from_chars(typeText.data(), typeText.data() + typeText.size(), n);
  const bool numeric =
      error == std::errc() && end == typeText.data() + typeText.size() && !typeText.empty();
  const std::string& group = message.getGroupType();
  if (group == "debug" || group == "functional") {
    auto* record = dynamic_cast<Logger::LogMessageParameter*>(message.getParameter());
    if (numeric && record != nullptr && n <= level.load()) post(*record);
    return ImsResult::Handled;
  }
  if (group == "level") {
    if (numeric && n >= kLogNone && n <= kLogTrace) level.store(n);
    return ImsResult::Handled;
  }
  return ImsResult::NotHandled;
}

ImsResult FileLogger::receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) {
  if (hookId != 0 &&
      (hookId == levelHookId || hookId == debugHookId || hookId == functionalHookId)) {
    return receiveMessage(message);
  }
  return ImsResult::NotHandled;
}

std::string FileLogger::formatLine(const Logger::LogMessageParameter& record) {
  std::string levelColumn = levelName(record.level);
  if (record.level < kLogInfo) {
    for (char& c : levelColumn) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  levelColumn.resize(std::max<std::size_t>(levelColumn.size(), 8), ' ');

  std::string group = "(thread=" + std::to_string(record.threadId) +
                      " process=" + std::to_string(record.processId) + " " + record.sourceName +
                      ")";
  group.resize(std::max(group.size(), kGroupWidth), ' ');

  return levelColumn + localTimeText(record.time) + " " + group + " " +
         fillPlaceholders(record.text, record.parameters);
}

void FileLogger::post(const Logger::LogMessageParameter& record) {
  if (!asynchronous.load()) {
    writeRecord(record);
    return;
  }
  ThreadLockGuard guard(queueLock);
  queue.push_back(record);
  queueCount.fetch_add(1);
}

void FileLogger::writeRecord(const Logger::LogMessageParameter& record) {
  // The guard releases the lock before an exception leaves for the caller.
  ThreadLockGuard guard(fileLock);
  writeRecordLocked(record);
}

void FileLogger::writeRecordLocked(const Logger::LogMessageParameter& record) {
  if (!enabled.load()) return;
  // The size that counts is the one before the open banner: a file of exactly the limit must
  // not rotate merely because this logger announced itself in it.
  std::optional<std::uint64_t> size;
  if (!file.isOpen()) size = BasicFile(getFileName()).getSize();
  const bool opened = !file.isOpen();
  ensureOpen();
  if (!opened) size = file.getSize();
  if (size && *size > maxFileSize.load()) rotate();
  writeText(formatLine(record) + "\n");
}

void FileLogger::ensureOpen() {
  if (file.isOpen()) return;
  const std::string name = getFileName();
  file = BasicFile(name);
  if (!file.openAppend()) {
    ZELCOR_THROW(Log_FileOpenError,
                 "@file-logger.log.file-open-error{Failed to open log file \"%\"};", name);
  }
  const auto size = file.getSize();
  std::string banner = size && *size > 0 ? "\n" : "";
  banner += equalIgnoringCase(name, lastClosedFileName) ? "Enabling logging to this file at "
                                                        : "Opened log file at ";
  writeText(banner + nowText() + "\n");
}

void FileLogger::rotate() {
  writeBanner("Rotating log file at ");
  file.close();
  const std::string oldName = directory + baseName;
  const StampSource stampSource = rotationStamp.load();
  const std::int64_t stamp = stampSource ? stampSource() : DateTime::now().getCount();
  const std::string newName = oldName + "-" + std::to_string(stamp);
  std::string movedTo = newName + ".log";
  bool moved = moveFile(oldName + ".log", movedTo, false);
  for (int i = 1; !moved && i <= 99; ++i) {
    movedTo = newName + "-" + std::to_string(i) + ".log";
    moved = moveFile(oldName + ".log", movedTo, false);
  }
  if (!moved) {
    ZELCOR_THROW(Log_RotateError,
                 "@file-logger.log.rotate-error{Failed to rotate file (from \"%\" to \"%\"};",
                 oldName, newName);
  }
  ensureOpen();
  writeText("File continued from \"" + movedTo + "\"\n");
  pruneRotated();
}

void FileLogger::pruneRotated() {
  const std::size_t keep = maxRotatedFiles.load();
  if (keep == 0) return;
  std::set<std::string> files, folders;
  listDirectory(directory, baseName + "-*.log", files, folders);
  // Oldest first: by the stamp after the base name, then by the number a clash added.
  std::vector<std::pair<std::pair<std::uint64_t, std::uint64_t>, std::string>> rotated;
  for (const std::string& name : files) {
    const std::string middle = name.substr(baseName.size() + 1, name.size() - baseName.size() - 5);
    const std::size_t dash = middle.find('-');
    const std::string stamp = middle.substr(0, dash);
    const std::string clash = dash == std::string::npos ? "0" : middle.substr(dash + 1);
    // Only names this logger makes: another program's files stay.
    if (stamp.empty() || stamp.find_first_not_of("0123456789") != std::string::npos ||
        clash.empty() || clash.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    rotated.push_back({{textToUInt64(stamp), textToUInt64(clash)}, name});
  }
  if (rotated.size() <= keep) return;
  std::sort(rotated.begin(), rotated.end());
  for (std::size_t i = 0; i + keep < rotated.size(); ++i) {
    deleteFile(directory + rotated[i].second, false);
  }
}

void FileLogger::writeText(const std::string& text) {
  // Flushed per line, so a crash loses no line already logged and a full disk shows at once.
  if (file.write(text) && file.flush()) return;
  const std::string name = file.getPath();
  file.close();
  ZELCOR_THROW(Log_FileWriteError,
               "@file-logger.log.file-write-error{Failed to write to log file \"%\"};", name);
}

void FileLogger::writeBanner(const std::string& text) { writeText(text + nowText() + "\n"); }

void FileLogger::writeBannerQuietly(const std::string& text) {
  if (file.write(text + nowText() + "\n")) file.flush();
}

void FileLogger::startLoggerThread() {
  try {
    loggerThreadId =
        createThread("logger-thread", [this](Thread* thread) { runLoggerThread(thread); });
    startThread(loggerThreadId);
  } catch (const Exception& failure) {
    asynchronous.store(false);
    {
      // Written directly: the logger is not enabled yet, and the bus must not see its own
      // failure twice.
      ThreadLockGuard guard(fileLock);
      enabled.store(true);
      try {
        for (const ExceptionRecord& entry : failure.logRecords()) {
          Logger::LogMessageParameter record;
          record.level = kLogFatal;
          record.sourceName = "FileLogger";
          record.time = DateTime::now().getCount();
          record.threadId = platform::currentThreadId();
          record.processId = platform::currentProcessId();
          record.text = entry.text;
          record.parameters = entry.parameters;
          writeRecordLocked(record);
        }
      } catch (const Exception&) {
        // The enable failure below is what the caller needs to see.
      }
      enabled.store(false);
      lastClosedFileName = file.getPath();
      file.close();
    }
    ZELCOR_THROW(Enable_FailedToRunLoggerThread,
                 "@file-logger.enable.failed-to-run-logger-thread{Could not start logger "
                 "thread};");
  }
}

void FileLogger::stopLoggerThread() {
  if (loggerThreadId != 0 && hasThread(loggerThreadId)) {
    std::shared_ptr<Thread> thread = getThread(loggerThreadId);
    if (thread->isStarted()) {
      endThread(loggerThreadId);
      for (int i = 0; i < 100 && thread->isStarted(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      if (thread->isStarted()) killThread(loggerThreadId);
    }
    sendToGarbage(loggerThreadId, false);
    collectGarbage();
  }
  loggerThreadId = 0;
  writeQueued();
}

void FileLogger::runLoggerThread(Thread* thread) {
  bool success = true;
  try {
    while (!thread->shouldEnd()) {
      thread->update();
      if (queueCount.load() != 0) {
        writeQueued();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  } catch (const Exception&) {
    success = false;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  thread->finish(success);
}

void FileLogger::writeQueued() {
  std::vector<Logger::LogMessageParameter> local;
  {
    ThreadLockGuard guard(queueLock);
    local.swap(queue);
    queueCount.store(0);
  }
  for (const auto& record : local) {
    try {
      writeRecord(record);
    } catch (const Exception&) {
      // No caller waits for a queued record; one that cannot be written is dropped so that
      // the ones behind it still get their chance (the file reopens on the next record).
    }
  }
}

}  // namespace ZelcorCorelib
