#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "config/ConfOldFile.h"
#include "config/ConfParams.h"
#include "testsupport/TempDir.h"
#include "testsupport/ThrownText.h"
#include "time/TimeSpan.h"
#include "values/StringStream.h"

namespace ZelcorCorelib {
namespace {

using test::TempDir;
using test::thrownText;

std::string writeFile(const TempDir& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir.file(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::uint32_t crc32(const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// A gzip member holding the text in one stored deflate block, so that no compressor is needed.
std::string gzipStored(const std::string& text) {
  auto little = [](std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff\x01", 11);
  const auto length = static_cast<std::uint32_t>(text.size());
  little(out, length, 2);
  little(out, ~length & 0xFFFFu, 2);
  out += text;
  little(out, crc32(text), 4);
  little(out, length, 4);
  return out;
}

// What a failed load raised: its name, its readable text, and whether it arrived as the
// framework's base class.
struct Failure {
  std::string name;
  std::string text;
  bool asBase = false;
  std::size_t locations = 0;
};

// The text without the class name and the blank that follows it.
std::string readable(const Exception& failure) {
  std::string text = failure.toString(false);
  return text.empty() || text[0] != ' ' ? text : text.substr(1);
}

Failure loadFailure(const std::string& path) {
  ConfOldFile loader;
  try {
    loader.loadIntoMemory(path);
  } catch (const Exception& failure) {
    return {failure.getClassName(), readable(failure), typeid(failure) == typeid(Exception),
            failure.getLocations().size()};
  }
  return {"nothing thrown", "", false, 0};
}

std::shared_ptr<const ConfNode> loadText(const std::string& text) {
  TempDir dir("conf-old-file");
  ConfOldFile loader;
  loader.loadIntoMemory(writeFile(dir, "test.conf", text));
  return loader.getConvertedTree();
}

std::string valueAt(const std::shared_ptr<const ConfNode>& tree, const std::string& path) {
  ConfNode::Handle node = tree->findByPath(path);
  return node ? node->getValue() : "<missing " + path + ">";
}

TEST(ConfOldFile, ReadsNestedDefinitionsWithTheirTypesInFileOrder) {
  auto tree = loadText(
      "Zelcor (String) = \"\" {\n"
      "  directories (String) = \"\" {\r\n"
      "    temp (DirName) = \"D:/data/temp\" { }\n"
      "  }\n"
      "}\n"
      "b(Integer)=\"7\"{}a\t(String)\v=\n\"two\nlines \\\" {}");
  EXPECT_EQ(tree->getChildOrder(), (std::vector<std::string>{"Zelcor", "b", "a"}));
  ConfNode::Handle temp = tree->findByPath("Zelcor.directories.temp");
  ASSERT_TRUE(temp);
  EXPECT_EQ(temp->getType(), kConfDir);
  EXPECT_EQ(temp->getValue(), "D:/data/temp/");
  EXPECT_EQ(valueAt(tree, "b"), "7");
  EXPECT_EQ(valueAt(tree, "a"), "two\nlines \\");  // no escapes; the value may span lines

  // clang-format off
  const std::vector<std::pair<std::string, int>> types = {
      {"String", kConfString}, {"Bool", kConfBool}, {"Integer", kConfInt}, {"Real", kConfFloat},
      {"DirName", kConfDir}, {"FileName", kConfFile}, {"DateTime", kConfDateTime},
      {"Date", kConfDateTime}, {"Time", kConfTimeOfDay}, {"TimeSpan", kConfTimeSpan},
      {"NetworkAddress", kConfString}, {"NetworkIP", kConfString}, {"NetworkPort", kConfInt},
      {"integer", kConfString}, {"Colour", kConfString}, {"", kConfNone},
      {" \b\fInteger\t\r\n ", kConfInt}};
  // clang-format on
  std::string text;
  for (std::size_t i = 0; i < types.size(); ++i) {
    text += "n" + std::to_string(i) + " \b(" + types[i].first + ") = \"v\" {}\n";
  }
  tree = loadText(text);
  for (std::size_t i = 0; i < types.size(); ++i) {
    ConfNode::Handle node = tree->getChild("n" + std::to_string(i));
    ASSERT_TRUE(node) << "type name \"" << types[i].first << "\"";
    EXPECT_EQ(node->getType(), types[i].second) << "type name \"" << types[i].first << "\"";
  }
}

TEST(ConfOldFile, EmptyAndBlankFilesLoadEmptyTrees) {
  for (const char* text : {"", " \t\r\n\v\n"}) {
    auto tree = loadText(text);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->getName(), "root");
    EXPECT_EQ(tree->getChildCount(), 0u);
  }
}

TEST(ConfOldFile, SyntaxErrorsNameLineAndFile) {
  TempDir dir("conf-old-file");
  const std::string path = dir.file("bad.conf");
  auto invalid = [&](int line) {
    return "Invalid configuration node definition in line " + std::to_string(line) + " in file \"" +
           path + "\"";
  };
  auto premature = [&](int line) {
    return "Premature end of file in line " + std::to_string(line) + " in file \"" + path + "\"";
  };
  struct Case {
    std::string text;
    std::string name;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a (String) {\n}\n", "Load_InvalidNode", invalid(1)},
      {"x(String)=\"\"{}\na (Integer) = 12 {}", "Load_InvalidNode", invalid(2)},
      // One unquoted character used to vanish silently in place of the quote.
      {"a (Integer) = 5 {}", "Load_InvalidNode", invalid(1)},
      {"a (String) : \"5\" {}", "Load_InvalidNode", invalid(1)},
      {"a(String)=\"\"{\n  b(String)=\"\"{\n  }\n", "Load_PrematureEndOfFile", premature(4)},
      {"a(String)=\"unterminated {}\n\n", "Load_PrematureEndOfFile", premature(3)},
      {"a(String)=\"\"{}\ntrailing", "Load_PrematureEndOfFile", premature(2)},
      {"a(String)=\"\"{}\n}\n", "Load_InvalidNode", invalid(2)},
      // An empty name used to end the file quietly and drop everything after it.
      {"a(String)=\"\"{\n (String)=\"\"{}\n}", "Load_InvalidNode", invalid(2)},
      {"\n(String)=\"\"{}\nb(String)=\"\"{}", "Load_InvalidNode", invalid(2)},
      {"a.b(String)=\"\"{}", "Load_InvalidNode", invalid(1)},
      {"a\nb(String)=\"\"{}", "Load_InvalidNode", invalid(1)},
      {"a(String=\"x\"{}\nb(String)=\"\"{}", "Load_InvalidNode", invalid(1)},
  };
  for (const Case& c : cases) {
    writeFile(dir, "bad.conf", c.text);
    Failure failure = loadFailure(path);
    EXPECT_EQ(failure.name, c.name) << c.text;
    EXPECT_EQ(failure.text, c.message) << c.text;
    EXPECT_TRUE(failure.asBase) << c.text;
  }

  // One location where it was raised, one per enclosing body, one for the load itself.
  writeFile(dir, "bad.conf", "a(String)=\"\"{ b(String)=\"\"{ c(String) {} } }");
  EXPECT_EQ(loadFailure(path).locations, 4u);

  writeFile(dir, "bad.conf", "a(String)=\"\"{\n b(String)=\"\"{}\n b(Integer)=\"1\"{}\n}");
  Failure duplicate = loadFailure(path);
  EXPECT_EQ(duplicate.name, "Load_DuplicateNode");
  EXPECT_EQ(duplicate.text.substr(0, duplicate.text.find('\n')),
            "Node \"a.b\" in line 3 in file \"" + path + "\" is defined twice");
  EXPECT_NE(duplicate.text.find("another child with that name already exists"), std::string::npos);
}

TEST(ConfOldFile, NestingIsBoundedWithoutExhaustingTheStack) {
  TempDir dir("conf-old-file");
  auto nested = [&](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "n(String)=\"\"{\n";
    return writeFile(dir, "deep.conf", text + std::string(depth, '}'));
  };
  ConfOldFile loader;
  EXPECT_NO_THROW(loader.loadIntoMemory(nested(ConfOldFile::kMaxNodeDepth)));
  const std::string path = nested(ConfOldFile::kMaxNodeDepth + 1);
  EXPECT_EQ(loadFailure(path).text,
            "Configuration nodes nested deeper than 64 levels in line 65 in file \"" + path + "\"");
  EXPECT_EQ(loadFailure(nested(100000)).name, "Load_InvalidNode");
}

TEST(ConfOldFile, TextBeyondTheSizeBoundIsRefusedNamingTheFile) {
  TempDir dir("conf-old-file");
  const std::string head = "a(String)=\"";
  const std::string tail = "\"{}";
  auto sized = [&](std::size_t size) {
    return writeFile(dir, "big.conf",
                     head + std::string(size - head.size() - tail.size(), 'x') + tail);
  };
  ConfOldFile loader;
  EXPECT_NO_THROW(loader.loadIntoMemory(sized(ConfOldFile::kMaxFileBytes)));
  EXPECT_EQ(loader.getRawTree()->getChild("a")->getValue().size(),
            ConfOldFile::kMaxFileBytes - head.size() - tail.size());
  const std::string path = sized(ConfOldFile::kMaxFileBytes + 1);
  const Failure failure = loadFailure(path);
  EXPECT_EQ(failure.name, "Load_FileTooLarge");
  EXPECT_EQ(failure.text, "Configuration file \"" + path + "\" is larger than " +
                              std::to_string(ConfOldFile::kMaxFileBytes) +
                              " bytes (reading stopped in line 1)");
}

TEST(ConfOldFile, FilesThatCannotBeReadRaiseTheirOwnClasses) {
  TempDir dir("conf-old-file");
  const std::string missing = dir.file("missing.conf");
  EXPECT_EQ(
      thrownText<ConfOldFile::Load_FileNotFound>([&] { ConfOldFile().loadIntoMemory(missing); }),
      "Load_FileNotFound: Configuration file \"" + missing + "\" was not found");
  EXPECT_EQ(
      thrownText<ConfOldFile::Load_FileError>([&] { ConfOldFile().loadIntoMemory(dir.str()); }),
      "Load_FileError: Failed to load file \"" + dir.str() + "\"");
  const std::string notGzip = writeFile(dir, "plain.gz", "a(String)=\"\"{}");
  EXPECT_EQ(loadFailure(notGzip).name, "Load_FileError");
}

TEST(ConfOldFile, GzipFilesReadLikePlainOnesAndDamageIsNoShorterFile) {
  TempDir dir("conf-old-file");
  const std::string text = "a(String)=\"x\"{\n b(Integer)=\"3\"{}\n}\nc(DirName)=\"/srv\"{}\n";
  ConfOldFile loader;
  loader.loadIntoMemory(writeFile(dir, "test.conf.gz", gzipStored(text)));
  EXPECT_EQ(valueAt(loader.getConvertedTree(), "a.b"), "3");
  EXPECT_EQ(valueAt(loader.getConvertedTree(), "c"), "/srv/");

  // Cut after the first node's closing brace: every byte before it is intact.
  const std::string gz = gzipStored(text);
  const std::string cut = writeFile(dir, "cut.conf.gz", gz.substr(0, 11 + 4 + text.find("\nc(")));
  Failure failure = loadFailure(cut);
  EXPECT_EQ(failure.name, "Load_FileError");
  EXPECT_EQ(failure.text, "Failed to read file \"" + cut + "\" in line 3");
}

TEST(ConfOldFile, ReferencesExpandFromTheSameFileAndNest) {
  auto tree = loadText(
      "base(String)=\"/srv\"{}\n"
      "grp(String)=\"\"{ inner(String)=\"in\"{} }\n"
      "num(Integer)=\"8080\"{}\n"
      "span(TimeSpan)=\"2h\"{}\n"
      "d(DirName)=\"${base}/d\"{}\n"
      "f(FileName)=\"${d}file.txt\"{}\n"
      "open(String)=\"${\"{}\n"
      "c(String)=\"C\"{}\n"
      "r1(String)=\"${base}/data\"{}\n"
      "r2(String)=\"pre-${grp.inner}-mid-${num}-${span}\"{}\n"
      "r3(String)=\"${nope}/x ab${base $${base} ${}x\"{}\n"
      "r4(String)=\"${open}c}\"{}\n"
      "r5(String)=\"end${base}\"{}\n"
      "r6(String)=\"$${base}\"{}\n");
  EXPECT_EQ(valueAt(tree, "d"), "/srv/d/");
  EXPECT_EQ(valueAt(tree, "f"), "/srv/d/file.txt");
  EXPECT_EQ(valueAt(tree, "r1"), "/srv/data");
  EXPECT_EQ(valueAt(tree, "r2"), "pre-in-mid-8080-PT2H");
  EXPECT_EQ(valueAt(tree, "r3"), "${nope}/x ab${base $${base} ${}x");
  // Inserted text is not scanned again, so "${" + "c}" does not become a reference.
  EXPECT_EQ(valueAt(tree, "r4"), "${c}");
  EXPECT_EQ(valueAt(tree, "r5"), "end/srv");
  EXPECT_EQ(valueAt(tree, "r6"), "$/srv");
}

TEST(ConfOldFile, CircularReferencesEndKeptAsWritten) {
  auto tree = loadText(
      "a(String)=\"x${a}y\"{}\n"
      "b(String)=\"1${c}\"{}\n"
      "c(String)=\"2${b}\"{}\n"
      "d(String)=\"${b}|${b}\"{}\n");
  EXPECT_EQ(valueAt(tree, "a"), "x${a}y");
  EXPECT_EQ(valueAt(tree, "b"), "12${b}");
  EXPECT_EQ(valueAt(tree, "c"), "21${c}");
  EXPECT_EQ(valueAt(tree, "d"), "12${b}|12${b}");
}

TEST(ConfOldFile, ReferenceChainsAndGrowthAreBounded) {
  TempDir dir("conf-old-file");
  // n0 = ${n1}${n1}, n1 = ${n2}${n2}, ...: the leaf's text doubles at every level.
  auto doubling = [&](int levels, const std::string& leaf) {
    std::string text;
    for (int i = 0; i < levels; ++i) {
      const std::string next = "${n" + std::to_string(i + 1) + "}";
      text += "n" + std::to_string(i) + "(String)=\"" + next + next + "\"{}\n";
    }
    return writeFile(dir, "grow.conf",
                     text + "n" + std::to_string(levels) + "(String)=\"" + leaf + "\"{}\n");
  };
  ConfOldFile loader;
  loader.loadIntoMemory(doubling(30, ""));
  EXPECT_EQ(valueAt(loader.getConvertedTree(), "n0"), "");
  const std::string grow = doubling(30, "xy");
  EXPECT_EQ(thrownText<ConfOldFile::Load_InvalidValue>([&] { loader.loadIntoMemory(grow); }),
            "Load_InvalidValue: References in the value of \"n0\" in line 1 in file \"" + grow +
                "\" nest deeper than 32 levels or expand too far");

  // Each value stays within its own limit, but together they insert too much.
  std::string many = "big(String)=\"" + std::string(60000, 'x') + "\"{}\n";
  for (int i = 0; i < 80; ++i) many += "r" + std::to_string(i) + "(String)=\"${big}\"{}\n";
  EXPECT_EQ(loadFailure(writeFile(dir, "many.conf", many)).name, "Load_InvalidValue");

  // A straight chain fails at the same length whichever end the file defines first.
  auto chain = [&](int links, bool leafFirst) {
    std::vector<std::string> lines;
    for (int i = 0; i < links; ++i) {
      lines.push_back("c" + std::to_string(i) + "(String)=\"${c" + std::to_string(i + 1) +
                      "}\"{}\n");
    }
    lines.push_back("c" + std::to_string(links) + "(String)=\"leaf\"{}\n");
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i)
      text += lines[leafFirst ? lines.size() - 1 - i : i];
    return writeFile(dir, "chain.conf", text);
  };
  for (bool leafFirst : {false, true}) {
    loader.loadIntoMemory(chain(ConfOldFile::kMaxReferenceDepth, leafFirst));
    EXPECT_EQ(valueAt(loader.getConvertedTree(), "c0"), "leaf");
    EXPECT_EQ(loadFailure(chain(ConfOldFile::kMaxReferenceDepth + 1, leafFirst)).name,
              "Load_InvalidValue");
  }
}

TEST(ConfOldFile, DirAndFileValuesAreNormalised) {
  ASSERT_EQ(setenv("ZELCOR_CONF_OLD_FILE_TEST", "/opt/r", 1), 0);
  // Normalisation itself is the file utilities' concern; here: that it is applied, and the
  // separator rule.
  const std::vector<std::pair<std::string, std::string>> dirs = {
      {"/var/lib/js", "/var/lib/js/"},
      {"/var/lib/js/", "/var/lib/js/"},
      {"\\srv\\x", "/srv/x/"},
      {"/a/./b/../c", "/a/c/"},
      {"", ""},
      {"$ZELCOR_CONF_OLD_FILE_TEST/x", "/opt/r/x/"}};
  std::string text;
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    text += "d" + std::to_string(i) + "(DirName)=\"" + dirs[i].first + "\"{}\n";
  }
  text += "f(FileName)=\"$ZELCOR_CONF_OLD_FILE_TEST/b/../c.txt\"{}\n";
  auto tree = loadText(text);
  unsetenv("ZELCOR_CONF_OLD_FILE_TEST");
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    EXPECT_EQ(valueAt(tree, "d" + std::to_string(i)), dirs[i].second) << dirs[i].first;
  }
  EXPECT_EQ(valueAt(tree, "f"), "/opt/r/c.txt");
  EXPECT_EQ(tree->getChild("d0")->getDir(), "/var/lib/js");
}

TEST(ConfOldFile, TimeSpanUnitsBecomeDesignatorsTheReaderUnderstands) {
  struct Case {
    const char* written;
    const char* converted;
    std::int64_t milliseconds;
  };
  const std::vector<Case> cases = {{"P1D12H", "P1DT12H", 36 * 3600000LL},
                                   {"1d6h30m", "P1DT6H30M", (30 * 60 + 30) * 60000LL},
                                   {"2h", "PT2H", 2 * 3600000LL},
                                   {"PT2H", "PT2H", 2 * 3600000LL},
                                   {"P1DT12H", "P1DT12H", 36 * 3600000LL},
                                   {"45s ", "PT45S", 45000},
                                   {"", "", 0}};
  std::string text;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    text += "s" + std::to_string(i) + "(TimeSpan)=\"" + cases[i].written + "\"{}\n";
  }
  auto tree = loadText(text);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    ConfNode::Handle node = tree->getChild("s" + std::to_string(i));
    EXPECT_EQ(node->getValue(), cases[i].converted) << cases[i].written;
    EXPECT_EQ(node->getTimeSpan().getMilliseconds(), cases[i].milliseconds) << cases[i].written;
  }

  // A number left without a unit used to be dropped, so "90" meant nothing at all.
  TempDir dir("conf-old-file");
  for (const char* written : {"90", "1h30"}) {
    const std::string path =
        writeFile(dir, "span.conf", "\nt(TimeSpan)=\"" + std::string(written) + "\"{}");
    EXPECT_EQ(loadFailure(path).text, "Time span \"" + std::string(written) +
                                          "\" of \"t\" in line 2 in file \"" + path +
                                          "\" ends in a number without a unit");
  }
}

// Stands in for the store: takes "conf"/"data" and keeps what arrived.
class DataReceiver : public ImsAgent {
 public:
  enum class Answer { Handle, Refuse, Throw };
  DataReceiver() : ImsAgent("data-receiver") {
    hookId = setMessageHook(false, "conf", "data", "", 1);
  }
  ~DataReceiver() override { removeMessageHook(hookId); }
  ImsResult receiveHookedMessage(std::uint64_t, ImsMessage& message) override {
    if (answer == Answer::Throw) throw Exception("@test.receiver{Receiver broke};");
    if (answer == Answer::Refuse) return ImsResult::NotHandled;
    messageType = message.getMessageType();
    tree = ConfNode::root();
    tree->streamFrom(*static_cast<ConfDataParam*>(message.getParameter())->stream);
    return ImsResult::Handled;
  }
  Answer answer = Answer::Handle;
  std::string messageType = "<none>";
  ConfNode::Handle tree;

 private:
  std::uint64_t hookId = 0;
};

std::string streamed(const ConfNode& node) {
  StringStream stream;
  node.streamTo(stream);
  return stream.getBytes();
}

TEST(ConfOldFile, SendsTheLastConvertedTreeToTheStore) {
  TempDir dir("conf-old-file");
  DataReceiver receiver;
  ConfOldFile loader;
  EXPECT_EQ(thrownText<ConfOldFile::Load_FailedToSendToBase>([&] { loader.sendToBase(true); }),
            "Load_FailedToSendToBase: No configuration file has been loaded, so there is nothing "
            "to send to the configuration base");
  EXPECT_EQ(receiver.messageType, "<none>");

  const std::string good = writeFile(dir, "good.conf", "a(DirName)=\"/x\"{ b(Integer)=\"1\"{} }");
  loader.load(good, true);
  EXPECT_EQ(receiver.messageType, "clear-old");
  ASSERT_TRUE(receiver.tree);
  EXPECT_EQ(streamed(*receiver.tree), streamed(*loader.getConvertedTree()));
  EXPECT_EQ(receiver.tree->findByPath("a")->getValue(), "/x/");

  // A failed load sends nothing and keeps both trees, which can be sent again.
  auto converted = loader.getConvertedTree();
  auto raw = loader.getRawTree();
  receiver.messageType = "<none>";
  EXPECT_ANY_THROW(loader.load(writeFile(dir, "bad.conf", "a(String){}"), false));
  EXPECT_EQ(receiver.messageType, "<none>");
  EXPECT_EQ(loader.getConvertedTree(), converted);
  EXPECT_EQ(loader.getRawTree(), raw);
  EXPECT_EQ(raw->findByPath("a")->getValue(), "/x");
  loader.sendToBase(false);
  EXPECT_EQ(receiver.messageType, "");
  EXPECT_EQ(streamed(*receiver.tree), streamed(*converted));

  loader.loadIntoMemory(writeFile(dir, "empty.conf", "\n"));
  loader.sendToBase(false);
  EXPECT_EQ(receiver.tree->getChildCount(), 0u);

  receiver.answer = DataReceiver::Answer::Refuse;
  EXPECT_EQ(thrownText<ConfOldFile::Load_FailedToSendToBase>([&] { loader.sendToBase(false); }),
            "Load_FailedToSendToBase: Failed to send configuration data to configuration base");
  receiver.answer = DataReceiver::Answer::Throw;
  try {
    loader.sendToBase(false);
    ADD_FAILURE() << "nothing thrown";
  } catch (const ConfOldFile::Load_FailedToSendToBase& failure) {
    ASSERT_EQ(failure.getNestedExceptions().size(), 1u);
    EXPECT_EQ(readable(failure.getNestedExceptions()[0]), "Receiver broke");
  }
}

}  // namespace
}  // namespace ZelcorCorelib
