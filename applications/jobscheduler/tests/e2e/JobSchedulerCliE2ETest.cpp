// The scheduler binary's answers that end the program at once: help, version and revision,
// and the start-up failures, each with its exit code and the line that tells the operator why.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/SchedulerProcess.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;

TEST(JobSchedulerCli, HelpVersionAndRevisionAnswerWithoutReadingAnyConfiguration) {
  Sandbox sandbox("cli-help");
  // Any attempt to configure would fail: no registry values, no configuration file.
  sandbox.writeRegistry("");
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {{"--help"}, {"Usage: JobScheduler [options]", "--pend <arg>", "--nodetach"}},
      {{"-?", "--version"}, {"Usage: JobScheduler", "\nVersion=" JOBSCHEDULER_VERSION}},
      {{"--revision"}, {"Revision="}},
      {{"--version", "--pend", "/nowhere", "--nodetach"}, {"Version=" JOBSCHEDULER_VERSION}},
  };
  for (const Case& c : cases) {
    const Outcome outcome = runToEnd(sandbox, c.arguments);
    SCOPED_TRACE(c.arguments.front());
    EXPECT_EQ(outcome.exitCode, 0);
    for (const std::string& text : c.expected) {
      EXPECT_NE(outcome.output.find(text), std::string::npos) << outcome.output;
    }
    EXPECT_EQ(outcome.output.find("ERROR"), std::string::npos) << outcome.output;
  }
  const Outcome revision = runToEnd(sandbox, {"--revision"});
  // A commit hash from a checkout, "unknown" from an unpacked source archive; never empty.
  const std::string value = revision.output.substr(revision.output.find('=') + 1);
  EXPECT_TRUE(
      value == "unknown" ||
      (value.size() == 40 && value.find_first_not_of("0123456789abcdef") == std::string::npos))
      << value;
  EXPECT_FALSE(fs::exists(sandbox.path("startup-log")));
  EXPECT_FALSE(fs::exists(sandbox.path("log")));
  EXPECT_FALSE(fs::exists(sandbox.path("jobs")));
}

TEST(JobSchedulerCli, StartupFailuresExitWithTwoAndNameWhatIsWrong) {
  Sandbox sandbox("cli-fail");
  ConfigSettings noPort;
  noPort.withPort = false;
  sandbox.writeConfiguration(noPort);
  fs::create_directories(sandbox.path("other"));
  writeText(sandbox.path("other/broken.conf"), "jobscheduler (String) = \"\" {\n");
  writeText(sandbox.path("a-file"), "x");
  struct Case {
    const char* what;
    std::vector<std::string> arguments;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"missing file",
       {"-c", sandbox.path("missing.conf").string()},
       "ERROR: Configuration file \"" + sandbox.path("missing.conf").string() +
           "\" was not found\n"},
      {"no port", {}, "ERROR: Configuration entry \"jobscheduler.port\" was not found\n"},
      {"broken file",
       {"-c", sandbox.path("other/broken.conf").string()},
       sandbox.path("other/broken.conf").string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome outcome = runToEnd(sandbox, c.arguments);
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_NE(outcome.output.find(c.expected), std::string::npos) << outcome.output;
  }
  // The registry file without the start-up log folder: the key it lacks is named.
  sandbox.writeRegistry("Windows Registry Editor Version 5.00\n");
  const Outcome noRegistry = runToEnd(sandbox, {});
  EXPECT_EQ(noRegistry.exitCode, 2);
  EXPECT_NE(noRegistry.output.find("ERROR: "), std::string::npos);
  EXPECT_NE(noRegistry.output.find("StartupLogDir"), std::string::npos) << noRegistry.output;
}

TEST(JobSchedulerCli, BadCommandLinesAndUnusableFoldersEndStartupWithALine) {
  Sandbox sandbox("cli-args");
  sandbox.writeConfiguration();
  writeText(sandbox.path("a-file"), "x");
  struct Case {
    const char* what;
    std::vector<std::string> arguments;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      // The first pass reports the fault; the scheduler's own pass then shows the usage.
      {"unknown option", {"--bogus"}, {"ERROR: Unknown option 'bogus'\n", "Usage: JobScheduler"}},
      {"option without value",
       {"--pend"},
       {"ERROR: Missing argument to 'pend' option\n", "--fin <arg>"}},
      {"folder under a file",
       {"--fin", sandbox.path("a-file/finished").string()},
       {"ERROR: Directory \"" + sandbox.path("a-file/finished").string() +
        "\" given with option --fin does not exist and could not be created\n"}},
      {"core limit no number",
       {"--maxcores", "all"},
       {"ERROR: Option --maxcores needs an integer"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome outcome = runToEnd(sandbox, c.arguments);
    EXPECT_EQ(outcome.exitCode, 2);
    for (const std::string& text : c.expected) {
      EXPECT_NE(outcome.output.find(text), std::string::npos) << outcome.output;
    }
  }
  // Nothing was started that a later run would have to recover.
  EXPECT_TRUE(fs::is_empty(sandbox.jobFolder("running")));
}

}  // namespace
}  // namespace Zelcor::e2e
