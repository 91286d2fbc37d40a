#include "registry/RegistryFile.h"

#include <array>
#include <cstdio>

#include "files/FileUtils.h"

namespace ZelcorCorelib {

namespace {

constexpr std::array<const char*, 6> kHives = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG",
                                               "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                               "HKEY_USERS",        "HKEY_PERFORMANCE_DATA"};

char foldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string fold(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = foldChar(c);
  return result;
}

// Windows refuses empty key parts; dropping them lets "A\\B\" and "A\B" name one key.
std::string canonicalKey(std::string_view key) {
  std::string result;
  std::size_t start = 0;
  while (start <= key.size()) {
    std::size_t end = key.find('\\', start);
    if (end == std::string_view::npos) end = key.size();
    if (end > start) {
      if (!result.empty()) result += '\\';
      result.append(key.substr(start, end - start));
    }
    start = end + 1;
  }
  return result;
}

// The hive as listed, or "" for an unknown name.
std::string canonicalHive(std::string_view hive) {
  for (const char* name : kHives) {
    if (fold(name) == fold(hive)) return name;
  }
  return {};
}

bool isBlank(const std::string& line) {
  return line.find_first_not_of(" \t\r\f\v") == std::string::npos;
}

std::string trimmed(std::string_view text) {
  std::size_t first = text.find_first_not_of(" \t\r\f\v");
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(" \t\r\f\v");
  return std::string(text.substr(first, last - first + 1));
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses "1 to 8 hex digits"; false on anything else.
bool parseHexNumber(std::string_view text, std::uint32_t& number) {
  if (text.empty() || text.size() > 8) return false;
  number = 0;
  for (char c : text) {
    int digit = hexDigit(c);
    if (digit < 0) return false;
    number = number * 16 + static_cast<std::uint32_t>(digit);
  }
  return true;
}

std::string utf16leBytes(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>((unit >> 8) & 0xFF);
  }
  return bytes;
}

// A trailing odd byte cannot be half of anything readable and is dropped.
std::u16string utf16Units(std::string_view bytes, bool bigEndian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    auto first = static_cast<unsigned char>(bytes[i]);
    auto second = static_cast<unsigned char>(bytes[i + 1]);
    units += bigEndian ? static_cast<char16_t>((first << 8) | second)
                       : static_cast<char16_t>((second << 8) | first);
  }
  return units;
}

// Reads a quoted string starting at text[pos] == '"'. \\ and \" are the format's escapes;
// any other backslash is kept as it stands, so an unescaped Windows path reads as typed.
// On success pos is just past the closing quote.
bool parseQuoted(const std::string& text, std::size_t& pos, std::string& out) {
  out.clear();
  for (std::size_t i = pos + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      out += text[++i];
      continue;
    }
    out += c;
  }
  return false;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

}  // namespace

RegistryValue RegistryValue::fromText(const std::string& text) {
  return {kRegSz, utf16leBytes(toWide(text)) + std::string(2, '\0')};
}

RegistryValue RegistryValue::fromList(const std::vector<std::string>& items) {
  RegistryValue value{kRegMultiSz, {}};
  for (const std::string& item : items)
    value.data += utf16leBytes(toWide(item)) + std::string(2, '\0');
  value.data += std::string(2, '\0');
  return value;
}

RegistryValue RegistryValue::fromDword(std::uint32_t number) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((number >> shift) & 0xFF);
  return {kRegDword, bytes};
}

std::string RegistryValue::asText() const {
  std::u16string units = utf16Units(data, false);
  std::size_t end = units.find(u'\0');
  if (end != std::u16string::npos) units.resize(end);
  return toNarrow(units);
}

std::vector<std::string> RegistryValue::asList() const {
  std::u16string units = utf16Units(data, false);
  if (!units.empty() && units.back() == u'\0') units.pop_back();  // the list's terminator
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start < units.size()) {
    std::size_t end = units.find(u'\0', start);
    if (end == std::u16string::npos) end = units.size();
    items.push_back(toNarrow(units.substr(start, end - start)));
    start = end + 1;
  }
  return items;
}

bool RegistryFile::isHiveName(const std::string& hive) { return !canonicalHive(hive).empty(); }

RegistryFile RegistryFile::parse(std::string_view bytes, const std::string& sourceName) {
  RegistryFile file;
  file.sourceName = sourceName;
  std::string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    file.encoding = Encoding::utf16le;
    text = toNarrow(utf16Units(bytes.substr(2), false));
  } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
             static_cast<unsigned char>(bytes[1]) == 0xFF) {
    file.encoding = Encoding::utf16be;
    text = toNarrow(utf16Units(bytes.substr(2), true));
  } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    file.encoding = Encoding::utf8Bom;
    text = std::string(bytes.substr(3));
  } else {
    text = std::string(bytes);
  }

  std::vector<std::string> lines;
  std::size_t start = 0;
  bool endingKnown = false;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    // A line keeps its CR, so that a file with mixed line ends renders as it was read; every
    // reading step trims it away.
    bool hadCr = !line.empty() && line.back() == '\r';
    if (!endingKnown && end < text.size()) {
      file.crlf = hadCr;
      endingKnown = true;
    }
    lines.push_back(std::move(line));
    start = end + 1;
  }

  std::size_t headerIndex = 0;
  while (headerIndex < lines.size() && isBlank(lines[headerIndex])) ++headerIndex;
  for (std::size_t i = 0; i < lines.size() && i <= headerIndex; ++i) {
    Entry entry;
    entry.lines.push_back(lines[i]);
    entry.lineNumber = static_cast<int>(i + 1);
    file.entries.push_back(std::move(entry));
  }
  if (headerIndex == lines.size()) return file;
  if (trimmed(lines[headerIndex]) != kHeader) {
    std::string seen = trimmed(lines[headerIndex]).substr(0, 60);
    ZELCOR_THROW(Parse_NotRegistryFile,
                 "@registry-file.parse.not-registry-file{% is not a registry file: line % is \"%\" "
                 "where \"%\" was expected};",
                 sourceName, static_cast<std::int32_t>(headerIndex + 1), seen, kHeader);
  }
  file.hasHeader = true;
  file.entries.reserve(lines.size() + 4);
  file.parseLines(lines, headerIndex + 1);
  return file;
}

void RegistryFile::parseLines(const std::vector<std::string>& lines, std::size_t first) {
  for (std::size_t i = first; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::size_t lead = line.find_first_not_of(" \t");
    char c = lead == std::string::npos ? '\0' : line[lead];
    if (c == '[') {
      entries.push_back(parseSection(line, static_cast<int>(i + 1)));
    } else if (c == '"' || c == '@') {
      entries.push_back(parseValue(lines, i));
      entries.back().nameFold = fold(entries.back().name);
    } else {
      Entry entry;
      entry.lines.push_back(line);
      entry.lineNumber = static_cast<int>(i + 1);
      entries.push_back(std::move(entry));
    }
  }
}

RegistryFile::Entry RegistryFile::parseSection(const std::string& line, int lineNumber) {
  Entry entry;
  entry.lines.push_back(line);
  entry.lineNumber = lineNumber;
  entry.kind = Kind::badSection;
  std::string text = trimmed(line);
  // Key names may hold ']', so the header runs to the last one.
  if (text.size() < 2 || text.back() != ']') return entry;
  std::string_view inner(text);
  inner = inner.substr(1, inner.size() - 2);
  bool removed = !inner.empty() && inner.front() == '-';
  if (removed) inner.remove_prefix(1);
  std::size_t split = inner.find('\\');
  std::string hive = canonicalHive(inner.substr(0, split));
  if (hive.empty()) return entry;
  entry.kind = removed ? Kind::removedSection : Kind::section;
  entry.hive = hive;
  entry.keyFold =
      split == std::string_view::npos ? "" : fold(canonicalKey(inner.substr(split + 1)));
  return entry;
}

RegistryFile::Entry RegistryFile::parseValue(const std::vector<std::string>& lines,
                                             std::size_t& index) {
  Entry entry;
  entry.lineNumber = static_cast<int>(index + 1);
  entry.lines.push_back(lines[index]);
  const std::string& line = lines[index];
  std::size_t pos = line.find_first_not_of(" \t");
  if (line[pos] == '@') {
    ++pos;
  } else if (!parseQuoted(line, pos, entry.name)) {
    return entry;  // no readable name: a line of no known shape
  }
  pos = line.find_first_not_of(" \t", pos);
  if (pos == std::string::npos || line[pos] != '=') {
    entry.name.clear();
    return entry;
  }
  std::string data = trimmed(std::string_view(line).substr(pos + 1));
  auto damaged = [&](std::string why) {
    entry.kind = Kind::damaged;
    entry.problem = std::move(why);
    return entry;
  };

  if (!data.empty() && data.front() == '"') {
    std::size_t end = 0;
    std::string text;
    if (!parseQuoted(data, end, text)) return damaged("the text has no closing quote");
    if (end != data.size()) return damaged("unexpected characters after the closing quote");
    entry.kind = Kind::value;
    entry.value = RegistryValue::fromText(text);
    return entry;
  }
  if (data == "-") {
    entry.kind = Kind::removedValue;
    return entry;
  }
  std::string lower = fold(data.substr(0, 6));
  if (lower == "dword:") {
    std::uint32_t number = 0;
    if (!parseHexNumber(trimmed(std::string_view(data).substr(6)), number)) {
      return damaged("dword data must be 1 to 8 hex digits");
    }
    entry.kind = Kind::value;
    entry.value = RegistryValue::fromDword(number);
    return entry;
  }
  if (fold(data.substr(0, 3)) != "hex") return damaged("unknown kind of data");

  // Exports wrap long hex data: a line ending in a backslash goes on in the next one. The
  // whole value is taken in first, so a damaged one leaves no stray lines behind.
  while (!data.empty() && data.back() == '\\') {
    data.pop_back();
    // A blank, section or value line is never hex data: it is not swallowed by a broken value.
    std::string next = index + 1 < lines.size() ? trimmed(lines[index + 1]) : std::string();
    if (next.empty() || next.front() == '[' || next.front() == '"' || next.front() == '@') {
      return damaged("the data ends after a continuation mark");
    }
    ++index;
    entry.lines.push_back(lines[index]);
    data += trimmed(lines[index]);
  }
  std::uint32_t type = kRegBinary;
  std::size_t colon = data.find(':');
  if (colon == std::string::npos) return damaged("unknown kind of data");
  std::string_view form = std::string_view(data).substr(3, colon - 3);
  if (!form.empty()) {
    if (form.size() < 3 || form.front() != '(' || form.back() != ')' ||
        !parseHexNumber(form.substr(1, form.size() - 2), type)) {
      return damaged("the type of hex data must be written hex(n) with n in hex");
    }
  }
  std::string bytesText = data.substr(colon + 1);
  std::string bytes;
  std::size_t start = 0;
  while (start < bytesText.size()) {
    std::size_t end = bytesText.find(',', start);
    if (end == std::string::npos) end = bytesText.size();
    std::string token = trimmed(std::string_view(bytesText).substr(start, end - start));
    bool last = end == bytesText.size();
    std::uint32_t byte = 0;
    if (!(token.empty() && last)) {
      if (token.size() > 2 || !parseHexNumber(token, byte)) {
        return damaged("bad hex byte \"" + token.substr(0, 8) + "\"");
      }
      bytes += static_cast<char>(byte);
    }
    start = end + 1;
  }
  entry.kind = Kind::value;
  entry.value = {type, bytes};
  return entry;
}

std::vector<std::string> RegistryFile::renderValue(const std::string& name,
                                                   const RegistryValue& value) {
  std::string head = (name.empty() ? std::string("@") : quoted(name)) + "=";
  if (value.type == kRegSz) {
    std::string text = value.asText();
    // Only a text that the quoted form gives back exactly may use it; line breaks would split
    // the line, and anything after a NUL would be lost.
    if (text.find_first_of("\r\n") == std::string::npos &&
        RegistryValue::fromText(text).data == value.data) {
      return {head + quoted(text)};
    }
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<unsigned char>(value.data[i]);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
    return {head + buffer};
  }
  char form[24];
  if (value.type == kRegBinary) {
    std::snprintf(form, sizeof form, "hex:");
  } else {
    std::snprintf(form, sizeof form, "hex(%x):", static_cast<unsigned>(value.type));
  }
  // Wrapped near 80 columns with two-blank continuation lines, as exports are.
  std::vector<std::string> lines;
  std::string current = head + form;
  for (std::size_t i = 0; i < value.data.size(); ++i) {
    char token[4];
    std::snprintf(token, sizeof token, "%02x", static_cast<unsigned char>(value.data[i]));
    bool last = i + 1 == value.data.size();
    if (current.size() + 3 > 77 && current.size() > 2 && current.back() == ',') {
      lines.push_back(current + "\\");
      current = "  ";
    }
    current += token;
    if (!last) current += ',';
  }
  lines.push_back(current);
  return lines;
}

std::vector<std::string> RegistryFile::withEndings(std::vector<std::string> lines) const {
  if (crlf) {
    for (std::string& line : lines) line += '\r';
  }
  return lines;
}

void RegistryFile::locate(const std::string& hive, const std::string& keyFold,
                          const std::string& nameFold, long& decidingEntry, long& liveSection,
                          bool& keyExists) const {
  decidingEntry = -1;
  liveSection = -1;
  keyExists = false;
  bool inKey = false;
  auto within = [&](const std::string& ancestor, const std::string& key) {
    return ancestor.empty() || key == ancestor ||
           (key.size() > ancestor.size() && key.compare(0, ancestor.size(), ancestor) == 0 &&
            key[ancestor.size()] == '\\');
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    switch (entry.kind) {
      case Kind::section:
        inKey = entry.hive == hive && entry.keyFold == keyFold;
        if (inKey) liveSection = static_cast<long>(i);
        // A subkey's section brings its parents into being, as creating it does on Windows.
        if (entry.hive == hive && within(keyFold, entry.keyFold)) keyExists = true;
        break;
      case Kind::removedSection:
        inKey = false;
        if (entry.hive == hive && within(entry.keyFold, keyFold)) {
          keyExists = false;
          decidingEntry = -1;
          liveSection = -1;
        }
        break;
      case Kind::badSection:
        inKey = false;
        break;
      case Kind::value:
      case Kind::removedValue:
      case Kind::damaged:
        if (inKey && entry.nameFold == nameFold) decidingEntry = static_cast<long>(i);
        break;
      case Kind::other:
        break;
    }
  }
}

RegistryFile::Lookup RegistryFile::find(const std::string& hive, const std::string& key,
                                        const std::string& valueName) const {
  long deciding = -1;
  long live = -1;
  bool keyExists = false;
  locate(canonicalHive(hive), fold(canonicalKey(key)), fold(valueName), deciding, live, keyExists);
  Lookup lookup;
  if (!keyExists) return lookup;
  lookup.outcome = Outcome::valueMissing;
  if (deciding < 0) return lookup;
  const Entry& entry = entries[static_cast<std::size_t>(deciding)];
  if (entry.kind == Kind::damaged) {
    lookup.outcome = Outcome::damaged;
    lookup.problem = "line " + std::to_string(entry.lineNumber) + ": " + entry.problem;
  } else if (entry.kind == Kind::value) {
    lookup.outcome = Outcome::found;
    lookup.value = entry.value;
  }
  return lookup;
}

void RegistryFile::setValue(const std::string& hive, const std::string& key,
                            const std::string& valueName, const RegistryValue& value) {
  const std::string hiveName = canonicalHive(hive);
  const std::string keyText = canonicalKey(key);
  long deciding = -1;
  long live = -1;
  bool keyExists = false;
  locate(hiveName, fold(keyText), fold(valueName), deciding, live, keyExists);

  if (deciding >= 0 && entries[static_cast<std::size_t>(deciding)].kind != Kind::removedValue) {
    Entry& entry = entries[static_cast<std::size_t>(deciding)];
    entry.kind = Kind::value;
    entry.value = value;
    entry.problem.clear();
    entry.lines =
        withEndings(renderValue(entry.name, value));  // the stored spelling of the name stays
    return;
  }
  Entry fresh;
  fresh.kind = Kind::value;
  fresh.name = valueName;
  fresh.nameFold = fold(valueName);
  fresh.value = value;
  fresh.lines = withEndings(renderValue(valueName, value));
  if (!hasHeader) {
    // Blank lines before a missing header are all such a document can hold.
    entries.clear();
    for (const char* text : {kHeader, ""}) {
      Entry line;
      line.lines = withEndings({text});
      entries.push_back(std::move(line));
    }
    hasHeader = true;
  }
  if (live >= 0) {
    // At the end of the key's last section, before the blank lines that part it from the next.
    std::size_t at = static_cast<std::size_t>(live) + 1;
    while (at < entries.size() && entries[at].kind != Kind::section &&
           entries[at].kind != Kind::removedSection && entries[at].kind != Kind::badSection) {
      ++at;
    }
    while (at > static_cast<std::size_t>(live) + 1 && entries[at - 1].kind == Kind::other &&
           isBlank(entries[at - 1].lines.front())) {
      --at;
    }
    entries.insert(entries.begin() + static_cast<long>(at), std::move(fresh));
    return;
  }
  if (!entries.empty() && !isBlank(entries.back().lines.back())) {
    Entry blank;
    blank.lines = withEndings({""});
    entries.push_back(std::move(blank));
  }
  Entry section;
  section.kind = Kind::section;
  section.hive = hiveName;
  section.keyFold = fold(keyText);
  section.lines = withEndings({"[" + hiveName + (keyText.empty() ? "" : "\\" + keyText) + "]"});
  entries.push_back(std::move(section));
  entries.push_back(std::move(fresh));
}

std::string RegistryFile::render() const {
  std::string text;
  for (const Entry& entry : entries) {
    for (const std::string& line : entry.lines) text += line + '\n';
  }
  switch (encoding) {
    case Encoding::utf8:
      return text;
    case Encoding::utf8Bom:
      return "\xEF\xBB\xBF" + text;
    case Encoding::utf16le:
      return "\xFF\xFE" + utf16leBytes(toWide(text));
    case Encoding::utf16be: {
      std::string bytes = utf16leBytes(toWide(text));
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
      return "\xFE\xFF" + bytes;
    }
  }
  return text;
}

}  // namespace ZelcorCorelib
