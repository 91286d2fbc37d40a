// The agent ("file-logger") that turns the log records of every Logger into lines of one text
// file, <directory><base name>.log, and renames that file with a time stamp once it has grown
// past maxFileSize. Opening, enabling, disabling, rotating and closing each leave a dated banner
// line, so the file tells its own history. The application frame owns the process's one file
// logger; tests may make their own.
//
// Threads: records arrive on whatever thread logged them. In synchronous mode (the default) the
// file lock serialises the writes, so lines never interleave; in asynchronous mode producers only
// queue copies and the "logger-thread" writes them. enable, disable, setAsynchronous and the
// destructor belong to the owner and must not race each other; setLevel and the bus handlers may
// be called from any thread.
// Write failures reach the code that logged as Log_FileWriteError; the file is closed then, so
// the next record opens it again.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "bus/ImsAgent.h"
#include "bus/Logger.h"
#include "errors/Exception.h"
#include "files/BasicFile.h"
#include "threads/ThreadLock.h"
#include "threads/ThreadRunner.h"

namespace ZelcorCorelib {

class FileLogger : public ImsAgent, private ThreadRunner {
 public:
  ZELCOR_EXCEPTION(Enable_AlreadyEnabled);
  ZELCOR_EXCEPTION(Enable_EmptyBaseName);
  ZELCOR_EXCEPTION(Enable_InvalidDir);
  ZELCOR_EXCEPTION(Enable_FailedToRunLoggerThread);
  ZELCOR_EXCEPTION(Level_OutOfBounds);
  ZELCOR_EXCEPTION(Log_FileOpenError);
  ZELCOR_EXCEPTION(Log_FileWriteError);
  ZELCOR_EXCEPTION(Log_RotateError);

  static constexpr std::uint64_t kDefaultMaxFileSize = 10'000'000;
  static constexpr std::size_t kGroupWidth = 37;

  FileLogger();
  ~FileLogger() override;

  // Throws Enable_AlreadyEnabled, Enable_EmptyBaseName, Enable_InvalidDir,
  // Enable_FailedToRunLoggerThread. The file is opened by the first record.
  void enable(const std::string& directory, const std::string& baseName);
  // Writes what is still queued, the disabling banner, and closes the file.
  void disable();
  // Throws Level_OutOfBounds outside 0 to 8.
  void setLevel(int value);
  int getLevel() const { return level.load(); }
  // Takes effect at the next enable; false (and nothing changes) while enabled.
  bool setAsynchronous(bool value);
  bool isAsynchronous() const { return asynchronous.load(); }
  // Lets tests rotate small files; the size is checked before each line.
  void setMaxFileSize(std::uint64_t value) { maxFileSize.store(value); }
  std::uint64_t getMaxFileSize() const { return maxFileSize.load(); }
  // How many rotated files (<base name>-<stamp>[-n].log) a rotation leaves, the newest; the
  // older ones are deleted. 0: all are kept.
  void setMaxRotatedFiles(std::size_t value) { maxRotatedFiles.store(value); }
  std::size_t getMaxRotatedFiles() const { return maxRotatedFiles.load(); }
  // Lets tests fix the stamp (a DateTime count) that rotated names carry, so that a name can
  // be known to be taken before the rotation; null: the current time.
  using StampSource = std::int64_t (*)();
  void setRotationStamp(StampSource source) { rotationStamp.store(source); }

  bool isEnabled() const { return enabled.load(); }
  const std::string& getDirectory() const { return directory; }
  const std::string& getBaseName() const { return baseName; }
  // directory + base name + ".log".
  std::string getFileName() const;
  std::string getLastClosedFileName() const;

  ImsResult receiveMessage(ImsMessage& message) override;
  ImsResult receiveHookedMessage(std::uint64_t hookId, ImsMessage& message) override;

  // The line a record becomes, without its line feed.
  static std::string formatLine(const Logger::LogMessageParameter& record);

 private:
  void post(const Logger::LogMessageParameter& record);
  // Takes the file lock. Throws Log_FileOpenError, Log_FileWriteError, Log_RotateError.
  void writeRecord(const Logger::LogMessageParameter& record);
  // Requires: file lock held.
  void writeRecordLocked(const Logger::LogMessageParameter& record);
  void ensureOpen();
  void rotate();
  // Deletes the oldest rotated files beyond maxRotatedFiles.
  void pruneRotated();
  // Throws Log_FileWriteError and closes the file when the text cannot be written.
  void writeText(const std::string& text);
  void writeBanner(const std::string& text);
  void writeBannerQuietly(const std::string& text);

  void startLoggerThread();
  void stopLoggerThread();
  void runLoggerThread(Thread* thread);
  void writeQueued();

  std::atomic<int> level{kLogFlood};
  std::uint64_t levelHookId = 0;
  std::uint64_t debugHookId = 0;
  std::uint64_t functionalHookId = 0;
  BasicFile file{""};
  ThreadLock fileLock;
  std::atomic<bool> asynchronous{false};
  std::int32_t loggerThreadId = 0;
  std::vector<Logger::LogMessageParameter> queue;
  std::atomic<std::uint32_t> queueCount{0};
  ThreadLock queueLock;
  std::atomic<bool> enabled{false};
  std::string lastClosedFileName;
  std::string directory;
  std::string baseName;
  std::atomic<std::uint64_t> maxFileSize{kDefaultMaxFileSize};
  std::atomic<std::size_t> maxRotatedFiles{0};
  std::atomic<StampSource> rotationStamp{nullptr};
};

}  // namespace ZelcorCorelib
