// Path and file utilities of the framework: path normalisation, name parts, shortcut (symbolic
// link) resolution, file and directory tests, directory listing, moving and deleting files,
// and (through base/Utf16.h) UTF-8/UTF-16 conversion. Used by the configuration nodes, the
// file logger, the scheduler's job and queue code and the file classes.
// Free functions without state, safe from any thread; callers serialise work on the same
// file. None throws or logs: failure is a false result or an argument left unchanged.
// Paths are UTF-8 with '/' as the separator.
#pragma once

#include <cstddef>
#include <set>
#include <string>

// toWide and toNarrow live below the files, since parameter streams need them too.
#include "base/Utf16.h"

namespace ZelcorCorelib {

// In place: '\' becomes '/'; "%NAME%" and "$NAME" (up to the next '/') are replaced by set
// environment variables, unset or empty names stay as written; empty and "." components
// go, ".." removes the real component before it (a leading ".." stays). A leading "/" or
// "//" and a trailing "/" are kept. An absolute path whose components all vanish becomes
// "/", a relative one becomes empty.
void normalizePath(std::string& path);
// The same, on a copy.
std::string normalizedPath(std::string path);
// Only the "." and ".." part of normalizePath: no separators turned, no variables expanded,
// so a command keeps its "%name%" references.
std::string collapseDotComponents(std::string path);

// The text after the last separator ('\' counts as '/'); the whole text when there is no
// separator.
std::string fileName(const std::string& path);
// The text before the last '/': "/" for a name in the root, "." when there is no '/'.
std::string folderName(const std::string& path);
// The text after the last '.' when that '.' follows the last '/'; otherwise empty.
std::string fileExtension(const std::string& path);

// The extension, lower-cased, is "lnk".
bool isShortcut(const std::string& path);
// For a shortcut that is a symbolic link: replaces path by the link's target, a relative
// target taken from the link's folder. Anything else leaves path unchanged.
void resolveShortcut(std::string& path);

// A file or directory of that name exists (following links).
bool exists(const std::string& path);
// False for an empty path; otherwise the entry (links followed) is a plain file: not a directory,
// FIFO, socket or device, which a reader could block on.
bool isRegularFile(const std::string& path);
bool isDirectory(const std::string& path);

// Creates the normalised path with every missing parent, top level first; true when the
// directory exists afterwards.
bool createDirectory(const std::string& path);

// Clears both sets, then fills them with the bare names of the entries of directory (not
// recursive, without "." and "..") that match pattern as a whole; an entry goes to
// directories when it is or leads to a directory. A directory that cannot be opened leaves
// both sets empty.
void listDirectory(const std::string& directory, const std::string& pattern,
                   std::set<std::string>& files, std::set<std::string>& directories);

// Moves a file (never a directory). With overwrite false an existing target is never
// touched, also one that appears while the move runs. On one device the file is renamed;
// across devices it is copied through a buffer of bufferSize bytes and the source deleted.
// A failed move leaves the source in place and no partial target behind.
bool moveFile(const std::string& source, const std::string& target, bool overwrite,
              std::size_t bufferSize = 4096);

// Puts a folder's entries on disk, so that a file just moved in survives a power cut.
void syncDirectory(const std::string& directory);

// Removes a file. With force, a refusal for lack of permission is met by adding owner
// write permission and trying once more; the permission is put back if that fails too.
bool deleteFile(const std::string& path, bool force);

}  // namespace ZelcorCorelib
