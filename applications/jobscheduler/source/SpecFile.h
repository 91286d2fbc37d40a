// A job's spec file: the one code that opens, reads, stamps, moves and deletes one. It is read
// once, when the scheduler takes it in, from a descriptor opened relative to its folder without
// following a link and checked to be a regular file; from then on the scheduler works from the
// records held here and only writes: each stamp replaces the file whole, each move renames it
// between two open folders, never over an existing name.
// A value, copied with its Job; copies share the folder (platform/SpecFolder), not the file.
// Used by the scheduling thread only; no other writer is expected while a job is queued or runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "files/KeyValueFile.h"
#include "platform/SpecFolder.h"

namespace Zelcor {

class SpecFile {
 public:
  using Folder = std::shared_ptr<const ZelcorCorelib::platform::SpecFolder>;

  // Why a file was not taken in.
  enum class Outcome {
    notRead,
    read,
    missing,
    notRegular,
    unreadable,
    tooLarge,
    tooManyRecords,
    skipped
  };
  // Far above any real spec file, far below what would hurt the scheduler; a 50 MB value
  // still fits.
  static constexpr std::size_t kMaxBytes = 64u << 20;

  // What tells a rewritten (or re-permitted) file from one refused before.
  struct Version {
    std::uint64_t size = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint64_t links = 1;
    bool operator==(const Version&) const = default;
  };

  SpecFile() = default;
  // Records only, with no file behind them yet (tests, jobs built from a map).
  explicit SpecFile(ZelcorCorelib::KeyValueMap records) : records(std::move(records)) {}

  // Reads name in folder; see getOutcome. skipUnchanged, when given, is asked with the
  // file's version before its contents are read (a refused file that did not change).
  static SpecFile read(const Folder& folder, const std::string& name,
                       const std::function<bool(const Version&)>& skipUnchanged = {});
  // A file known to lie in folder under name whose records the caller already has; not read.
  static SpecFile attach(Folder folder, std::string name, ZelcorCorelib::KeyValueMap records);
  // The same for a full path; the folder is opened for this one file.
  static SpecFile readPath(const std::string& path);

  Outcome getOutcome() const { return outcome; }
  bool isRead() const { return outcome == Outcome::read; }
  bool hasFile() const { return folder != nullptr; }
  ZelcorCorelib::platform::EntryKind getKind() const { return kind; }
  const Version& getVersion() const { return version; }
  // The owner as the file was read; every rewrite and move by a privileged scheduler keeps it.
  std::uint32_t getOwnerUid() const { return ownerUid; }
  std::uint32_t getOwnerGid() const { return ownerGid; }
  bool isOwnerKnown() const { return ownerKnown; }
  std::uint64_t getLinks() const { return version.links; }
  const std::string& getName() const { return name; }
  const Folder& getFolder() const { return folder; }
  // Folder path, "/", name, normalised.
  std::string getPath() const;
  const ZelcorCorelib::KeyValueMap& getRecords() const { return records; }

  // The three readings of a key that appears more than once, each where the design uses it:
  // grouping by queue takes the first in file order, a Job takes the last, a stamp sets the
  // first (and adds the key when it is missing).
  std::optional<std::string> firstValue(const std::string& key) const;
  std::optional<std::string> lastValue(const std::string& key) const;
  void setFirstValue(const std::string& key, const std::string& value);

  // Drops every entry of the keys in dropped, sets each key of values (setFirstValue) and
  // replaces the file whole, once for all of them. False when the file could not be
  // replaced: it then holds what it held, and so do the records; error, when given, receives
  // the errno value.
  // A stamp that only adds keys (the common case: "queued", then "started" and "run-id", "pid",
  // "exit-status" and "ended" are each new to the file) is added at the file's end in place
  // and synced, with no new file made; while the folder defers its renames (a burst being
  // queued) the sync is left to the folder's group commit.
  bool stamp(const std::vector<std::pair<std::string, std::string>>& values,
             const std::vector<std::string>& dropped = {}, int* error = nullptr);
  // Moves the file into target under targetName (its own name when empty), never over an
  // existing entry (FsResult::targetExists). Across devices the records are written anew.
  ZelcorCorelib::platform::FsResult moveTo(const Folder& target, const std::string& targetName = {},
                                           int* error = nullptr);
  bool remove() const;

 private:
  bool appendable(const std::vector<std::pair<std::string, std::string>>& values,
                  const std::vector<std::string>& dropped) const;
  Folder folder;
  std::string name;
  ZelcorCorelib::KeyValueMap records;
  Outcome outcome = Outcome::notRead;
  ZelcorCorelib::platform::EntryKind kind = ZelcorCorelib::platform::EntryKind::missing;
  Version version;
  std::uint32_t mode = 0644;
  std::uint32_t ownerUid = 0;
  std::uint32_t ownerGid = 0;
  bool ownerKnown = false;
  // How the file on disk ends, as far as this object wrote or read it: a stamp that only adds
  // keys is added at the end, after a line break where the last line has none.
  enum class Tail { unknown, lineEnded, lineOpen };
  Tail tail = Tail::unknown;
};

// "symbolic link", "FIFO", ... for the log line that refuses it.
const char* describeEntryKind(ZelcorCorelib::platform::EntryKind kind);

}  // namespace Zelcor
