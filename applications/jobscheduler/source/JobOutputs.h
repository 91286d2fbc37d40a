// Where jobs' standard output and error go when the configuration names a folder for them:
// "<folder>/<spec name without .spec>.out", or, for a job that runs as its owner under a root
// scheduler, "<folder>/<owner's name>/<...>.out", so that no user can create or hold another
// user's file. A name an earlier job left is not reused: "<stem>.1.out", "<stem>.2.out"...
// Shared by the controller's thread and the tests; choose is safe to call from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace Zelcor {

class JobOutputs {
 public:
  // folder: absolute; empty for no folder (jobs write where the scheduler writes).
  explicit JobOutputs(std::string folder = {});

  const std::string& getFolder() const { return folder; }
  bool isEnabled() const { return !folder.empty(); }

  // A free file for the job whose spec file is named specName, run as owner (none: as the
  // scheduler). Empty when there is no folder.
  std::string choose(const std::string& specName, std::optional<std::uint32_t> owner);
  // Whether path lies directly in owner's own folder here, which the supervisor then makes
  // for them when missing.
  bool isOwnersFolder(const std::string& path, std::uint32_t owner) const;

 private:
  // The owner's folder name: their account's name, or the uid when there is none.
  static std::string ownerFolderName(std::uint32_t owner);
  bool isTaken(const std::string& path) const;

  std::string folder;
  // Names handed out lately, whose files may not exist yet: two jobs of the same name in two
  // queues, started moments apart, would otherwise share one.
  static constexpr std::size_t kRecentNames = 256;
  mutable std::mutex lock;
  std::deque<std::string> recent;
  std::set<std::string> recentSet;
};

}  // namespace Zelcor
