// Replaces a file's contents whole, so that a reader, a crash or a power cut sees either the
// old file or the new one and never a part of either. Used for every rewrite of a key-value
// file (spec files above all).
// The new contents go to a temporary file in the target's folder (".<name>.<random>.tmp", so
// that no "*.spec" pattern ever picks it up), which is synced and renamed over the target;
// the folder is synced after the rename. An existing target keeps its permission bits; a
// target that is a symbolic link has the file it leads to replaced, not the link.
// One object belongs to one thread; nothing is shared between objects. The object owns its
// temporary file: unless commit succeeded, the destructor removes it. A process killed before
// commit leaves the target untouched and at most one stray temporary file behind.
#pragma once

#include <string>
#include <string_view>

namespace ZelcorCorelib::platform {

class AtomicFile {
 public:
  explicit AtomicFile(std::string path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file; false when the folder refuses it.
  bool open();
  // Requires: open succeeded. False when the data could not be written; the target stays as
  // it was and commit will fail.
  bool write(std::string_view data);
  // Syncs, closes and renames the temporary file over the target. False when any step
  // failed; the target then still holds its old contents (or is still missing).
  bool commit();
  // Drops the temporary file; the target is not touched. Harmless when nothing is open.
  void discard();

  const std::string& getPath() const { return path; }
  // Empty while nothing is open.
  const std::string& getTemporaryPath() const { return temporaryPath; }

 private:
  std::string path;
  std::string target;  // path, or where the symbolic link at path leads
  std::string temporaryPath;
  int descriptor = -1;
  bool failed = false;
};

}  // namespace ZelcorCorelib::platform
