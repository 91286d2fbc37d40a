// An open job folder and the few operations the scheduler does on the spec files in it, all
// relative to the folder's descriptor, so that a name swapped for a link after the folder was
// opened can never lead a read, a rewrite or a move somewhere else. Called by the scheduler's
// SpecFile only; one object per folder, shared by the jobs whose files lie in it.
// Thread-safe as far as the kernel is; the only state after open is whether folder syncs are
// deferred (atomic). Nothing throws.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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
  // Creates name (mode 0600) with data, its entry synced with the folder, and returns it open for
  // reading and writing with an exclusive lock held (flock: it stays held while any copy of
  // the descriptor is open, in this process or another), and with reserve bytes set aside
  // beyond its end, so that what is appended later rarely finds the file system full. The
  // data is not synced here: the first append that must last syncs it with its own (a crash
  // before that leaves a file whose lines are whole or missing). The errno value of a failure
  // goes to error; nothing is left behind then.
  Handle createLocked(const std::string& name, std::string_view data, std::size_t reserve,
                      int& error) const;
  // createLocked without a new file: the regular file spare (one link, its lock free: no
  // process holds it open from an earlier createLocked) is emptied, locked, given data and
  // renamed to name, never over an existing entry. A file system that marks each freed inode
  // for a while (ext4 without a journal) makes creating files at a high rate cost more and
  // more; a spare costs the same every time. Invalid, with the errno value in error, when
  // spare cannot be used so; it is removed then (a process that holds it keeps its copy).
  // The emptied file's old contents may come back after a crash before its data is synced:
  // the caller tells them apart.
  Handle reuseLocked(const std::string& spare, const std::string& name, std::string_view data,
                     std::size_t reserve, int& error) const;
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
  // Renames name to newName within the folder, never over an existing entry, and syncs
  // nothing: for a name whose loss in a crash costs nothing.
  FsResult rename(const std::string& name, const std::string& newName) const;
  // The entry's kind, not following a link.
  EntryKind kindOf(const std::string& name) const;
  // Every entry but "." and ".." with its kind; nullopt when the folder cannot be read.
  std::optional<std::vector<std::pair<std::string, EntryKind>>> list() const;
  // Removes the temporary files a replace left behind when its process was killed before the
  // rename (hidden names of replace's own pattern only); how many it removed. For start-up,
  // while no replace runs in the folder.
  std::size_t removeStaleTemporaries() const;
  // Makes this folder's entries durable; while syncs are deferred, only notes that they must be.
  void sync() const;
  // Group commit: while deferred, the folder sync that each replace, create or move owes is
  // only noted, and paid once by flushSyncs for all of them. A file's data is still synced
  // before its rename, so a crash leaves each name with its old or its new whole content; the
  // caller flushes before any step that relies on a name being durable.
  void deferSyncs(bool defer) const;
  // The noted folder sync, if one is owed; true when nothing failed.
  bool flushSyncs() const;
  // Group commit of many rewrites (a burst of new files stamped as they are queued): while
  // renames are deferred, replace writes the new content to its temporary file and leaves it
  // there; flushRenames makes all those temporaries durable with one sync of the file system,
  // then renames each over its name. Until then each name keeps its old whole content, so the
  // caller must touch no name it replaced before the flush.
  void deferRenames(bool defer) const;
  // How many replaces and appends wait for flushRenames.
  std::size_t deferredRenames() const;
  // Adds data at the end of name, a regular file with no other link, in place: for a stamp
  // that only adds keys. Synced at once, or, while renames are deferred, by flushRenames with
  // the rest. A crash before the sync leaves the file as it was or with the whole addition, on
  // a file system that orders data before size (ext4's default); the caller adds nothing a
  // reader could not do without. False (error set) when the file is no such file or cannot be
  // written: the caller rewrites it whole instead.
  bool append(const std::string& name, std::string_view data, int* error = nullptr) const;
  // False when the sync or a rename failed: the names concerned keep their old content, and
  // their temporaries are removed.
  bool flushRenames() const;

 private:
  std::string path;
  int descriptor;
  mutable std::atomic<bool> deferring{false};
  mutable std::atomic<bool> owed{false};
  mutable std::mutex renamesLock;
  mutable bool renamesDeferred = false;
  // (temporary, name) of each deferred replace, in the order they came.
  mutable std::vector<std::pair<std::string, std::string>> pendingRenames;
  mutable std::size_t pendingAppends = 0;
};

}  // namespace ZelcorCorelib::platform
