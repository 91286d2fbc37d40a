#include "JobOutputs.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "files/FileUtils.h"
#include "platform/Accounts.h"
#include "platform/FileSystem.h"

namespace Zelcor {

namespace {

constexpr std::size_t kMaxNumbered = 1000;
// Leaves room for ".1000.out" within a file name's 255 bytes.
constexpr std::size_t kMaxStem = 240;

std::string stemOf(const std::string& specName) {
  constexpr std::string_view kSuffix = ".spec";
  if (specName.size() > kSuffix.size() &&
      specName.compare(specName.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
    return specName.substr(0, std::min(specName.size() - kSuffix.size(), kMaxStem));
  }
  return specName.substr(0, kMaxStem);
}

}  // namespace

JobOutputs::JobOutputs(std::string folder) : folder(std::move(folder)) {}

std::string JobOutputs::ownerFolderName(std::uint32_t owner) {
  const auto account = ZelcorCorelib::platform::accountOf(owner);
  if (account && !account->name.empty() && account->name != "." && account->name != ".." &&
      account->name.find('/') == std::string::npos) {
    return account->name;
  }
  return std::to_string(owner);
}

bool JobOutputs::isTaken(const std::string& path) const {
  if (recentSet.count(path) != 0) return true;
  return ZelcorCorelib::platform::linkStatus(path).has_value();
}

std::string JobOutputs::choose(const std::string& specName, std::optional<std::uint32_t> owner) {
  if (folder.empty()) return {};
  std::string base = folder;
  if (owner) {
    base += '/';
    base += ownerFolderName(*owner);
  }
  base += '/';
  base += stemOf(specName);
  std::lock_guard<std::mutex> guard(lock);
  // Removed while the scheduler runs: made again, or every job would fail to open its file.
  if (!ZelcorCorelib::platform::fileStatus(folder)) ZelcorCorelib::createDirectory(folder);
  std::string path = base + ".out";
  for (std::size_t n = 1; isTaken(path) && n <= kMaxNumbered; ++n) {
    path = base;
    path += '.';
    path += std::to_string(n);
    path += ".out";
  }
  // Past that many, the last name is shared: the output is appended, never lost.
  recent.push_back(path);
  recentSet.insert(path);
  if (recent.size() > kRecentNames) {
    recentSet.erase(recent.front());
    recent.pop_front();
  }
  return path;
}

bool JobOutputs::isOwnersFolder(const std::string& path, std::uint32_t owner) const {
  if (folder.empty()) return false;
  std::string own = folder;
  own += '/';
  own += ownerFolderName(owner);
  own += '/';
  return path.size() > own.size() && path.compare(0, own.size(), own) == 0 &&
         path.find('/', own.size()) == std::string::npos;
}

}  // namespace Zelcor
