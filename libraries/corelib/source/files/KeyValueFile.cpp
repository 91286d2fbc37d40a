#include "files/KeyValueFile.h"

#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "base/StringUtils.h"
#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"

namespace ZelcorCorelib {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

struct StreamCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};

class RecordParser {
 public:
  RecordParser(KeyValueMap& entries, char keyValueSeparator, bool trimKeys, bool skipEmptyKeys)
      : entries(entries),
        keyValueSeparator(keyValueSeparator),
        trimKeys(trimKeys),
        skipEmptyKeys(skipEmptyKeys) {}

  // False once the file holds more records than a caller may be made to keep.
  bool add(std::string_view record) {
    const std::size_t split = record.find(keyValueSeparator);
    if (split == std::string_view::npos) return true;
    std::string key(record.substr(0, split));
    if (trimKeys) {
      trimLeft(key);
      trimRight(key);
    }
    if (key.empty() && skipEmptyKeys) return true;
    if (entries.size() >= kMaxKeyValueRecords) return false;
    // A multimap inserts after the equal keys already there, which keeps the file order.
    entries.emplace(std::move(key), std::string(record.substr(split + 1)));
    return true;
  }

 private:
  KeyValueMap& entries;
  char keyValueSeparator;
  bool trimKeys;
  bool skipEmptyKeys;
};

}  // namespace

bool readKeyValueFile(const std::string& path, KeyValueMap& entries, char recordSeparator,
                      char keyValueSeparator, bool trimKeys, bool skipEmptyKeys) {
  entries.clear();
  if (path.empty()) return false;
  std::unique_ptr<std::FILE, StreamCloser> stream(
      platform::openStream(path, platform::StreamMode::read));
  if (!stream) return false;

  RecordParser parser(entries, keyValueSeparator, trimKeys, skipEmptyKeys);
  std::vector<char> block(kBlockSize);
  // Only a record that spans blocks is copied; the others are parsed in place.
  std::string pending;
  for (;;) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), stream.get());
    if (got == 0) break;
    std::string_view rest(block.data(), got);
    for (;;) {
      const std::size_t end = rest.find(recordSeparator);
      if (end == std::string_view::npos) {
        pending.append(rest);
        break;
      }
      bool kept = true;
      if (!pending.empty()) {
        pending.append(rest.substr(0, end));
        kept = parser.add(pending);
        pending.clear();
      } else {
        kept = parser.add(rest.substr(0, end));
      }
      if (!kept) {
        entries.clear();
        return false;
      }
      rest.remove_prefix(end + 1);
    }
    if (got < block.size()) break;
  }
  // A directory opens but does not read; a disk error may strike half-way. Either way the
  // caller must not take a part of the file for all of it.
  if (std::ferror(stream.get())) {
    entries.clear();
    return false;
  }
  if (!pending.empty() && !parser.add(pending)) {
    entries.clear();
    return false;
  }
  return true;
}

bool writeKeyValueFile(const KeyValueMap& entries, const std::string& path, char recordSeparator,
                       char keyValueSeparator) {
  if (path.empty()) return false;
  platform::AtomicFile file(path);
  if (!file.open()) return false;
  std::string buffer;
  buffer.reserve(kBlockSize);
  bool first = true;
  for (const auto& [key, value] : entries) {
    if (!first) buffer.push_back(recordSeparator);
    first = false;
    buffer.append(key);
    buffer.push_back(keyValueSeparator);
    buffer.append(value);
    if (buffer.size() >= kBlockSize) {
      if (!file.write(buffer)) return false;
      buffer.clear();
    }
  }
  if (!buffer.empty() && !file.write(buffer)) return false;
  return file.commit();
}

bool parseKeyValueText(std::string_view text, KeyValueMap& entries, char recordSeparator,
                       char keyValueSeparator, bool trimKeys, bool skipEmptyKeys) {
  entries.clear();
  RecordParser parser(entries, keyValueSeparator, trimKeys, skipEmptyKeys);
  while (!text.empty()) {
    const std::size_t end = text.find(recordSeparator);
    if (!parser.add(text.substr(0, end))) {
      entries.clear();
      return false;
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return true;
}

std::string formatKeyValueText(const KeyValueMap& entries, char recordSeparator,
                               char keyValueSeparator) {
  std::string text;
  bool first = true;
  for (const auto& [key, value] : entries) {
    if (!first) text.push_back(recordSeparator);
    first = false;
    text.append(key);
    text.push_back(keyValueSeparator);
    text.append(value);
  }
  return text;
}

}  // namespace ZelcorCorelib
