#include "config/ConfBase.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bus/Ims.h"
#include "logging/FileLogger.h"
#include "testsupport/TempDir.h"
#include "time/TimeSpan.h"
#include "values/StringStream.h"

namespace ZelcorCorelib {
namespace {

using Names = std::vector<std::string>;
struct Entry {
  std::string path;
  int type;
  std::string value;  // a list takes its items from this text, split at ","
};

ConfNode::Handle makeTree(const std::vector<Entry>& entries, const std::string& rootName = "root") {
  ConfNode::Handle root = ConfNode::factory(rootName, kConfNone);
  for (const Entry& e : entries) {
    ConfNode::Handle node = root->createByPath(e.path, e.type);
    e.type == kConfList ? node->setList(e.value, ',') : node->setValue(e.value);
  }
  return root;
}

// The store under test and a plain agent that talks to it over the process bus.
class ConfBaseStore : public ::testing::Test {
 protected:
  bool sendData(StringStream& stream, const std::string& messageType) {
    ConfDataParam param(&stream);
    ImsMessage message("conf", "data", messageType, &param);
    return client.sendMessage(message);
  }
  bool load(const std::vector<Entry>& entries, const std::string& messageType = "clear-old",
            const std::string& rootName = "root") {
    StringStream stream;
    makeTree(entries, rootName)->streamTo(stream);
    return sendData(stream, messageType);
  }
  template <typename P>
  bool send(const std::string& group, P& param) {
    ImsMessage message("conf", group, "", &param);
    return client.sendMessage(message);
  }
  std::string expand(const std::string& rawPath) {
    ConfPathParam param(rawPath);
    EXPECT_TRUE(send("rawpath", param));
    return param.path;
  }
  void keyword(const std::string& name, const std::string& path) {
    ConfKeywordParam param(name, path);
    ASSERT_TRUE(send("keyword", param));
  }
  // {status, value}; is-set true writes `value` instead.
  template <typename T>
  std::pair<int, T> query(const std::string& path, int type, T value = T(), bool isSet = false,
                          int entryType = 0, const std::string& ltype = "") {
    ConfQueryParam param;
    param.path = path;
    param.queryType = type;
    param.value = &value;
    param.isSet = isSet;
    param.entryType = entryType;
    param.listSeparator = ',';
    if (!ltype.empty()) param.options["ltype"] = ltype;
    send("query", param);
    return {param.status, value};
  }
  std::string text(const std::string& path) { return query<std::string>(path, kConfString).second; }
  Names children(const std::string& path) { return query<Names>(path, kConfSubEntries).second; }
  int status(const std::string& path, int type, bool isSet = false, int entryType = 0) {
    return query<std::string>(path, type, "", isSet, entryType).first;
  }

  ConfBase store;
  ImsAgent client{"conf-base-test"};
};

TEST_F(ConfBaseStore, ReadsByTypeAndAnswersMismatchesWithStatus4) {
  struct Case {
    int type;
    const char* value;
    int queryType;
    int status;
  } cases[] = {
      {kConfInt, "5", kConfString, 4},
      {kConfString, "/tmp", kConfDir, 4},
      {kConfString, "/a", kConfFile, 4},
      {kConfDir, "/tmp", kConfFile, 4},
      {kConfInt, "1", kConfBool, 4},
      {kConfList, "a", kConfString, 4},
      {kConfInt, "5", kConfCreateEntry, 4},
      {kConfNone, "", kConfNone, 5},
      {kConfDir, "/a", kConfString, 1},
      {kConfFile, "/a", kConfString, 1},
      // Unreadable texts: the entry holds no value of the type asked for.
      {kConfDateTime, "not a date", kConfDateTime, 4},
      {kConfTimeOfDay, "25:99", kConfTimeOfDay, 4},
      {kConfTimeZone, "Nowhere", kConfTimeZone, 4},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(load({{"e", c.type, c.value}}));
    EXPECT_EQ(status("e", c.queryType), c.status) << c.value << " as " << confTypeName(c.queryType);
  }
  ASSERT_TRUE(load({{"b", kConfBool, "yes"},
                    {"i", kConfInt, "-12abc"},
                    {"u", kConfUInt, "-5"},
                    {"d", kConfDir, "D:\\jobs\\temp\\\\"},
                    {"f", kConfFile, "\\srv\\a.conf"},
                    {"t", kConfTimeSpan, "P1DT2H"},
                    {"l", kConfList, "x,,y"}}));
  EXPECT_EQ(query<bool>("b", kConfBool), std::make_pair(1, true));
  EXPECT_EQ(query<std::int64_t>("i", kConfInt), std::make_pair(1, std::int64_t{-12}));
  EXPECT_EQ(query<std::uint64_t>("u", kConfUInt), std::make_pair(1, std::uint64_t{0}));
  EXPECT_EQ(query<std::string>("d", kConfDir).second, "D:/jobs/temp");
  EXPECT_EQ(text("d"), "D:/jobs/temp");
  EXPECT_EQ(text("f"), "/srv/a.conf");
  EXPECT_EQ(query<TimeSpan>("t", kConfTimeSpan).second.toText(), "P1DT2H");
  EXPECT_EQ(query<Names>("l", kConfList).second, (Names{"x", "", "y"}));
  EXPECT_EQ(children(""), (Names{"b", "i", "u", "d", "f", "t", "l"}));
  EXPECT_EQ(query<Names>("b", kConfSubEntries), std::make_pair(1, Names{}));
  EXPECT_EQ(status("nope", kConfString), kConfStatusNotFound);
  EXPECT_EQ(status("b.", kConfBool), kConfStatusNotFound);
}

TEST_F(ConfBaseStore, FoundReadIsFinalOtherwiseHandled) {
  EXPECT_EQ(status("", kConfSubEntries), kConfStatusNotFound) << "no cache yet";
  ASSERT_TRUE(load({{"n", kConfInt, "7"}}));
  std::int64_t value = 0;
  ConfQueryParam param;
  param.queryType = kConfInt;
  param.value = &value;
  const std::pair<const char*, ImsResult> cases[] = {{"n", ImsResult::Final},
                                                     {"x", ImsResult::Handled}};
  for (auto [path, result] : cases) {
    param.path = path;
    ImsMessage message("conf", "query", "", &param);
    EXPECT_EQ(store.receiveMessage(message), result) << path;
    EXPECT_EQ(store.receiveHookedMessage(424242, message), ImsResult::NotHandled);
  }
  EXPECT_EQ(value, 7);
  ConfPathParam wrongPayload("n");
  EXPECT_FALSE(send("query", wrongPayload));
  EXPECT_FALSE(send("nothing", param));
}

TEST_F(ConfBaseStore, ExpandsReferencesInTextValues) {
  std::vector<Entry> chain;  // deep.n0 -> deep.n1 -> ... -> deep.n100 = "end"
  for (int i = 0; i < 100; ++i) {
    chain.push_back(
        {"deep.n" + std::to_string(i), kConfString, "${deep.n" + std::to_string(i + 1) + "}"});
  }
  chain.push_back({"deep.n100", kConfString, "end"});
  keyword("kb", "b");
  const std::string circular = "[ERROR:CIRCULAR-REFERENCE]";
  struct Case {
    std::vector<Entry> entries;
    std::string expected;
  } cases[] = {
      {{{"s", kConfString, "x${s}y"}}, circular},
      {{{"s", kConfString, "${b}"}, {"b", kConfString, "${s}"}}, circular},
      {{{"s", kConfString, "${%kb%}"}, {"b", kConfString, "<${s}>"}}, circular},
      {{{"s", kConfString, "${b}-${b}"}, {"b", kConfString, "q"}}, "q-q"},
      {{{"s", kConfString, "${b}${%kb%}"}, {"b", kConfString, "${c}."}, {"c", kConfString, "z"}},
       "z.z."},
      {{{"s", kConfString, "${int.entry}"}, {"int.entry", kConfInt, "5"}}, "5"},
      {{{"s", kConfString, "${f}"}, {"f", kConfFile, "\\a\\b"}}, "/a/b"},
      {{{"s", kConfString, "a${missing}b"}}, "a${missing}b"},
      {{{"s", kConfString, "abc${open"}}, "abc${open"},
      {{{"s", kConfString, "${b}${open"}, {"b", kConfString, "q"}}, "q${open"},
      // A dir is normalised first, then its references are filled in.
      {{{"s", kConfDir, "${base}\\logs\\"}, {"base", kConfString, "/var"}}, "/var/logs"},
  };
  for (const Case& c : cases) {
    std::vector<Entry> entries = chain;
    entries.insert(entries.end(), c.entries.begin(), c.entries.end());
    ASSERT_TRUE(load(entries));
    EXPECT_EQ(text("s"), c.expected) << c.entries[0].value;
  }
  // Too deep to follow: reported like a loop rather than risking the stack.
  EXPECT_EQ(text("deep.n0"), circular);
  EXPECT_EQ(text("deep.n60"), "end");
}

TEST_F(ConfBaseStore, ExpandsKeywordsInPathsOneLevelDeep) {
  keyword("a", "Zelcor");
  keyword("b", "port");
  keyword("temp", "Zelcor.directories.temp");
  keyword("c", "%a%");
  std::pair<const char*, const char*> cases[] = {
      {"%a%.%b%", "Zelcor.port"}, {"%temp%.max", "Zelcor.directories.temp.max"},
      {"%nope%.x", "%nope%.x"},   {"%c%.y", "%a%.y"},
      {"x.%abc", "x."},           {"", ""},
  };
  for (auto [raw, expanded] : cases) EXPECT_EQ(expand(raw), expanded) << raw;
  keyword("b", "other");
  ASSERT_TRUE(load({{"Zelcor.other", kConfString, "found"}}));
  EXPECT_EQ(text("%a%.%b%"), "found");
}

TEST_F(ConfBaseStore, ClearOldReplacesOtherDataMerges) {
  for (const char* messageType : {"", "clear-old"}) {
    ASSERT_TRUE(load({{"a", kConfInt, "1"}, {"b", kConfInt, "2"}}));
    ASSERT_TRUE(load({{"b", kConfInt, "3"}, {"c", kConfInt, "4"}}, messageType));
    const Names expected =
        std::string(messageType).empty() ? Names{"a", "b", "c"} : Names{"b", "c"};
    EXPECT_EQ(children(""), expected) << messageType;
    EXPECT_EQ(query<std::int64_t>("b", kConfInt).second, 3);
  }
  // A cache whose root has no name takes no merge: it is replaced.
  ASSERT_TRUE(load({{"old", kConfInt, "1"}}, "clear-old", ""));
  ASSERT_TRUE(load({{"new", kConfInt, "2"}}, ""));
  EXPECT_EQ(children(""), Names{"new"});
}

TEST_F(ConfBaseStore, RefusedDataLeavesCacheAndWarns) {
  test::TempDir folder("conf-base");
  FileLogger fileLogger;
  fileLogger.enable(folder.str(), "store");
  ASSERT_TRUE(load({{"keep", kConfString, "kept"}}));
  EXPECT_FALSE(load({{"keep", kConfString, "lost"}}, "", "other"));
  StringStream whole;
  makeTree({{"keep", kConfString, "lost"}, {"more", kConfInt, "1"}})->streamTo(whole);
  StringStream truncated(whole.getBytes().substr(0, whole.getBytes().size() - 8));
  EXPECT_FALSE(sendData(truncated, ""));
  StringStream garbage("not a stream at all");
  EXPECT_FALSE(sendData(garbage, "clear-old"));
  EXPECT_EQ(text("keep"), "kept");
  EXPECT_EQ(children(""), Names{"keep"});

  std::ifstream in(fileLogger.getFileName());
  std::stringstream log;
  log << in.rdbuf();
  for (const char* line :
       {"WARNING", "Failed to merge new configuration data with old}; (New data stream: ",
        "\\x09other\\x1E", "Failed to read new configuration data (StreamFrom_Malformed"}) {
    EXPECT_NE(log.str().find(line), std::string::npos) << line;
  }
}

TEST_F(ConfBaseStore, WritesThroughTypedSettersOnly) {
  ASSERT_TRUE(load({{"i", kConfInt, "0"},
                    {"d", kConfDir, ""},
                    {"l", kConfList, ""},
                    {"g.x", kConfInt, "2"},
                    {"when", kConfDateTime, "2016-06-02T03:46:28Z"},
                    {"tod", kConfTimeOfDay, "10:00:00"}}));
  EXPECT_EQ(query<std::int64_t>("i", kConfInt, -42, true).first, kConfStatusDone);
  EXPECT_EQ(query<std::int64_t>("i", kConfInt).second, -42);
  EXPECT_EQ(query<std::string>("d", kConfDir, "\\x\\y\\", true).first, kConfStatusDone);
  EXPECT_EQ(text("d"), "/x/y");
  EXPECT_EQ(query<std::string>("l", kConfList, "a,b,", true, 0, "str").first, kConfStatusDone);
  EXPECT_EQ(query<Names>("l", kConfList, {"", "c"}, true, 0, "list").first, kConfStatusDone);
  EXPECT_EQ(query<std::string>("l", kConfList, "q", true, 0, "text").first, kConfStatusBadListType);
  EXPECT_EQ(query<Names>("l", kConfList).second, (Names{"", "c"}));
  EXPECT_EQ(query<std::string>("x", kConfString, "v", true).first, kConfStatusNotFound);
  EXPECT_EQ(query<std::string>("i", kConfString, "5", true).first, kConfStatusWrongType);
  EXPECT_EQ(status("g", kConfNone, true), kConfStatusUnknownType);
  // No setter exists for these two types; this one fault leaves the store as an exception.
  EXPECT_THROW(query<DateTime>("when", kConfDateTime, DateTime(), true), ConfNode::Set_WrongType);
  EXPECT_THROW(query<DateTime>("tod", kConfTimeOfDay, DateTime(), true), ConfNode::Set_WrongType);
}

TEST_F(ConfBaseStore, CreatesAndRemovesEntries) {
  EXPECT_EQ(status("a.b", kConfCreateEntry, true, kConfInt), kConfStatusDone) << "makes the cache";
  EXPECT_EQ(status("a", kConfNone), kConfStatusUnknownType) << "a made as type none";
  EXPECT_EQ(status("a.b", kConfCreateEntry, true, kConfString), kConfStatusDone);
  EXPECT_EQ(query<std::string>("a.b", kConfString), std::make_pair(1, std::string()));
  keyword("k", "a");
  EXPECT_EQ(status("%k%.c", kConfCreateEntry, true, kConfDir), kConfStatusDone);
  struct Case {
    const char* path;
    int queryType;
    int entryType;
    int status;
  } refused[] = {
      {"", kConfCreateEntry, kConfInt, 7},   {"a..b", kConfCreateEntry, kConfInt, 7},
      {".a", kConfCreateEntry, kConfInt, 7}, {"a.q", kConfCreateEntry, kConfSubEntries, 5},
      {"a.q", kConfCreateEntry, -1, 5},      {"", kConfRemoveEntry, 0, 7},
      {"a.missing", kConfRemoveEntry, 0, 7},
  };
  for (const Case& c : refused)
    EXPECT_EQ(status(c.path, c.queryType, true, c.entryType), c.status) << c.path;
  EXPECT_EQ(children("a"), (Names{"b", "c"}));
  EXPECT_EQ(status("%k%.b", kConfRemoveEntry, true), kConfStatusDone);
  EXPECT_EQ(children("a"), Names{"c"});
  EXPECT_EQ(status("a", kConfRemoveEntry, true), kConfStatusDone);
  EXPECT_EQ(status("a.c", kConfDir), kConfStatusNotFound);
}

TEST(ConfBase, DestructionTakesItsHooksOffTheBus) {
  ImsAgent client("conf-base-test");  // first agent: makes the bus and its own logger's hook
  const std::size_t before = Ims::instance().getHookCount();
  ConfPathParam param("x");
  ImsMessage message("conf", "rawpath", "", &param);
  {
    ConfBase store;
    EXPECT_TRUE(client.sendMessage(message));
  }
  EXPECT_EQ(Ims::instance().getHookCount(), before);
  EXPECT_FALSE(client.sendMessage(message));
}

}  // namespace
}  // namespace ZelcorCorelib
