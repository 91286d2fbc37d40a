// Jobs' output with jobscheduler.job-output-dir: each job's standard output and error in a file
// of its own, named after its spec file and stamped into it, never through the scheduler; a
// spec's own "output" path; outputs that cannot be opened safely keep the job from running.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/SchedulerProcess.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kReady = "JobScheduler::startListener: Listening on port";
constexpr std::size_t kHalf = 5u << 20;

// The sandbox's configuration with the output folder set.
void configureOutput(Sandbox& sandbox, const fs::path& folder) {
  sandbox.writeConfiguration();
  std::string text = readText(sandbox.configurationFile());
  const std::string group = "jobscheduler (String) = \"\" {\n";
  ASSERT_NE(text.find(group), std::string::npos);
  text.insert(text.find(group) + group.size(),
              " job-output-dir (DirName) = \"" + folder.string() + "\" { }\n");
  writeText(sandbox.configurationFile(), text);
}

std::string specValue(const fs::path& spec, const std::string& key) {
  const auto keys = readSpec(spec);
  const auto found = keys.find(key);
  return found == keys.end() ? std::string() : found->second;
}

TEST(JobSchedulerOutput, TenMegabytesGoToTheJobsFileAndNoneThroughTheScheduler) {
  Sandbox sandbox("output");
  const fs::path outputs = sandbox.path("outputs");
  ASSERT_NO_FATAL_FAILURE(configureOutput(sandbox, outputs));
  const fs::path loud = sandbox.path("loud.sh");
  // 5 MiB of "o" to standard output and 5 MiB of "e" to standard error, in turns.
  writeText(loud,
            "#!/bin/sh\nfor i in 1 2 3 4 5; do\n"
            "  head -c 1048576 /dev/zero | tr '\\0' o\n"
            "  head -c 1048576 /dev/zero | tr '\\0' e >&2\ndone\n");
  fs::permissions(loud, fs::perms::owner_all);
  SchedulerProcess scheduler(sandbox, {});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline))
      << scheduler.standardOutput();
  EXPECT_TRUE(fs::is_directory(outputs));
  const long before = peakMemoryKb(scheduler.getPid());
  const fs::path pending = sandbox.jobFolder("pending");
  sandbox.dropJob(pending, "loud", {{"executable", loud.string()}});
  const fs::path finished = sandbox.jobFolder("finished/loud.spec");
  ASSERT_TRUE(waitForFileText(finished, "ended=")) << readText(sandbox.logFile());
  EXPECT_EQ(specValue(finished, "exit-status"), "0");
  EXPECT_EQ(specValue(finished, "output"), (outputs / "loud.out").string());
  const std::string text = readText(outputs / "loud.out");
  EXPECT_EQ(text.size(), 2 * kHalf);
  EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), 'o')), kHalf);
  EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), 'e')), kHalf);
  const std::string own = scheduler.standardOutput() + scheduler.standardError();
  EXPECT_EQ(own.find("oooo"), std::string::npos);
  EXPECT_EQ(own.find("eeee"), std::string::npos);
  // The scheduler never held the output: its peak memory did not grow by anything like it.
  const long after = peakMemoryKb(scheduler.getPid());
  ASSERT_GT(before, 0);
  EXPECT_LT(after - before, 2048) << before << " kB before, " << after << " kB after";
  struct stat status {};
  ASSERT_EQ(::stat((outputs / "loud.out").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  // A second job of the same name gets a file of its own, a spec's own absolute "output" is
  // used as given, and one that is no absolute path refuses the file.
  const fs::path echo = sandbox.path("echo.sh");
  writeText(echo, "#!/bin/sh\necho \"said $1\"\necho \"complained $1\" >&2\n");
  fs::permissions(echo, fs::perms::owner_all);
  sandbox.dropJob(pending, "loud", {{"executable", echo.string()}, {"arguments", "again"}});
  const fs::path chosen = sandbox.path("chosen.log");
  sandbox.dropJob(pending, "chosen",
                  {{"executable", echo.string()}, {"arguments", "here"}, {"output", chosen}});
  sandbox.dropJob(pending, "relative",
                  {{"executable", echo.string()}, {"arguments", "x"}, {"output", "rel.log"}});
  const fs::path again = sandbox.jobFolder("finished/loud.1.spec");
  ASSERT_TRUE(waitForFileText(again, "ended=")) << readText(sandbox.logFile());
  EXPECT_EQ(specValue(again, "output"), (outputs / "loud.1.out").string());
  EXPECT_EQ(readText(outputs / "loud.1.out"), "said again\ncomplained again\n");
  ASSERT_TRUE(waitForFileText(sandbox.jobFolder("finished/chosen.spec"), "ended="));
  EXPECT_EQ(specValue(sandbox.jobFolder("finished/chosen.spec"), "output"), chosen.string());
  EXPECT_EQ(readText(chosen), "said here\ncomplained here\n");
  EXPECT_FALSE(fs::exists(outputs / "chosen.out"));
  EXPECT_TRUE(waitForFileText(sandbox.logFile(), "its output \"rel.log\" is no absolute path"));
  EXPECT_TRUE(fs::exists(pending / "relative.spec"));
  ASSERT_TRUE(scheduler.signal("TERM"));
  EXPECT_EQ(scheduler.waitForExit(), 0);
}

// What a job may not write into: a FIFO (it would hold the job), a symbolic link (it could
// lead anywhere). Each job ends as not started, with the reason in the log, and runs nothing.
TEST(JobSchedulerOutput, AnOutputThatCannotBeOpenedSafelyRunsNothing) {
  Sandbox sandbox("output-unsafe");
  ASSERT_NO_FATAL_FAILURE(configureOutput(sandbox, sandbox.path("outputs")));
  const fs::path fifo = sandbox.path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path link = sandbox.path("link.log");
  fs::create_symlink(sandbox.path("elsewhere.log"), link);
  const fs::path touch = sandbox.path("touch.sh");
  writeText(touch, "#!/bin/sh\n: > \"$1\"\n");
  fs::permissions(touch, fs::perms::owner_all);
  SchedulerProcess scheduler(sandbox, {});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline));
  const fs::path pending = sandbox.jobFolder("pending");
  for (const auto& [name, output] : {std::pair{"fifo", fifo}, std::pair{"link", link}}) {
    sandbox.dropJob(pending, name,
                    {{"executable", touch.string()},
                     {"arguments", sandbox.path(std::string(name) + ".ran").string()},
                     {"output", output.string()}});
  }
  for (const char* name : {"fifo", "link"}) {
    const fs::path spec = sandbox.jobFolder(std::string("finished/") + name + ".spec");
    ASSERT_TRUE(waitForFileText(spec, "ended=")) << name << "\n" << readText(sandbox.logFile());
    EXPECT_EQ(specValue(spec, "end-reason"), "not-started") << name;
    EXPECT_EQ(specValue(spec, "exit-status"), "126") << name;
    EXPECT_FALSE(fs::exists(sandbox.path(std::string(name) + ".ran"))) << name;
  }
  EXPECT_FALSE(fs::exists(sandbox.path("elsewhere.log")));
  const std::string log = readText(sandbox.logFile());
  EXPECT_NE(log.find("its output \"" + link.string() + "\" cannot be opened"), std::string::npos)
      << log;
  ASSERT_TRUE(scheduler.signal("TERM"));
  EXPECT_EQ(scheduler.waitForExit(), 0);
}

// jsctl log -f follows a running job's output through its end, show says where the job is,
// and a plain log afterwards prints the same text.
TEST(JobSchedulerOutput, JsctlLogFollowsARunningJobToItsEnd) {
  Sandbox sandbox("output-follow");
  ASSERT_NO_FATAL_FAILURE(configureOutput(sandbox, sandbox.path("outputs")));
  const fs::path counter = sandbox.path("counter.sh");
  // The first line, then a wait for the test, then the rest while -f follows.
  const std::string begun = sandbox.path("begun").string();
  const std::string release = sandbox.path("release").string();
  writeText(counter,
            "#!/bin/sh\nfor i in 1 2 3 4 5; do echo \"line $i\"; echo \"warning $i\" >&2\n"
            "  if [ $i = 1 ]; then : > '" +
                begun +
                "'; n=0\n"
                "    while [ ! -e '" +
                release +
                "' ] && [ $n -lt 400 ]; do sleep 0.05; "
                "n=$((n + 1)); done; fi\n  sleep 0.2\ndone\n");
  fs::permissions(counter, fs::perms::owner_all);
  SchedulerProcess scheduler(sandbox, {});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline));
  const std::string config = sandbox.configurationFile().string();
  sandbox.dropJob(sandbox.jobFolder("pending"), "counter", {{"executable", counter.string()}});
  ASSERT_TRUE(waitForFileText(begun, ""));
  const Outcome shown = runJsctl(sandbox, {"show", "-c", config, "counter"});
  EXPECT_EQ(shown.exitCode, 0) << shown.error;
  EXPECT_NE(shown.output.find("state: running\n"), std::string::npos) << shown.output;
  writeText(release, "");
  const Outcome followed = runJsctl(sandbox, {"log", "-c", config, "-f", "counter"});
  EXPECT_EQ(followed.exitCode, 0) << followed.error;
  std::string expected;
  for (int i = 1; i <= 5; ++i) {
    expected += "line " + std::to_string(i) + "\nwarning " + std::to_string(i) + "\n";
  }
  EXPECT_EQ(followed.output, expected);
  // By the time -f returns, the job is finished.
  EXPECT_TRUE(fs::exists(sandbox.jobFolder("finished/counter.spec")));
  const Outcome again = runJsctl(sandbox, {"log", "-c", config, "counter.spec"});
  EXPECT_EQ(again.output, expected);
  const Outcome missing = runJsctl(sandbox, {"log", "-c", config, "nobody"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.error.find("no job \"nobody\""), std::string::npos) << missing.error;
  ASSERT_TRUE(scheduler.signal("TERM"));
  EXPECT_EQ(scheduler.waitForExit(), 0);
}

}  // namespace
}  // namespace Zelcor::e2e
