// The scheduler binary with its own command-line options: folders given on the command line
// win over the configured ones (and are made when missing), a shortcut folder is followed,
// the core limit applies on top of the configured one, and SIGINT ends the program cleanly.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/SchedulerProcess.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;

TEST(JobSchedulerOptions, CommandLineFoldersAndCoreLimitWinAndSigintEndsCleanly) {
  Sandbox sandbox("options");
  ConfigSettings settings;
  settings.maxCores = 0;  // all but one of the sysinfo file's 8
  sandbox.writeConfiguration(settings);
  writeText(sandbox.path("tmp/sysinfo"), "os=linux\ncores=8\n");
  fs::create_directories(sandbox.path("real-running"));
  fs::create_directory_symlink(sandbox.path("real-running"), sandbox.path("running.lnk"));
  const fs::path pending = sandbox.path("cli/new/pending");
  const fs::path finished = sandbox.path("cli/new/finished");

  SchedulerProcess scheduler(
      sandbox, {"--nodetach", "--pend", pending.string(), "--fin", finished.string(), "--run",
                sandbox.path("running.lnk").string(), "--maxcores", "-1", "-c",
                sandbox.configurationFile().string()});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), "Listening on port", kStartDeadline))
      << scheduler.standardOutput();
  // The first command-line pass already knows the scheduler's options.
  EXPECT_EQ(scheduler.standardOutput(), "");
  const std::string log = readText(sandbox.logFile());
  EXPECT_NE(log.find("Max CPU: \"6\""), std::string::npos) << log;
  EXPECT_NE(log.find("Running jobs directory = \"" + sandbox.path("real-running").string() + "\""),
            std::string::npos)
      << log;
  // Missing command-line folders are made, with the warning every made job folder gets.
  EXPECT_TRUE(fs::is_directory(pending));
  EXPECT_TRUE(fs::is_directory(finished));
  EXPECT_NE(log.find("Unable to find directory " + pending.string()), std::string::npos) << log;

  const fs::path script = sandbox.writeJobScript("job", 0);
  sandbox.dropJob(pending, "given", {{"executable", script.string()}, {"queue", "queue_fast"}});
  sandbox.dropJob(sandbox.jobFolder("pending"), "ignored",
                  {{"executable", script.string()}, {"queue", "queue_fast"}});
  ASSERT_TRUE(waitForFileText(finished / "given.spec", "exit-status=0"))
      << readText(sandbox.logFile());
  // The configured pending folder is not the one in use.
  EXPECT_TRUE(fs::exists(sandbox.jobFolder("pending/ignored.spec")));
  EXPECT_TRUE(fs::is_empty(sandbox.jobFolder("finished")));

  ASSERT_TRUE(scheduler.signal("INT"));
  EXPECT_EQ(scheduler.waitForExit(), 0);
  EXPECT_NE(readText(sandbox.logFile()).rfind("Closing log file at "), std::string::npos);
}

}  // namespace
}  // namespace Zelcor::e2e
