// A small file that many threads and processes share and rewrite whole: the registry store.
// Writers serialise on an exclusive advisory lock on a lock file beside it (FileLock), read it,
// and put the new contents in place with replaceFileDurably; readers take no lock and read it
// with readWholeFile, always seeing a whole file, old or new.
// Called by registry/RegistryStore only. The functions are stateless and safe from any thread;
// a FileLock belongs to one thread at a time and owns its descriptor. Nothing throws but
// std::bad_alloc. Failures come back with the system's reason as text, never as errno, so that
// callers stay the same on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ZelcorCorelib::platform {

// Why a call failed: a kind the caller may turn into its own result codes, and the system's text.
struct FileError {
  enum class Kind {
    none,
    accessDenied,  // no permission, or a read-only file system
    outOfMemory,
    other,
  };
  Kind kind = Kind::none;
  std::string text;  // e.g. "Permission denied"
};

// What a rewrite keeps of the file it replaces.
struct FileOwnership {
  std::uint32_t mode = 0;  // permission bits
  std::uint32_t user = 0;
  std::uint32_t group = 0;
};

// An exclusive lock on a lock file, which is made when missing and left behind afterwards
// (harmless: the lock lives in the kernel and goes with its holder, a crash included).
// It excludes every other FileLock on the same file, in this process or another.
class FileLock {
 public:
  enum class Result {
    acquired,    // held by this object now (also when it was already)
    openFailed,  // the lock file cannot be made or opened
    lockFailed,  // the system refused the lock itself
  };

  explicit FileLock(std::string path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Waits for as long as another holder keeps the lock.
  Result acquire(FileError& error);
  // Harmless when nothing is held.
  void release();
  bool isHeld() const { return descriptor >= 0; }
  const std::string& getPath() const { return path; }

 private:
  std::string path;
  int descriptor = -1;
};

enum class ReadOutcome {
  ok,
  missing,  // the file, or a folder on its way, does not exist
  failed,   // it exists but cannot be read, or is not a regular file
};

// The whole contents of a regular file into bytes, with its owner and mode into ownership.
// Never waits for a writer: a FIFO or a device where the file is expected fails at once.
ReadOutcome readWholeFile(const std::string& path, std::string& bytes, FileOwnership& ownership,
                          FileError& error);

// Writes text to "<target>.tmp", syncs it and renames it over target, then syncs the folder:
// a crash at any point leaves the old file or the new one, never a part, and at most the
// temporary file beside it, which the next rewrite removes. keep (when not null) gives the
// owner and mode the new file takes over from the old one; a writer who may not give a file
// away keeps it as its own. False with error set when any step failed; target is then as it
// was and the temporary file is gone.
// Requires: the caller holds a lock that excludes every other writer of target.
bool replaceFileDurably(const std::string& target, std::string_view text, const FileOwnership* keep,
                        FileError& error);

// Makes folder and every missing folder above it (mode 0755 before the umask); true when it
// exists afterwards.
bool makeFolders(const std::string& folder, FileError& error);

// The file a symbolic link at path leads to, so that a rewrite replaces that file rather than
// the link; path itself when it is no link or its target cannot be resolved.
std::string resolveLinkTarget(const std::string& path);

}  // namespace ZelcorCorelib::platform
