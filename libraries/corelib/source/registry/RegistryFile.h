// The registry export text format ("Windows Registry Editor Version 5.00") as a document:
// parsed into sections of typed values, changed value by value, and rendered back with every
// line it did not change kept byte for byte (comments, unknown lines, line ends, encoding).
// The POSIX registry store keeps the whole registry in one such file; this class is the pure
// text part of it, so it is tested and fuzzed without a file system.
// Lines are applied the way an import applies them: a later definition of a value wins, a
// "name"=- line removes a value, a [-key] section removes a key with all its subkeys.
// Hive names, keys and value names compare case-insensitively (ASCII letters), as on Windows.
// A value object; not shared between threads while one of them changes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "errors/Exception.h"

namespace ZelcorCorelib {

enum RegistryType : std::uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

// A value as the registry holds it: a type number and raw bytes (UTF-16LE for texts,
// little-endian for numbers).
struct RegistryValue {
  std::uint32_t type = kRegNone;
  std::string data;

  static RegistryValue fromText(const std::string& text);
  static RegistryValue fromList(const std::vector<std::string>& items);
  static RegistryValue fromDword(std::uint32_t number);
  // The UTF-8 text up to the first NUL.
  std::string asText() const;
  // The NUL-terminated strings in order; the list's closing empty string is not an item, but
  // empty strings inside the list are, so every list written comes back unchanged.
  std::vector<std::string> asList() const;
};

class RegistryFile : public Throws {
 public:
  ZELCOR_EXCEPTION(Parse_NotRegistryFile);

  static constexpr const char* kHeader = "Windows Registry Editor Version 5.00";

  enum class Outcome { found, keyMissing, valueMissing, damaged };
  struct Lookup {
    Outcome outcome = Outcome::keyMissing;
    RegistryValue value;  // when found
    std::string problem;  // when damaged: "line N: why"
  };

  // An empty registry, rendered with the header once something is set.
  RegistryFile() = default;

  // UTF-8 (with or without BOM) and UTF-16 with BOM, as Windows exports. Empty or blank text is
  // an empty registry. A value line that cannot be read is kept and reads as damaged; a line
  // of no known shape is kept and means nothing. sourceName names the text in messages.
  // Throws RegistryFile::Parse_NotRegistryFile when the first non-blank line is not kHeader.
  static RegistryFile parse(std::string_view bytes, const std::string& sourceName);

  // Requires: hive is one of isHiveName's names (any case); key with '\' separators.
  Lookup find(const std::string& hive, const std::string& key, const std::string& valueName) const;
  // Replaces the value in place when it is defined, else adds it at the end of its key's
  // section, or in a new section at the end.
  void setValue(const std::string& hive, const std::string& key, const std::string& valueName,
                const RegistryValue& value);

  // The document in its original encoding and line ends.
  std::string render() const;

  static bool isHiveName(const std::string& hive);

 private:
  enum class Kind { other, section, removedSection, badSection, value, removedValue, damaged };
  struct Entry {
    Kind kind = Kind::other;
    std::vector<std::string> lines;  // as read (a CR kept, no LF), or as rendered after a change
    int lineNumber = 0;
    std::string hive;     // sections: the canonical hive name
    std::string keyFold;  // sections: key without empty parts, folded
    std::string name;     // values: as spelled
    std::string nameFold;
    RegistryValue value;
    std::string problem;
  };
  enum class Encoding { utf8, utf8Bom, utf16le, utf16be };

  void parseLines(const std::vector<std::string>& lines, std::size_t first);
  static Entry parseSection(const std::string& line, int lineNumber);
  // Consumes the continuation lines of a hex value as well.
  static Entry parseValue(const std::vector<std::string>& lines, std::size_t& index);
  static std::vector<std::string> renderValue(const std::string& name, const RegistryValue& value);
  // New lines take the line end of the file's first line.
  std::vector<std::string> withEndings(std::vector<std::string> lines) const;
  // The index of the entry that decides the value (or -1) and of the last section in which a
  // new definition would take effect (or -1).
  void locate(const std::string& hive, const std::string& keyFold, const std::string& nameFold,
              long& decidingEntry, long& liveSection, bool& keyExists) const;

  std::vector<Entry> entries;
  std::string sourceName;
  Encoding encoding = Encoding::utf8;
  bool crlf = false;
  bool hasHeader = false;
};

}  // namespace ZelcorCorelib
