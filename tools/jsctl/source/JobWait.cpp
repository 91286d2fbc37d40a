#include "JobWait.h"

#include <filesystem>
#include <thread>

namespace Zelcor {

namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds kPollInterval{100};

std::string valueOf(const ZelcorCorelib::KeyValueMap& keys, const std::string& key) {
  const auto found = keys.find(key);
  return found == keys.end() ? std::string() : found->second;
}

}  // namespace

std::string JobWait::stemOf(const std::string& name) {
  const std::string suffix = ".spec";
  if (name.size() > suffix.size() &&
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
    return name.substr(0, name.size() - suffix.size());
  }
  return name;
}

bool JobWait::isNameOf(const std::string& name, const std::string& stem) {
  const std::string suffix = ".spec";
  if (name.size() < stem.size() + suffix.size() || name.compare(0, stem.size(), stem) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  const std::string middle = name.substr(stem.size(), name.size() - stem.size() - suffix.size());
  if (middle.empty()) return true;
  if (middle.size() < 2 || middle[0] != '.') return false;
  for (std::size_t i = 1; i < middle.size(); ++i) {
    if (middle[i] < '0' || middle[i] > '9') return false;
  }
  return true;
}

std::optional<FinishedJob> JobWait::findFinished(const std::string& finishedFolder,
                                                 const std::string& stem,
                                                 const std::string& created) {
  const auto matching = [&](const fs::path& path) -> std::optional<FinishedJob> {
    std::error_code failure;
    if (!fs::is_regular_file(fs::symlink_status(path, failure))) return std::nullopt;
    FinishedJob job;
    job.path = path.string();
    if (!ZelcorCorelib::readKeyValueFile(job.path, job.keys)) return std::nullopt;
    // The scheduler stamps the end before it moves the file here.
    if (job.keys.count("ended") == 0) return std::nullopt;
    if (!created.empty() && valueOf(job.keys, "created") != created) return std::nullopt;
    return job;
  };
  // The job's own name first: the usual case, and the one a bare wait means.
  if (auto own = matching(fs::path(finishedFolder) / (stem + ".spec"))) return own;
  std::error_code failure;
  for (const fs::directory_entry& entry : fs::directory_iterator(finishedFolder, failure)) {
    const std::string name = entry.path().filename().string();
    if (name == stem + ".spec" || !isNameOf(name, stem)) continue;
    if (auto other = matching(entry.path())) return other;
  }
  return std::nullopt;
}

std::optional<FinishedJob> JobWait::await(const std::string& finishedFolder,
                                          const std::string& stem, const std::string& created,
                                          std::optional<std::chrono::milliseconds> timeout) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (auto found = findFinished(finishedFolder, stem, created)) return found;
    if (timeout && std::chrono::steady_clock::now() - start >= *timeout) return std::nullopt;
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::optional<int> JobWait::exitCodeOf(const ZelcorCorelib::KeyValueMap& keys) {
  const std::string reason = valueOf(keys, "end-reason");
  if (reason == "time-limit") return kExitTimeLimit;
  if (reason == "cancelled") return kExitCancelled;
  const std::string status = valueOf(keys, "exit-status");
  if (status.empty() || status.size() > 3) return std::nullopt;
  int code = 0;
  for (char c : status) {
    if (c < '0' || c > '9') return std::nullopt;
    code = code * 10 + (c - '0');
  }
  if (code > 255) return std::nullopt;
  return code;
}

}  // namespace Zelcor
