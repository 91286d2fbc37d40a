#include "RunRecords.h"

#include <cerrno>
#include <cstdio>

#include "files/FileUtils.h"
#include "platform/FileSystem.h"
#include "time/DateTime.h"

namespace Zelcor {

namespace platform = ZelcorCorelib::platform;

namespace {

// Room for the supervisor's two appends, which must not meet a full file system.
constexpr std::size_t kReserve = 4096;
// Records are a few hundred bytes; anything far larger is not one.
constexpr std::size_t kMaxRecordBytes = 64 * 1024;

}  // namespace

RunRecords::Pointer RunRecords::open(const std::string& folder, const std::string& supervisor,
                                     std::string& error) {
  int reason = 0;
  auto opened = platform::SpecFolder::openPrivate(folder, reason);
  if (!opened) {
    error = "the folder of run records \"";
    error += folder;
    error += "\" cannot be made private to the scheduler: ";
    error += platform::errorText(reason);
    return nullptr;
  }
  const auto status = platform::fileStatus(supervisor);
  if (!status || !status->isRegular || (status->mode & 0111) == 0) {
    error = "the job supervisor \"";
    error += supervisor;
    error += "\" is missing or not executable";
    return nullptr;
  }
  auto records = std::make_shared<RunRecords>(Key(), std::move(opened), supervisor);
  records->removeOldSpares();
  return records;
}

void RunRecords::removeOldSpares() const {
  const auto entries = folder->list();
  if (!entries) return;
  for (const auto& [name, kind] : *entries) {
    if (kind == platform::EntryKind::regular && name.rfind(kSparePrefix, 0) == 0) {
      folder->remove(name);
    }
  }
}

std::string RunRecords::supervisorBeside(const std::string& program) {
  std::string path = ZelcorCorelib::folderName(program);
  path.push_back('/');
  path.append(kSupervisorName);
  return path;
}

RunRecords::RunRecords(Key, std::shared_ptr<const platform::SpecFolder> folder,
                       std::string supervisor)
    : folder(std::move(folder)), supervisor(std::move(supervisor)) {}

std::string RunRecords::newRunId() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  char text[48];
  std::snprintf(text, sizeof text, "%llx-%llx", static_cast<unsigned long long>(nanoseconds),
                static_cast<unsigned long long>(counter.fetch_add(1) & 0xffffffffu));
  return text;
}

std::string RunRecords::fileName(const std::string& runId) {
  std::string name = runId;
  name += RunRecord::kFileSuffix;
  return name;
}

platform::Handle RunRecords::begin(const RunRecord& intent, int& error) const {
  if (!isRunId(intent.runId)) {
    error = EINVAL;
    return platform::Handle();
  }
  const std::string name = fileName(intent.runId);
  const std::string text = intent.intentText();
  for (;;) {
    std::string spare;
    {
      std::lock_guard<std::mutex> guard(sparesLock);
      if (spares.empty()) break;
      spare = std::move(spares.back());
      spares.pop_back();
    }
    platform::Handle reused = folder->reuseLocked(spare, name, text, kReserve, error);
    if (reused.valid() || error == EEXIST) return reused;
  }
  return folder->createLocked(name, text, kReserve, error);
}

std::optional<RunRecord> RunRecords::read(const std::string& runId) const {
  if (!isRunId(runId)) return std::nullopt;
  platform::SpecFileRead read = folder->readRegular(fileName(runId), kMaxRecordBytes);
  if (read.result != platform::ReadResult::ok) return std::nullopt;
  RunRecord record = RunRecord::parse(read.contents);
  if (record.runId != runId) return std::nullopt;
  return record;
}

platform::LockState RunRecords::lockState(const std::string& runId) const {
  if (!isRunId(runId)) return platform::LockState::missing;
  return folder->lockState(fileName(runId));
}

bool RunRecords::remove(const std::string& runId) const {
  if (!isRunId(runId)) return false;
  std::string spare;
  {
    std::lock_guard<std::mutex> guard(sparesLock);
    if (spares.size() < kMaxSpares) {
      spare = kSparePrefix;
      spare += std::to_string(++spareCount);
    }
  }
  if (!spare.empty() && folder->rename(fileName(runId), spare) == platform::FsResult::ok) {
    std::lock_guard<std::mutex> guard(sparesLock);
    spares.push_back(std::move(spare));
    return true;
  }
  const platform::FsResult result = folder->remove(fileName(runId));
  return result == platform::FsResult::ok || result == platform::FsResult::notFound;
}

std::vector<std::string> RunRecords::list() const {
  std::vector<std::string> ids;
  const auto entries = folder->list();
  if (!entries) return ids;
  const std::string suffix = RunRecord::kFileSuffix;
  for (const auto& [name, kind] : *entries) {
    if (kind != platform::EntryKind::regular || name.size() <= suffix.size()) continue;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    std::string id = name.substr(0, name.size() - suffix.size());
    if (isRunId(id)) ids.push_back(std::move(id));
  }
  return ids;
}

}  // namespace Zelcor
