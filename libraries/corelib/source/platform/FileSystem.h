// The operating-system calls behind the file utilities and the file classes: status, links,
// directories, moving, copying, deleting, and opening streams and descriptors close-on-exec.
// Called by files/FileUtils and the file classes only; everything else goes through those.
// Stateless and safe from any thread; callers serialise work on the same file themselves.
// Nothing throws: failures come back as results. Returned FILE* and descriptors belong to
// the caller.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace ZelcorCorelib::platform {

struct FileStatus {
  bool isDirectory = false;
  bool isRegular = false;
  bool isSymlink = false;  // only ever set by linkStatus
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint32_t mode = 0;  // permission bits
};

// How a move or delete ended, where callers react to the reason.
enum class FsResult {
  ok,
  targetExists,
  accessDenied,  // EACCES or EPERM
  crossDevice,
  notSupported,  // the file system refuses the operation itself
  notFound,
  failed,
};

// Follows symbolic links.
std::optional<FileStatus> fileStatus(const std::string& path);
// Describes a symbolic link itself.
std::optional<FileStatus> linkStatus(const std::string& path);
// A file or directory of that name exists (a dangling link does not).
bool pathExists(const std::string& path);
std::optional<std::string> readSymlink(const std::string& path);

// True when created; an existing entry is a failure here (the caller checks what it is).
bool makeDirectory(const std::string& path);
bool removeDirectory(const std::string& path);

struct DirectoryEntry {
  std::string name;
  bool isDirectory = false;  // after following a link
};
// The entries without "." and ".."; nullopt when the directory cannot be opened.
std::optional<std::vector<DirectoryEntry>> readDirectory(const std::string& directory);

// Renames, failing with targetExists instead of replacing; the check and the move are one
// step, so a target that appears meanwhile is never overwritten. Falls back to
// linkThenUnlink where the file system refuses RENAME_NOREPLACE.
FsResult renameNoReplace(const std::string& source, const std::string& target);
// The fallback: link() fails on an existing target the same atomic way; the source name is
// removed afterwards, and a source that cannot be removed takes the new link back.
FsResult linkThenUnlink(const std::string& source, const std::string& target);
// Replaces a file target in one step.
FsResult renameReplace(const std::string& source, const std::string& target);
// Writes the directory's entries to disk: a rename survives a power cut only after this.
void syncDirectory(const std::string& directory);

// Copies contents, permission bits and times through a buffer of bufferSize bytes (0 counts
// as 4096), then syncs the target. exclusive: the target is created only if it does not
// exist (targetExists otherwise); else an existing target is truncated. A failed copy
// removes what it had written.
FsResult copyFile(const std::string& source, const std::string& target, bool exclusive,
                  std::size_t bufferSize);

FsResult unlinkFile(const std::string& path);
bool setPermissions(const std::string& path, std::uint32_t mode);
// Adds owner write permission; the previous permission bits, or nullopt on failure.
std::optional<std::uint32_t> addOwnerWrite(const std::string& path);

enum class StreamMode { read, append };
// A binary stream opened close-on-exec: read from the start, or append at the end
// (created if missing). nullptr on failure.
std::FILE* openStream(const std::string& path, StreamMode mode);
// Flushes the stream, then the size of its file; nullopt on failure.
std::optional<std::uint64_t> streamSize(std::FILE* stream);
// 64-bit positions on every platform; -1 on failure.
std::int64_t streamTell(std::FILE* stream);
bool streamSeek(std::FILE* stream, std::int64_t position);

// A read-only descriptor, close-on-exec; -1 on failure.
int openReadDescriptor(const std::string& path);
void closeDescriptor(int descriptor);

}  // namespace ZelcorCorelib::platform
