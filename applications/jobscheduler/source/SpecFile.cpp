#include "SpecFile.h"

#include <cerrno>
#include <utility>

#include "files/FileUtils.h"

namespace Zelcor {

namespace platform = ZelcorCorelib::platform;
using platform::EntryKind;
using platform::FsResult;
using platform::ReadResult;

SpecFile SpecFile::read(const Folder& folder, const std::string& name,
                        const std::function<bool(const Version&)>& skipUnchanged) {
  SpecFile spec;
  spec.folder = folder;
  spec.name = name;
  if (!folder) {
    spec.outcome = Outcome::unreadable;
    return spec;
  }
  std::function<bool(const platform::SpecFileStatus&)> skip;
  if (skipUnchanged) {
    skip = [&](const platform::SpecFileStatus& status) {
      return skipUnchanged(
          Version{status.size, status.modifiedNanoseconds, status.mode, status.uid, status.links});
    };
  }
  platform::SpecFileRead read = folder->readRegular(name, kMaxBytes, skip);
  spec.kind = read.status.kind;
  spec.version = Version{read.status.size, read.status.modifiedNanoseconds, read.status.mode,
                         read.status.uid, read.status.links};
  spec.mode = read.status.mode;
  spec.ownerUid = read.status.uid;
  spec.ownerGid = read.status.gid;
  spec.ownerKnown = read.status.kind == EntryKind::regular;
  if (!read.contents.empty()) {
    spec.tail = read.contents.back() == '\n' ? Tail::lineEnded : Tail::lineOpen;
  }
  switch (read.result) {
    case ReadResult::ok:
      spec.outcome =
          ZelcorCorelib::parseKeyValueText(read.contents, spec.records, '\n', '=', false, true)
              ? Outcome::read
              : Outcome::tooManyRecords;
      break;
    case ReadResult::missing:
      spec.outcome = Outcome::missing;
      break;
    case ReadResult::notRegular:
      spec.outcome = Outcome::notRegular;
      break;
    case ReadResult::unreadable:
      spec.outcome = Outcome::unreadable;
      break;
    case ReadResult::tooLarge:
      spec.outcome = Outcome::tooLarge;
      break;
    case ReadResult::skipped:
      spec.outcome = Outcome::skipped;
      break;
  }
  return spec;
}

SpecFile SpecFile::attach(Folder folder, std::string name, ZelcorCorelib::KeyValueMap records) {
  SpecFile spec(std::move(records));
  spec.folder = std::move(folder);
  spec.name = std::move(name);
  return spec;
}

SpecFile SpecFile::readPath(const std::string& path) {
  const std::string normalized = ZelcorCorelib::normalizedPath(path);
  return read(platform::SpecFolder::open(ZelcorCorelib::folderName(normalized)),
              ZelcorCorelib::fileName(normalized));
}

std::string SpecFile::getPath() const {
  if (!folder) return name;
  std::string path = folder->getPath() + "/" + name;
  ZelcorCorelib::normalizePath(path);
  return path;
}

std::optional<std::string> SpecFile::firstValue(const std::string& key) const {
  // lower_bound: of equal keys, the first in file order.
  auto entry = records.lower_bound(key);
  if (entry == records.end() || entry->first != key) return std::nullopt;
  return entry->second;
}

std::optional<std::string> SpecFile::lastValue(const std::string& key) const {
  auto entry = records.upper_bound(key);
  if (entry == records.begin()) return std::nullopt;
  --entry;
  if (entry->first != key) return std::nullopt;
  return entry->second;
}

void SpecFile::setFirstValue(const std::string& key, const std::string& value) {
  auto entry = records.lower_bound(key);
  if (entry != records.end() && entry->first == key) {
    entry->second = value;
  } else {
    records.emplace_hint(entry, key, value);
  }
}

bool SpecFile::stamp(const std::vector<std::pair<std::string, std::string>>& values,
                     const std::vector<std::string>& dropped, int* error) {
  if (!folder) {
    if (error != nullptr) *error = ENOENT;
    return false;
  }
  if (tail != Tail::unknown && appendable(values, dropped)) {
    std::string added;
    if (tail == Tail::lineOpen) added += '\n';
    for (const auto& [key, value] : values) {
      added += key;
      added += '=';
      added += value;
      added += '\n';
    }
    if (folder->append(name, added)) {
      for (const auto& [key, value] : values) setFirstValue(key, value);
      tail = Tail::lineEnded;
      return true;
    }
    // Part of the addition may be there: only a whole rewrite says what the file holds now.
    tail = Tail::unknown;
  }
  ZelcorCorelib::KeyValueMap before = records;
  for (const std::string& key : dropped) records.erase(key);
  for (const auto& [key, value] : values) setFirstValue(key, value);
  const platform::FileOwner owner{ownerUid, ownerGid};
  const std::string text = ZelcorCorelib::formatKeyValueText(records, '\n', '=');
  if (folder->replace(name, text, mode, error, ownerKnown ? &owner : nullptr)) {
    tail = text.empty() || text.back() == '\n' ? Tail::lineEnded : Tail::lineOpen;
    return true;
  }
  records = std::move(before);
  return false;
}

bool SpecFile::appendable(const std::vector<std::pair<std::string, std::string>>& values,
                          const std::vector<std::string>& dropped) const {
  for (const std::string& key : dropped) {
    if (records.count(key) != 0) return false;
  }
  for (const auto& [key, value] : values) {
    // A line break or a key that is not one would read back as something else.
    if (key.empty() || key.find_first_of("=\n\r") != std::string::npos ||
        value.find_first_of("\n\r") != std::string::npos || records.count(key) != 0) {
      return false;
    }
  }
  return true;
}

FsResult SpecFile::moveTo(const Folder& target, const std::string& targetName, int* error) {
  if (!folder || !target) {
    if (error != nullptr) *error = ENOENT;
    return FsResult::failed;
  }
  const std::string newName = targetName.empty() ? name : targetName;
  FsResult result = folder->moveTo(name, *target, newName, error);
  if (result == FsResult::crossDevice) {
    // The records are the file: written anew in the target, then the old name goes.
    const platform::FileOwner owner{ownerUid, ownerGid};
    result = target->create(newName, ZelcorCorelib::formatKeyValueText(records, '\n', '='), mode,
                            error, ownerKnown ? &owner : nullptr);
    if (result == FsResult::ok && folder->remove(name) != FsResult::ok) {
      target->remove(newName);
      result = FsResult::failed;
    }
    if (result == FsResult::ok) tail = Tail::unknown;
  }
  if (result == FsResult::ok) {
    folder = target;
    name = newName;
  }
  return result;
}

bool SpecFile::remove() const { return folder && folder->remove(name) == FsResult::ok; }

const char* describeEntryKind(EntryKind kind) {
  switch (kind) {
    case EntryKind::regular:
      return "regular file";
    case EntryKind::directory:
      return "folder";
    case EntryKind::symlink:
      return "symbolic link";
    case EntryKind::fifo:
      return "FIFO";
    case EntryKind::device:
      return "device";
    case EntryKind::socket:
      return "socket";
    case EntryKind::other:
      return "special file";
    case EntryKind::missing:
      return "missing file";
  }
  return "special file";
}

}  // namespace Zelcor
