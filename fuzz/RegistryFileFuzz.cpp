// The registry file parser, on the bytes the POSIX registry store reads from its file, followed
// by what the store does with a parsed document: look values up, set one, render the file anew.
// Properties: a refused text is the parser's own exception, naming the file; a damaged value
// says where and why; an untouched UTF-8 document renders
// byte for byte as it was read (when it ends in a line end, as every rendered file does); a
// rendered document parses and renders to itself; a value set is read back as it was set.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "registry/RegistryFile.h"

namespace {

using ZelcorCorelib::RegistryFile;
using ZelcorCorelib::RegistryValue;

constexpr const char* kSource = "fuzz.reg";
constexpr const char* kHive = "HKEY_LOCAL_MACHINE";
// The key and values the framework reads from the registry.
constexpr const char* kKey = "SOFTWARE\\Zelcor\\Resources";
constexpr const char* kNames[] = {"ConfigurationDir", "StartupLogDir", ""};

bool isUtf16(std::string_view bytes) {
  return bytes.size() >= 2 && ((static_cast<unsigned char>(bytes[0]) == 0xFF &&
                                static_cast<unsigned char>(bytes[1]) == 0xFE) ||
                               (static_cast<unsigned char>(bytes[0]) == 0xFE &&
                                static_cast<unsigned char>(bytes[1]) == 0xFF));
}

void lookUp(const RegistryFile& file) {
  for (const char* name : kNames) {
    RegistryFile::Lookup lookup = file.find(kHive, kKey, name);
    if (lookup.outcome == RegistryFile::Outcome::found) {
      (void)lookup.value.asText();
      (void)lookup.value.asList();
    } else if (lookup.outcome == RegistryFile::Outcome::damaged) {
      ZelcorFuzz::require(lookup.problem.rfind("line ", 0) == 0,
                          "a damaged value says in which line");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ZelcorFuzz::silenceLogging();
  const std::string_view bytes = ZelcorFuzz::asText(data, size);
  RegistryFile file;
  try {
    file = RegistryFile::parse(bytes, kSource);
  } catch (const RegistryFile::Parse_NotRegistryFile& failure) {
    ZelcorFuzz::require(failure.toString().find(kSource) != std::string::npos,
                        "a refused file is named");
    return 0;
  }
  lookUp(file);

  const std::string once = file.render();
  if (!isUtf16(bytes) && (bytes.empty() || bytes.back() == '\n')) {
    ZelcorFuzz::require(once == bytes, "an unchanged document renders as it was read");
  }
  const std::string twice = RegistryFile::parse(once, kSource).render();
  ZelcorFuzz::require(twice == once, "a rendered document renders to itself");

  // What a write does: one value changed, the file rendered, and read again by the next reader.
  const std::uint32_t number = static_cast<std::uint32_t>(size * 2654435761u);
  file.setValue(kHive, kKey, "ConfigurationDir", RegistryValue::fromText("/etc/zelcor"));
  file.setValue(kHive, kKey, "Retries", RegistryValue::fromDword(number));
  file.setValue(kHive, kKey, "Hosts", RegistryValue::fromList({"a", "", "b"}));
  const RegistryFile reread = RegistryFile::parse(file.render(), kSource);
  RegistryFile::Lookup text = reread.find(kHive, kKey, "ConfigurationDir");
  ZelcorFuzz::require(
      text.outcome == RegistryFile::Outcome::found && text.value.asText() == "/etc/zelcor",
      "a text value set is read back");
  RegistryFile::Lookup dword = reread.find(kHive, kKey, "Retries");
  ZelcorFuzz::require(dword.outcome == RegistryFile::Outcome::found &&
                          dword.value.type == ZelcorCorelib::kRegDword &&
                          dword.value.data == RegistryValue::fromDword(number).data,
                      "a number value set is read back");
  RegistryFile::Lookup list = reread.find(kHive, kKey, "Hosts");
  ZelcorFuzz::require(list.outcome == RegistryFile::Outcome::found &&
                          list.value.asList() == std::vector<std::string>{"a", "", "b"},
                      "a list value set is read back");
  lookUp(reread);
  return 0;
}
