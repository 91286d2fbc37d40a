// An open job folder and the few operations the scheduler does on the spec files in it, all
// relative to the folder's descriptor, so that a name swapped for a link after the folder was
// opened can never lead a read, a rewrite or a move somewhere else. Called by the scheduler's
// SpecFile only; one object per folder, shared by the jobs whose files lie in it.
// Thread-safe as far as the kernel is: no state changes after open. Nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Handle.h"

namespace ZelcorCorelib::platform {

// What an entry is, never following a link.
enum class EntryKind { regular, directory, symlink, fifo, device, socket, other, missing };

struct SpecFileStatus {
  EntryKind kind = EntryKind::missing;
  std::uint64_t size = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::uint32_t mode = 0;  // permission bits
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t links = 1;  // hard links to the file
};

// Whose a rewritten file is: a privileged writer gives it back to its owner.
struct FileOwner {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

enum class ReadResult { ok, missing, notRegular, unreadable, tooLarge, skipped };

// Whether some process holds the lock of a file (LockState::held), or nobody does.
enum class LockState { free, held, missing, failed };

struct SpecFileRead {
  ReadResult result = ReadResult::missing;
  SpecFileStatus status;
  std::string contents;  // only with ok
};

class SpecFolder {
  // Only open makes a folder; make_shared still reaches the constructor.
  struct OpenKey {};

 public:
  // The folder at path (a link to a folder is fine: the configured folders may be links);
  // nullptr when it cannot be opened.
  static std::shared_ptr<const SpecFolder> open(const std::string& path);
  // A folder of this process's own at path, made (with the folders above it) when missing,
  // never a link, owned by this process's user and kept at mode 0700; nullptr with the errno
  // value in error when it cannot be had so.
  static std::shared_ptr<const SpecFolder> openPrivate(const std::string& path, int& error);
  SpecFolder(OpenKey, std::string path, int descriptor);
  ~SpecFolder();
  SpecFolder(const SpecFolder&) = delete;
  SpecFolder& operator=(const SpecFolder&) = delete;

  const std::string& getPath() const { return path; }

  // Opens name without following a link and without blocking (a FIFO would stall the caller
  // for ever), decides on the open descriptor whether it is a regular file, and reads it
  // whole from that descriptor, failing with tooLarge past maxBytes. skip, when given, sees
  // the status first and can spare the read (ReadResult::skipped).
  SpecFileRead readRegular(const std::string& name, std::size_t maxBytes,
                           const std::function<bool(const SpecFileStatus&)>& skip = {}) const;
  // Replaces name whole: a temporary file created in this folder, synced, renamed over name,
  // then the folder synced. Whatever name was (a link swapped in included), it ends up a
  // regular file with data; nothing outside the folder is touched. False leaves name as it was.
  // error, when given, receives the errno value of a failure. owner, when given and this
  // process is privileged, owns the new file (a failure to give it is a failure of the
  // replace: the file must not change hands).
  bool replace(const std::string& name, std::string_view data, std::uint32_t mode,
               int* error = nullptr, const FileOwner* owner = nullptr) const;
  // Creates name with data, never over an existing entry (targetExists then); error, when
  // given, receives the errno value of a failure.
  FsResult create(const std::string& name, std::string_view data, std::uint32_t mode,
                  int* error = nullptr, const FileOwner* owner = nullptr) const;
  // Creates name (mode 0600) with data, synced with the folder, and returns it open for
  // reading and writing with an exclusive lock held (flock: it stays held while any copy of
  // the descriptor is open, in this process or another), and with reserve bytes set aside
  // beyond its end, so that what is appended later rarely finds the file system full. The
  // errno value of a failure goes to error; nothing is left behind then.
  Handle createLocked(const std::string& name, std::string_view data, std::size_t reserve,
                      int& error) const;
  // Whether a process holds the lock that createLocked took on name.
  LockState lockState(const std::string& name) const;
  // The longest file name the folder's file system takes.
  std::size_t nameLimit() const;
  // Moves name into target as targetName, never over an existing entry (targetExists then):
  // renameat2 with RENAME_NOREPLACE, link and unlink where the file system refuses it;
  // crossDevice is left to the caller, who holds the contents.
  FsResult moveTo(const std::string& name, const SpecFolder& target, const std::string& targetName,
                  int* error = nullptr) const;
  FsResult remove(const std::string& name) const;
  // The entry's kind, not following a link.
  EntryKind kindOf(const std::string& name) const;
  // Every entry but "." and ".." with its kind; nullopt when the folder cannot be read.
  std::optional<std::vector<std::pair<std::string, EntryKind>>> list() const;
  void sync() const;

 private:
  std::string path;
  int descriptor;
};

}  // namespace ZelcorCorelib::platform
