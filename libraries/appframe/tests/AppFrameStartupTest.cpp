// The frame's first command-line pass and its last-resort guard around the application's run.
#include "AppFrame.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "testsupport/TempDir.h"

namespace ZelcorCorelib {
namespace {

namespace fs = std::filesystem;

class TestFrame : public AppFrame {
 public:
  explicit TestFrame(const std::string& version = "1.2.3", const std::string& revision = "abc123")
      : AppFrame("Job Scheduler", "JobScheduler", "1", true, "Zelcor, Inc.", version, revision) {}
  ~TestFrame() override { end(); }

  std::function<int()> work;

 protected:
  void addCommandLineOptions(CmdParser& parser) override {
    parser.addOption("Specifies the base directory name of pending jobs. ", CmdParser::kValue, 0,
                     "pend");
    parser.addOption("Skip detach of process ", CmdParser::kFlag, 0, "nodetach");
  }
  bool init() override { return true; }
  bool end() override { return true; }
  int run() override { return work ? work() : 0; }
};

struct Pass {
  bool result;
  std::string output;
};

Pass firstPass(TestFrame& frame, const std::vector<std::string>& arguments) {
  frame.setArguments(arguments);
  ::testing::internal::CaptureStdout();
  bool result = frame.processCommandLine();
  return {result, ::testing::internal::GetCapturedStdout()};
}

class LevelCeilingGuard : public ::testing::Test {
 protected:
  // --debug sets the process-wide ceiling during the parse.
  void TearDown() override { setLevelCeiling(ceiling); }
  int ceiling = getLevelCeiling();
};

using AppFrameCommandLine = LevelCeilingGuard;

TEST_F(AppFrameCommandLine, HelpVersionAndRevisionPrintInFixedOrderAndStop) {
  struct Case {
    std::vector<std::string> options;
    std::vector<std::string> lines;  // "usage" stands for the usage text
  };
  const std::vector<Case> cases = {
      {{"-?", "--version"}, {"usage", "Version=1.2.3"}},
      {{"--revision"}, {"Revision=abc123"}},
      {{"--revision", "--version", "--help"}, {"usage", "Version=1.2.3", "Revision=abc123"}},
      {{"--version", "--nodetach"}, {"Version=1.2.3"}},
  };
  for (const Case& c : cases) {
    TestFrame frame;
    std::vector<std::string> arguments = {"jobscheduler"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    Pass pass = firstPass(frame, arguments);
    std::string expected;
    for (const std::string& line : c.lines) {
      if (!expected.empty()) expected += "\n";
      expected += line == "usage" ? frame.getCmdParser().usage() : line;
    }
    EXPECT_TRUE(pass.result) << c.options.front();
    EXPECT_EQ(pass.output, expected) << c.options.front();
    EXPECT_EQ(frame.getExitState(), AppFrame::kExitStateDone) << c.options.front();
  }

  // The usage text ends in a newline, so help and version are a blank line apart.
  TestFrame frame;
  Pass pass = firstPass(frame, {"jobscheduler", "--help", "--version"});
  ASSERT_GT(pass.output.size(), 15u);
  EXPECT_EQ(pass.output.substr(pass.output.size() - 15), "\n\nVersion=1.2.3");
}

TEST_F(AppFrameCommandLine, VersionAndRevisionOptionsExistOnlyWithTheirTexts) {
  TestFrame frame("", "");
  Pass pass = firstPass(frame, {"jobscheduler", "--version"});
  EXPECT_FALSE(pass.result);
  EXPECT_EQ(pass.output, "ERROR: Unknown option 'version'\n");
  EXPECT_EQ(frame.getExitState(), AppFrame::kExitStateContinue);
  EXPECT_EQ(frame.getCmdParser().usage().find("--version"), std::string::npos);
  EXPECT_EQ(frame.getCmdParser().usage().find("--revision"), std::string::npos);

  TestFrame versioned;
  EXPECT_NE(versioned.getCmdParser().usage().find("--version"), std::string::npos);
  EXPECT_NE(versioned.getCmdParser().usage().find("--revision"), std::string::npos);
}

TEST_F(AppFrameCommandLine, ApplicationOptionsAreKnownInTheFirstPass) {
  {
    TestFrame frame;
    Pass pass = firstPass(frame, {"jobscheduler", "--pend", "/srv/pending", "--nodetach", "-c",
                                  "/etc/js.conf", "--debug", "info"});
    EXPECT_TRUE(pass.result);
    EXPECT_EQ(pass.output, "");
    EXPECT_EQ(frame.getExitState(), AppFrame::kExitStateContinue);
    std::string value;
    EXPECT_TRUE(frame.getCmdParser().getValue("pend", value));
    EXPECT_EQ(value, "/srv/pending");
    // A later pass (the application's own) sees the same definitions, added only once.
    Pass again = firstPass(frame, {"jobscheduler", "--nodetach"});
    EXPECT_TRUE(again.result);
    EXPECT_EQ(frame.getCmdParser().usage().find("--pend"),
              frame.getCmdParser().usage().rfind("--pend"));
  }
  const std::vector<std::pair<std::vector<std::string>, std::string>> invalid = {
      {{"jobscheduler", "--bogus"}, "ERROR: Unknown option 'bogus'\n"},
      {{"jobscheduler", "--pend"}, "ERROR: Missing argument to 'pend' option\n"},
      {{"jobscheduler", "stray"}, "ERROR: Too many arguments\n"},
      {{}, "ERROR: Missing executable argument\n"},
  };
  for (const auto& [arguments, line] : invalid) {
    TestFrame frame;
    Pass pass = firstPass(frame, arguments);
    EXPECT_FALSE(pass.result) << line;
    EXPECT_EQ(pass.output, line);
    EXPECT_EQ(frame.getExitState(), AppFrame::kExitStateContinue);
  }
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(AppFrameRun, EveryEscapeBecomesAConsoleTextAFatalRecordAndExitCodeTwo) {
  struct Case {
    std::function<int()> work;
    int exitCode;
    std::string console;
    std::string logged;  // empty: nothing logged
  };
  const std::vector<Case> cases = {
      {[] { return 0; }, 0, "", ""},
      {[] { return 5; }, 5, "", ""},
      {[]() -> int {
         AppFrame::AlreadyRunning failure("@test.went-wrong{Went % wrong};", makeParams(3));
         failure.addNested(AppFrame::Configuration_NoConfigurationDir("@test.cause{The cause};"));
         throw failure;
       },
       2, "Went 3 wrong\nConfiguration_NoConfigurationDir: The cause",
       "AlreadyRunning: @test.went-wrong{Went 3 wrong};"},
      {[]() -> int { return std::vector<int>().at(1); }, 2, "ERROR: STD range error",
       "@std-range-error{STD range error};"},
      {[]() -> int { throw std::range_error("r"); }, 2, "ERROR: STD range error",
       "@std-range-error{STD range error};"},
      {[]() -> int { throw std::bad_alloc(); }, 2, "ERROR: STD out of memory",
       "@std-out-of-memory{STD out of memory};"},
      {[]() -> int { throw 42; }, 2, "ERROR: Unknown exception",
       "@unknown-exception{Unknown exception};"},
  };
  for (const Case& c : cases) {
    test::TempDir folder("appframe-run");
    TestFrame frame;
    frame.getFileLogger().enable(folder.str(), "guard");
    frame.work = c.work;
    ::testing::internal::CaptureStdout();
    const int exitCode = frame.runGuarded();
    const std::string console = ::testing::internal::GetCapturedStdout();
    frame.getFileLogger().disable();
    EXPECT_EQ(exitCode, c.exitCode) << c.console;
    EXPECT_EQ(console, c.console);
    const std::string log = readAll(folder.file("guard.log"));
    if (c.logged.empty()) {
      EXPECT_EQ(log, "");
    } else {
      EXPECT_NE(log.find("FATAL   "), std::string::npos) << log;
      EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
  }
}

TEST(AppFrameRun, ALogThatCannotBeWrittenDoesNotEscapeTheGuard) {
  test::TempDir folder("appframe-run");
  // The log file's name is taken by a folder, so every record fails to open it.
  fs::create_directory(folder.file("broken.log"));
  for (const std::function<int()>& work : std::vector<std::function<int()>>{
           []() -> int { throw AppFrame::AlreadyRunning("@a.b{c};"); }, []() -> int { throw 1; }}) {
    TestFrame frame;
    frame.getFileLogger().enable(folder.str(), "broken");
    frame.work = work;
    ::testing::internal::CaptureStdout();
    int exitCode = -1;
    EXPECT_NO_THROW(exitCode = frame.runGuarded());
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(exitCode, 2);
  }
}

}  // namespace
}  // namespace ZelcorCorelib
