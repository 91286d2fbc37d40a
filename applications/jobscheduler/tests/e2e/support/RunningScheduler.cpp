#include "support/RunningScheduler.h"

#include <vector>

namespace Zelcor::e2e {

namespace {
constexpr const char* kReady = "JobScheduler::startListener: Listening on port";
}  // namespace

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

void RunningSchedulerTest::SetUp() {
  sandbox = std::make_unique<Sandbox>(sandboxName);
  sandbox->writeConfiguration();
  scheduler =
      std::make_unique<SchedulerProcess>(*sandbox, std::vector<std::string>{"--debug", "debug"});
  ASSERT_TRUE(scheduler->started());
  ASSERT_TRUE(waitForFileText(sandbox->logFile(), kReady, kStartDeadline))
      << scheduler->standardOutput() << readText(sandbox->logFile());
}

void RunningSchedulerTest::expectGoodJobRuns(const std::string& name) {
  const std::filesystem::path script = sandbox->writeJobScript(name, 0);
  sandbox->dropJob(pending(), name, {{"executable", script.string()}, {"queue", "queue_fast"}});
  EXPECT_TRUE(waitForFileText(sandbox->jobFolder("finished/" + name + ".spec"), "exit-status=0"))
      << name << "\n"
      << log().substr(0, 20'000);
}

}  // namespace Zelcor::e2e
