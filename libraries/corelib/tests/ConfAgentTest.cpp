#include "config/ConfAgent.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfBase.h"
#include "testsupport/TempDir.h"
#include "values/StringStream.h"

namespace ZelcorCorelib {
namespace {

namespace fs = std::filesystem;

struct Entry {
  std::string path;
  int type;
  std::string value;
};

bool load(ImsAgent& sender, const std::vector<Entry>& entries) {
  ConfNode::Handle root = ConfNode::root();
  for (const Entry& e : entries) root->createByPath(e.path, e.type)->setValue(e.value);
  StringStream stream;
  root->streamTo(stream);
  ConfDataParam param(&stream);
  ImsMessage message("conf", "data", "clear-old", &param);
  return sender.sendMessage(message);
}

std::unique_ptr<ConfQueryParam> request(const std::string& path, int type, void* value,
                                        bool isSet) {
  auto param = std::make_unique<ConfQueryParam>();
  param->path = path;
  param->queryType = type;
  param->value = value;
  param->isSet = isSet;
  return param;
}

// The full text of whatever framework exception the operation raises, causes included.
std::string thrown(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const Exception& failure) {
    return failure.toString();
  }
  return "nothing thrown";
}

class ConfAgentClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(load(agent, {{"Zelcor.dirs.temp", kConfString, "/tmp/js"},
                             {"Zelcor.dirs.spool", kConfDir, "${%tempdir%}\\spool\\"},
                             {"Zelcor.port", kConfInt, "4711"},
                             {"Zelcor.big", kConfInt, "70000"},
                             {"Zelcor.negative", kConfInt, "-70000"},
                             {"Zelcor.huge", kConfInt, "4294967301"},
                             {"Zelcor.when", kConfDateTime, "2016-06-02T03:46:28Z"}}));
    agent.keyword("tempdir", "Zelcor.dirs.temp");
  }
  ConfBase store;
  ConfAgent agent;
};

TEST_F(ConfAgentClient, TypedReadsFollowKeywordsReferencesAndWidths) {
  EXPECT_EQ(agent.getString("%tempdir%"), "/tmp/js");
  EXPECT_EQ(agent.getDir("Zelcor.dirs.spool"), "/tmp/js/spool");
  EXPECT_EQ(agent.getString("Zelcor.dirs.spool"), "/tmp/js/spool");
  EXPECT_EQ(agent.getSubEntries("Zelcor.dirs"), (std::vector<std::string>{"temp", "spool"}));
  EXPECT_EQ(agent.getInt16("Zelcor.big"), 4464);
  EXPECT_EQ(agent.getInt("Zelcor.big"), 70000);
  EXPECT_EQ(agent.getInt16("Zelcor.negative"), -4464);
  EXPECT_EQ(agent.getInt("Zelcor.huge"), 5);
}

TEST_F(ConfAgentClient, StatusesBecomeExceptionsWithTheirTexts) {
  std::string text;
  std::int64_t number = 0;
  const std::string wrongType = "Query_WrongType: Configuration entry ";
  std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { agent.getString("Zelcor.port"); },
       wrongType + "\"Zelcor.port\" is not of requested type (string)"},
      {[&] { agent.getDir("%tempdir%"); },
       wrongType + "\"%tempdir%\" is not of requested type (dir)"},
      {[&] { agent.getInt("nope"); }, "Query_NotFound: Configuration entry \"nope\" was not found"},
      {[&] { agent.query(request("Zelcor.port", kConfCreateEntry, &number, false)); },
       wrongType + "\"Zelcor.port\" is not of requested type (undefined)"},
      {[&] { agent.query(request("Zelcor", kConfNone, &text, false)); },
       "Query_WrongType: Got request for configuration entry \"Zelcor\" of type none, but no such "
       "type is "
       "defined"},
      {[&] { agent.query(request("", kConfRemoveEntry, nullptr, true)); },
       "Query_InvalidPath: Invalid configuration node path \"\""},
      {[&] { agent.query(nullptr); }, "Query_OutOfMemory: Out of memory"},
      {[&] { agent.getLocal(nullptr); }, "GetLocal_OutOfMemory: Out of memory"},
      {[&] { agent.test("nope", 0, 1); },
       "Test_NotFound:\nQuery_NotFound: Configuration entry \"nope\" was not found"},
      {[&] { agent.test("Zelcor.port", 0); },
       "Test_WrongType:\n" + wrongType + "\"Zelcor.port\" is not of requested type (dir)"},
  };
  for (const auto& [operation, expected] : cases) EXPECT_EQ(thrown(operation), expected);
}

TEST_F(ConfAgentClient, WritesThroughQueryAndLetsTheSetterExceptionPass) {
  std::int64_t port = 8080;
  agent.query(request("Zelcor.port", kConfInt, &port, true));
  EXPECT_EQ(agent.getInt("Zelcor.port"), 8080);
  auto create = request("%tempdir%.sub", kConfCreateEntry, nullptr, true);
  create->entryType = kConfString;
  agent.query(std::move(create));
  EXPECT_EQ(agent.getString("Zelcor.dirs.temp.sub"), "");
  DateTime moment;
  try {
    agent.query(request("Zelcor.when", kConfDateTime, &moment, true));
    ADD_FAILURE() << "a datetime write went through";
  } catch (const ConfNode::Set_WrongType& failure) {
    EXPECT_NE(failure.getLocations().back().find("file=\"ConfAgent\""), std::string::npos);
  }
}

TEST_F(ConfAgentClient, RangeTestIsInclusiveAndSigned) {
  struct Case {
    const char* value;
    std::int64_t minimum, maximum;
    bool passes;
  } cases[] = {{"1", 1, 1, true},
               {"0", 1, 1, false},
               {"2", 1, 1, false},
               {"-5", -10, -1, true},
               {"5000000000", 0, 4999999999, false}};
  for (const Case& c : cases) {
    ASSERT_TRUE(load(agent, {{"n", kConfInt, c.value}}));
    EXPECT_EQ(thrown([&] { agent.test("n", c.minimum, c.maximum); }),
              c.passes ? "nothing thrown"
                       : "Test_ValueOutOfRange: Configuration entry \"n\" (value=" +
                             std::string(c.value) + ") is not within the required range of " +
                             std::to_string(c.minimum) + " through " + std::to_string(c.maximum));
  }
}

TEST_F(ConfAgentClient, DirectoryTestChecksOrCreates) {
  test::TempDir folder("conf-agent");
  const std::string base = folder.str();
  fs::create_directory(base + "/there");
  std::ofstream(base + "/plain") << "x";
  fs::create_symlink("made", base + "/made.lnk");
  fs::create_symlink("gone", base + "/gone.lnk");
  const std::string mustExist = "Test_DirMustExist: Directory \"";
  const std::string notCreated = "Test_DirCouldNotBeCreated: Directory \"";
  const std::string atEntry = "\" specified at configuration entry \"d\" does not exist";
  struct Case {
    std::string value;
    int mode;
    std::string expected;
  } cases[] = {
      {base + "/there/", 0, ""},
      {base + "/missing", 0, mustExist + base + "/missing" + atEntry},
      {base + "/plain", 0, mustExist + base + "/plain" + atEntry},
      {base + "/gone.lnk", 0, mustExist + base + "/gone" + atEntry},
      {base + "\\new\\deeper\\", 1, ""},
      {base + "/made.lnk", 1, ""},
      {base + "/plain/sub", 1,
       notCreated + base + "/plain/sub" + atEntry + " and could not be created;"},
      {"", 1, notCreated + atEntry + " and could not be created;"},
      {base + "/untouched", 2, ""},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(load(agent, {{"d", kConfDir, c.value}}));
    EXPECT_EQ(thrown([&] { agent.test("d", c.mode); }),
              c.expected.empty() ? "nothing thrown" : c.expected);
  }
  EXPECT_TRUE(fs::is_directory(base + "/new/deeper"));
  EXPECT_TRUE(fs::is_directory(base + "/made")) << "the link's target is made";
  EXPECT_FALSE(fs::exists(base + "/untouched"));
}

TEST(ConfAgent, WithoutServicesEveryOperationReportsImsNotWorking) {
  ConfAgent agent;
  const std::string query =
      "Query_ImsNotWorking: Failed to query configuration entry \"a.b\" because IMS isn't working";
  std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { agent.keyword("k", "a.b"); },
       "Keyword_ImsNotWorking: Failed to register keyword \"k\" = \"a.b\" because IMS isn't "
       "working"},
      {[&] { agent.getString("a.b"); }, query},
      {[&] { agent.getLocalString("Resources\\StartupLogDir", false); },
       "GetLocal_ImsNotWorking: Failed to query local configuration key "
       "\"Resources\\StartupLogDir\" because "
       "IMS isn't working"},
      {[&] { agent.test("a.b", 0, 1); }, "Test_ImsNotWorking:\n" + query},
  };
  for (const auto& [operation, expected] : cases) EXPECT_EQ(thrown(operation), expected);
}

}  // namespace
}  // namespace ZelcorCorelib
