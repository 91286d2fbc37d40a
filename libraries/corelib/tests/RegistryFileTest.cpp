#include "registry/RegistryFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "testsupport/ThrownText.h"

namespace ZelcorCorelib {
namespace {

using Outcome = RegistryFile::Outcome;

constexpr const char* kHklm = "HKEY_LOCAL_MACHINE";

const std::string kExport =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "; kept as it is\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor\\Resources]\n"
    "\"ConfigurationDir\"=\"/etc/jobscheduler\"\n"
    "\"Quoted \\\"name\\\"\"=\"C:\\\\Temp\\\\\\\"x\\\"\"\n"
    "\"Unescaped\"=\"C:\\Temp\"\n"
    "\"Retries\"=dword:0000000a\n"
    "\"Hosts\"=hex(7):61,00,00,00,62,00,00,\\\n"
    "  00,00,00,00\n"
    "\"Blob\"=hex:01,ff,7f\n"
    "\"Expand\"=hex(2):25,00,50,00,00,00\n"
    "\"Big\"=hex(b):01,00,00,00,00,00,00,00\n"
    "@=\"default\"\n"
    "something nobody understands\n"
    "\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Zelcor]\n"
    "\"Port\"=\"4711\"\n";

RegistryFile parsed(const std::string& text) { return RegistryFile::parse(text, "test.reg"); }

TEST(RegistryFile, ReadsEveryValueFormOfAnExport) {
  RegistryFile file = parsed(kExport);
  const std::string key = "SOFTWARE\\Zelcor\\Resources";
  struct Case {
    const char* name;
    std::uint32_t type;
    std::string text;  // for texts
  } cases[] = {
      {"ConfigurationDir", kRegSz, "/etc/jobscheduler"},
      {"Quoted \"name\"", kRegSz, "C:\\Temp\\\"x\""},
      {"Unescaped", kRegSz, "C:\\Temp"},
      {"", kRegSz, "default"},
      {"Retries", kRegDword, ""},
      {"Hosts", kRegMultiSz, ""},
      {"Blob", kRegBinary, ""},
      {"Expand", kRegExpandSz, ""},
      {"Big", kRegQword, ""},
  };
  for (const Case& c : cases) {
    RegistryFile::Lookup lookup = file.find(kHklm, key, c.name);
    ASSERT_EQ(lookup.outcome, Outcome::found) << c.name;
    EXPECT_EQ(lookup.value.type, c.type) << c.name;
    if (c.type == kRegSz) {
      EXPECT_EQ(lookup.value.asText(), c.text) << c.name;
    }
  }
  EXPECT_EQ(file.find(kHklm, key, "Retries").value.data, std::string("\x0a\0\0\0", 4));
  EXPECT_EQ(file.find(kHklm, key, "Hosts").value.asList(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(file.find(kHklm, key, "Blob").value.data, "\x01\xff\x7f");
  EXPECT_EQ(file.find(kHklm, key, "Expand").value.asText(), "%P");
  EXPECT_EQ(file.find("HKEY_CURRENT_USER", "SOFTWARE\\Zelcor", "Port").value.asText(), "4711");
  EXPECT_EQ(file.find(kHklm, "SOFTWARE\\Zelcor", "Port").outcome, Outcome::valueMissing);
}

TEST(RegistryFile, NamesCompareWithoutCaseAndEmptyKeyPartsDoNotCount) {
  RegistryFile file = parsed(kExport);
  EXPECT_EQ(
      file.find("hkey_local_machine", "software\\ZELCOR\\resources", "configurationdir").outcome,
      Outcome::found);
  EXPECT_EQ(file.find(kHklm, "\\SOFTWARE\\\\Zelcor\\Resources\\", "Retries").outcome,
            Outcome::found);
  EXPECT_EQ(file.find(kHklm, "SOFTWARE\\Zelcor\\Resource", "Retries").outcome, Outcome::keyMissing);
  // A subkey's section makes its parents exist, without values of their own.
  EXPECT_EQ(file.find(kHklm, "SOFTWARE", "Retries").outcome, Outcome::valueMissing);
  EXPECT_EQ(file.find("HKEY_USERS", "SOFTWARE\\Zelcor\\Resources", "Retries").outcome,
            Outcome::keyMissing);
}

TEST(RegistryFile, LinesApplyInOrderAsAnImportDoes) {
  RegistryFile file = parsed(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"first\"\n\"gone\"=\"x\"\n\"gone\"=-\n"
      "[HKEY_LOCAL_MACHINE\\a]\n\"V\"=\"second\"\n"
      "[HKEY_LOCAL_MACHINE\\B\\C]\n\"w\"=\"x\"\n"
      "[HKEY_LOCAL_MACHINE\\B]\n\"w\"=\"x\"\n"
      "[-HKEY_LOCAL_MACHINE\\B]\n"
      "[HKEY_LOCAL_MACHINE\\D]\n\"w\"=\"old\"\n"
      "[-HKEY_LOCAL_MACHINE\\D]\n"
      "[HKEY_LOCAL_MACHINE\\D]\n\"z\"=\"new\"\n"
      "[HKEY_BOGUS\\A]\n\"v\"=\"lost\"\n");
  EXPECT_EQ(file.find(kHklm, "A", "v").value.asText(), "second");
  EXPECT_EQ(file.find(kHklm, "A", "gone").outcome, Outcome::valueMissing);
  EXPECT_EQ(file.find(kHklm, "B", "w").outcome, Outcome::keyMissing);
  EXPECT_EQ(file.find(kHklm, "B\\C", "w").outcome, Outcome::keyMissing);
  EXPECT_EQ(file.find(kHklm, "D", "w").outcome, Outcome::valueMissing);
  EXPECT_EQ(file.find(kHklm, "D", "z").value.asText(), "new");
  // Values under a section that names no hive belong to no key, not to the one before it.
  EXPECT_EQ(file.find(kHklm, "D", "v").outcome, Outcome::valueMissing);
}

TEST(RegistryFile, DamagedValueNamesItsLineAndLeavesTheOthersReadable) {
  RegistryFile file = parsed(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\K]\n"
      "\"Dword\"=dword:00zz\n"
      "\"Long\"=dword:123456789\n"
      "\"Hex\"=hex:01,2g\n"
      "\"Kind\"=hex(q):01\n"
      "\"Open\"=\"no end\n"
      "\"Tail\"=\"x\" y\n"
      "\"What\"=qword:1\n"
      "\"Cut\"=hex:01,\\\n"
      "[HKEY_LOCAL_MACHINE\\K]\n"
      "\"Fine\"=\"yes\"\n"
      "\"unterminated name=\"x\"\n");
  struct Case {
    const char* name;
    const char* problem;
  } cases[] = {
      {"Dword", "line 3: dword data must be 1 to 8 hex digits"},
      {"Long", "line 4: dword data must be 1 to 8 hex digits"},
      {"Hex", "line 5: bad hex byte \"2g\""},
      {"Kind", "line 6: the type of hex data must be written hex(n) with n in hex"},
      {"Open", "line 7: the text has no closing quote"},
      {"Tail", "line 8: unexpected characters after the closing quote"},
      {"What", "line 9: unknown kind of data"},
      {"Cut", "line 10: the data ends after a continuation mark"},
  };
  for (const Case& c : cases) {
    RegistryFile::Lookup lookup = file.find(kHklm, "K", c.name);
    EXPECT_EQ(lookup.outcome, Outcome::damaged) << c.name;
    EXPECT_EQ(lookup.problem, c.problem) << c.name;
  }
  // The broken continuation did not swallow the section header after it.
  EXPECT_EQ(file.find(kHklm, "K", "Fine").value.asText(), "yes");
  EXPECT_EQ(file.find(kHklm, "K", "unterminated name").outcome, Outcome::valueMissing);
}

TEST(RegistryFile, OnlyTheHeaderMakesARegistryFile) {
  EXPECT_EQ(test::thrownText<RegistryFile::Parse_NotRegistryFile>(
                [] { RegistryFile::parse("\n\nREGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n", "/x/r.reg"); }),
            "Parse_NotRegistryFile: /x/r.reg is not a registry file: line 3 is \"REGEDIT4\" where "
            "\"Windows Registry Editor Version 5.00\" was expected");
  for (const char* empty : {"", "\n", "  \n\n"}) {
    RegistryFile file = parsed(empty);
    EXPECT_EQ(file.find(kHklm, "A", "v").outcome, Outcome::keyMissing);
    file.setValue(kHklm, "A", "v", RegistryValue::fromText("x"));
    EXPECT_EQ(file.render(),
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"x\"\n");
  }
  EXPECT_EQ(parsed("  Windows Registry Editor Version 5.00  \r\n").find(kHklm, "A", "v").outcome,
            Outcome::keyMissing);
}

TEST(RegistryFile, RenderKeepsUnchangedLinesAndChangesOnlyTheValueSet) {
  EXPECT_EQ(parsed(kExport).render(), kExport);
  const std::string crlf =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"1\"\r\n"
      ";note\r\n\r\n[HKEY_LOCAL_MACHINE\\B]\r\n\"w\"=-\r\n";
  EXPECT_EQ(parsed(crlf).render(), crlf);

  RegistryFile file = parsed(crlf);
  file.setValue(kHklm, "a", "V", RegistryValue::fromDword(7));      // in place, old spelling kept
  file.setValue(kHklm, "A", "new", RegistryValue::fromText("n"));   // end of its section
  file.setValue(kHklm, "B", "w", RegistryValue::fromText("back"));  // after its removal line
  file.setValue(kHklm, "C\\D", "x", RegistryValue::fromList({}));   // a new section
  EXPECT_EQ(
      file.render(),
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
      "\"v\"=dword:00000007\r\n;note\r\n\"new\"=\"n\"\r\n\r\n[HKEY_LOCAL_MACHINE\\B]\r\n"
      "\"w\"=-\r\n\"w\"=\"back\"\r\n\r\n[HKEY_LOCAL_MACHINE\\C\\D]\r\n\"x\"=hex(7):00,00\r\n");
  RegistryFile again = parsed(file.render());
  EXPECT_EQ(again.find(kHklm, "B", "w").value.asText(), "back");
  EXPECT_EQ(again.find(kHklm, "C\\D", "x").value.asList(), std::vector<std::string>{});

  // A value set under a removed key starts the key again after the removal.
  RegistryFile removed = parsed(
      "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n"
      "\"v\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\A]\n");
  removed.setValue(kHklm, "A", "v", RegistryValue::fromText("2"));
  EXPECT_EQ(parsed(removed.render()).find(kHklm, "A", "v").value.asText(), "2");
  EXPECT_EQ(removed.render().substr(removed.render().size() - 32),
            "\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"2\"\n");
}

TEST(RegistryFile, WritesValuesThatReadBackUnchanged) {
  std::vector<std::string> longList(12, "item-\xC3\xA4\xE2\x82\xAC");
  struct Case {
    const char* what;
    RegistryValue value;
  } cases[] = {
      {"text with quotes and backslashes", RegistryValue::fromText("a \"b\" \\c\\")},
      {"text with a line break", RegistryValue::fromText("one\r\ntwo")},
      {"empty text", RegistryValue::fromText("")},
      {"list with empty items", RegistryValue::fromList({"a", "", "b", ""})},
      {"list of one empty item", RegistryValue::fromList({""})},
      {"long list", RegistryValue::fromList(longList)},
      {"dword", RegistryValue::fromDword(0xDEADBEEF)},
      {"binary", RegistryValue{kRegBinary, std::string("\0\x01\xff", 3)}},
      {"odd type", RegistryValue{0x1234, "xy"}},
  };
  for (const Case& c : cases) {
    RegistryFile file;
    file.setValue(kHklm, "K", "name \"q\"", c.value);
    std::string text = file.render();
    RegistryFile::Lookup lookup = parsed(text).find(kHklm, "K", "name \"q\"");
    ASSERT_EQ(lookup.outcome, Outcome::found) << c.what << "\n" << text;
    EXPECT_EQ(lookup.value.type, c.value.type) << c.what;
    EXPECT_EQ(lookup.value.data, c.value.data) << c.what;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
      end = text.find('\n', start);
      EXPECT_LE(end - start, 80u) << c.what << ": exports keep lines short";
    }
  }
  EXPECT_EQ(RegistryValue::fromList({"a", "", "b", ""}).asList(),
            (std::vector<std::string>{"a", "", "b", ""}));
  RegistryFile file;
  file.setValue(kHklm, "K", "v", RegistryValue::fromText("one\ntwo"));
  EXPECT_NE(file.render().find("\"v\"=hex(1):6f,00,6e,00,65,00,0a,00,74"), std::string::npos);
}

TEST(RegistryFile, Utf16ExportStaysUtf16) {
  std::u16string text =
      u"Windows Registry Editor Version "
      u"5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"\u00e4\"=\"\u20ac\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  RegistryFile file = parsed(bytes);
  EXPECT_EQ(file.find(kHklm, "A", "\xC3\xA4").value.asText(), "\xE2\x82\xAC");
  EXPECT_EQ(file.render(), bytes);
  file.setValue(kHklm, "A", "n", RegistryValue::fromText("1"));
  std::string rendered = file.render();
  ASSERT_EQ(rendered.substr(0, 2 + bytes.size() - 2), bytes);
  EXPECT_EQ(rendered.substr(bytes.size()), std::string("\"\0n\0\"\0=\0\"\0"
                                                       "1\0\"\0\r\0\n\0",
                                                       18));
}

// A few thousand damaged variants of a valid file: each parses or is refused with the
// framework's exception, and whatever parses renders, parses again and takes a new value.
TEST(RegistryFile, DamagedInputNeverBreaksTheParser) {
  std::mt19937 random(20240611);
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; start < kExport.size(); start = end + 1) {
    end = kExport.find('\n', start);
    lines.push_back(kExport.substr(start, end - start));
  }
  static constexpr char kAlphabet[] = "[]\\\"=,:-@()hexdword0123456789abcdef \t\r\n;\xFF\xFE\0";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  const auto start = std::chrono::steady_clock::now();
  int parsedCount = 0;
  int refused = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    switch (round % 5) {
      case 0:
        input = kExport.substr(0, pick(kExport.size() + 1));
        break;
      case 1: {
        std::vector<std::string> shuffled(lines.begin() + 1, lines.end());
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        input = lines.front() + "\n";
        for (const std::string& line : shuffled) input += line + "\n";
        break;
      }
      case 2:
        input = kExport;
        for (int n = 1 + static_cast<int>(pick(8)); n > 0; --n) {
          std::size_t at = pick(input.size());
          if (pick(2) == 0) {
            input[at] = alphabet[pick(alphabet.size())];
          } else {
            input.insert(at, 1, alphabet[pick(alphabet.size())]);
          }
        }
        break;
      case 3:
        input = std::string(RegistryFile::kHeader) + "\n";
        for (std::size_t n = pick(300); n > 0; --n) input += alphabet[pick(alphabet.size())];
        break;
      default: {
        input = (pick(2) == 0 ? "\xFF\xFE" : "\xEF\xBB\xBF");
        for (std::size_t n = pick(200); n > 0; --n) input += static_cast<char>(pick(256));
        break;
      }
    }
    try {
      RegistryFile file = RegistryFile::parse(input, "fuzz.reg");
      ++parsedCount;
      std::string once = file.render();
      RegistryFile reread = RegistryFile::parse(once, "fuzz.reg");
      ASSERT_EQ(reread.render(), once) << "round " << round;
      for (const char* name : {"ConfigurationDir", "Hosts", "Retries", "Port"}) {
        file.find(kHklm, "SOFTWARE\\Zelcor\\Resources", name);
      }
      file.setValue(kHklm, "SOFTWARE\\Zelcor\\Resources", "Hosts", RegistryValue::fromList({"z"}));
      RegistryFile::Lookup lookup = RegistryFile::parse(file.render(), "fuzz.reg")
                                        .find(kHklm, "SOFTWARE\\Zelcor\\Resources", "Hosts");
      ASSERT_EQ(lookup.outcome, Outcome::found) << "round " << round << "\n" << input;
      ASSERT_EQ(lookup.value.asList(), std::vector<std::string>{"z"}) << "round " << round;
    } catch (const Exception&) {
      ++refused;
    }
  }
  EXPECT_GT(parsedCount, 1500);
  EXPECT_GT(refused, 100);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

}  // namespace
}  // namespace ZelcorCorelib
