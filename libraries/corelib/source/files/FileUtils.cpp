#include "files/FileUtils.h"

#include <optional>
#include <vector>

#include "base/GlobPattern.h"
#include "base/StringUtils.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"

namespace ZelcorCorelib {

namespace {

std::optional<std::string> variable(const std::string& name) {
  if (name.empty()) return std::nullopt;
  return platform::getEnvironment(name);
}

// "%NAME%": the search goes on after an inserted value (no recursive expansion) or from
// the closing '%' of a name that is not set, which may open the next reference.
void expandPercentReferences(std::string& path) {
  std::size_t pos = 0;
  while ((pos = path.find('%', pos)) != std::string::npos) {
    std::size_t end = path.find('%', pos + 1);
    if (end == std::string::npos) return;
    if (auto value = variable(path.substr(pos + 1, end - pos - 1))) {
      path.replace(pos, end - pos + 1, *value);
      pos += value->size();
    } else {
      pos = end;
    }
  }
}

// "$NAME/": the separator stays; a '$' with no separator after it is left alone.
void expandDollarReferences(std::string& path) {
  std::size_t pos = 0;
  while ((pos = path.find('$', pos)) != std::string::npos) {
    std::size_t end = path.find('/', pos + 1);
    if (end == std::string::npos) return;
    if (auto value = variable(path.substr(pos + 1, end - pos - 1))) {
      path.replace(pos, end - pos, *value);
      pos += value->size();
    } else {
      pos += 1;
    }
  }
}

void collapseComponents(std::string& path) {
  const bool leading = path.front() == '/';
  const bool leadingDouble = path.size() >= 2 && path[1] == '/' && leading;
  const bool trailing = path.back() == '/';

  std::vector<std::string> kept;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    std::size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == ".." && !kept.empty() && kept.back() != "..") {
      kept.pop_back();
    } else {
      kept.push_back(std::move(part));
    }
  }

  if (kept.empty()) {
    // The root stays the root; an empty string would name the current folder instead. Not
    // assigned from a literal: g++ 12 at -O3 reports a false -Wrestrict overlap for that.
    path.assign(leading ? 1 : 0, '/');
    return;
  }
  std::string result = leadingDouble ? "//" : (leading ? "/" : "");
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) result += '/';
    result += kept[i];
  }
  if (trailing) result += '/';
  path = std::move(result);
}

// The file must never end up in both places or in neither: a source that cannot be removed
// after the copy takes the copy back.
bool moveAcrossDevices(const std::string& source, const std::string& target, bool exclusive,
                       std::size_t bufferSize) {
  if (platform::copyFile(source, target, exclusive, bufferSize) != platform::FsResult::ok) {
    return false;
  }
  if (deleteFile(source, true)) return true;
  platform::unlinkFile(target);
  return false;
}

}  // namespace

void normalizePath(std::string& path) {
  if (path.empty()) return;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  expandPercentReferences(path);
  expandDollarReferences(path);
  if (path.empty()) return;  // a reference to a variable set to nothing
  collapseComponents(path);
}

std::string normalizedPath(std::string path) {
  normalizePath(path);
  return path;
}

std::string collapseDotComponents(std::string path) {
  if (!path.empty()) collapseComponents(path);
  return path;
}

std::string fileName(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return path;
  return path.substr(slash + 1);
}

std::string folderName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string fileExtension(const std::string& path) {
  std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return "";
  std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > dot) return "";
  return path.substr(dot + 1);
}

bool isShortcut(const std::string& path) { return lowerCopy(fileExtension(path)) == "lnk"; }

void resolveShortcut(std::string& path) {
  if (!isShortcut(path)) return;
  auto status = platform::linkStatus(path);
  if (!status || !status->isSymlink) return;
  auto target = platform::readSymlink(path);
  if (!target || target->empty()) return;
  if (target->front() != '/') {
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) target->insert(0, path, 0, slash + 1);
  }
  path = std::move(*target);
}

bool exists(const std::string& path) { return platform::pathExists(path); }

bool isRegularFile(const std::string& path) {
  if (path.empty()) return false;
  auto status = platform::fileStatus(path);
  return status && status->isRegular;
}

bool isDirectory(const std::string& path) {
  auto status = platform::fileStatus(path);
  return status && status->isDirectory;
}

bool createDirectory(const std::string& path) {
  std::string normalized = path;
  normalizePath(normalized);
  if (normalized.empty()) return false;
  std::size_t pos = normalized.find_first_not_of('/');
  while (pos != std::string::npos && pos < normalized.size()) {
    std::size_t slash = normalized.find('/', pos);
    std::string level = normalized.substr(0, slash);
    // An existing level is fine, and so is losing a race to create it: only the end counts.
    if (!isDirectory(level)) platform::makeDirectory(level);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return isDirectory(normalized);
}

void listDirectory(const std::string& directory, const std::string& pattern,
                   std::set<std::string>& files, std::set<std::string>& directories) {
  files.clear();
  directories.clear();
  auto entries = platform::readDirectory(directory);
  if (!entries) return;
  for (const auto& entry : *entries) {
    if (!matchGlob(entry.name, pattern)) continue;
    (entry.isDirectory ? directories : files).insert(entry.name);
  }
}

bool moveFile(const std::string& source, const std::string& target, bool overwrite,
              std::size_t bufferSize) {
  if (source.empty() || target.empty()) return false;
  auto sourceStatus = platform::fileStatus(source);
  if (!sourceStatus || sourceStatus->isDirectory) return false;
  // linkStatus, not exists(): a dangling link is still a name that must not be replaced.
  auto targetEntry = platform::linkStatus(target);
  if (targetEntry && !overwrite) return false;
  auto targetFolder = platform::fileStatus(folderName(target));
  if (!targetFolder) return false;

  if (sourceStatus->device != targetFolder->device) {
    return moveAcrossDevices(source, target, !overwrite, bufferSize);
  }

  using platform::FsResult;
  if (!overwrite) {
    switch (platform::renameNoReplace(source, target)) {
      case FsResult::ok:
        return true;
      case FsResult::crossDevice:  // two mounts of one file system share st_dev
      case FsResult::notSupported:
        return moveAcrossDevices(source, target, true, bufferSize);
      default:
        return false;
    }
  }

  // rename() replaces a file target in one step; only a directory has to go first.
  if (targetEntry && targetEntry->isDirectory && !platform::removeDirectory(target)) {
    return false;
  }
  switch (platform::renameReplace(source, target)) {
    case FsResult::ok:
      return true;
    case FsResult::crossDevice:
      return moveAcrossDevices(source, target, false, bufferSize);
    default:
      return false;
  }
}

void syncDirectory(const std::string& directory) { platform::syncDirectory(directory); }

bool deleteFile(const std::string& path, bool force) {
  auto result = platform::unlinkFile(path);
  if (result == platform::FsResult::ok) return true;
  if (!force || result != platform::FsResult::accessDenied) return false;
  auto previousMode = platform::addOwnerWrite(path);
  if (!previousMode) return false;
  if (platform::unlinkFile(path) == platform::FsResult::ok) return true;
  platform::setPermissions(path, *previousMode);
  return false;
}

}  // namespace ZelcorCorelib
