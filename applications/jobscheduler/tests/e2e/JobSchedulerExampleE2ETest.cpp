// The example setup of the README: examples/registry.reg and examples/demo.conf with the
// folder variable, run as an operator would, with only the fixed demo folder and the port
// moved into this test's own sandbox.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/SchedulerProcess.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

TEST(JobSchedulerExample, ExampleSetupRunsAJobAndStopsOnSigterm) {
  Sandbox sandbox("example");
  const fs::path examples = JOBSCHEDULER_EXAMPLES_DIR;
  const std::string registry = readText(examples / "registry.reg");
  const std::string configuration = readText(examples / "demo.conf");
  ASSERT_NE(registry.find("/tmp/zelcor-demo"), std::string::npos);
  ASSERT_NE(configuration.find("\"18700\""), std::string::npos);
  ASSERT_NE(configuration.find("$ZELCOR_DEMO"), std::string::npos);
  sandbox.writeRegistry(replaced(registry, "/tmp/zelcor-demo", sandbox.root().string()));
  writeText(sandbox.path("demo.conf"),
            replaced(configuration, "\"18700\"", "\"" + std::to_string(sandbox.getPort()) + "\""));
  sandbox.environment["ZELCOR_DEMO"] = sandbox.root().string();

  SchedulerProcess scheduler(sandbox, {"-c", sandbox.path("demo.conf").string()});
  const fs::path pending = sandbox.path("jobs/pending");
  ASSERT_TRUE(
      waitForFileText(sandbox.path("log/JobScheduler.log"), "Running application", kStartDeadline))
      << scheduler.standardOutput();
  ASSERT_TRUE(fs::is_directory(pending)) << scheduler.standardOutput();
  const fs::path script = sandbox.writeJobScript("hello", 0);
  sandbox.dropJob(
      pending, "hello",
      {{"executable", script.string()}, {"arguments", "world"}, {"queue", "queue_urgent"}});
  EXPECT_TRUE(waitForFileText(sandbox.path("jobs/finished/hello.spec"), "exit-status=0"))
      << readText(sandbox.path("log/JobScheduler.log"));
  EXPECT_EQ(readText(sandbox.path("hello.out")), "world\n");

  ASSERT_TRUE(scheduler.signal("TERM"));
  EXPECT_EQ(scheduler.waitForExit(), 0);
  EXPECT_NE(readText(sandbox.path("log/JobScheduler.log")).rfind("Closing log file at "),
            std::string::npos);
}

}  // namespace
}  // namespace Zelcor::e2e
