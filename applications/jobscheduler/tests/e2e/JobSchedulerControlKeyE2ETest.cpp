// The command port with a control key: jsctl with the key (named on its command line or in the
// configuration it is given) controls the scheduler; a client without it changes nothing and
// sees nothing, and the log names its address; a key file others can read stops the start.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/SchedulerProcess.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kReady = "JobScheduler::startListener: Listening on port";

void setKeyFile(Sandbox& sandbox, const fs::path& keyFile) {
  std::string config = readText(sandbox.configurationFile());
  const std::string group = "jobscheduler (String) = \"\" {\n";
  config.insert(config.find(group) + group.size(),
                " control-key-file (FileName) = \"" + keyFile.string() + "\" { }\n");
  writeText(sandbox.configurationFile(), config);
}

fs::path writeKey(const Sandbox& sandbox, const std::string& name, const std::string& secret,
                  fs::perms perms) {
  const fs::path file = sandbox.path(name);
  writeText(file, secret + "\n");
  fs::permissions(file, perms);
  return file;
}

TEST(JobSchedulerControlKey, OnlyAClientWithTheKeyControlsOrSeesAnything) {
  Sandbox sandbox("control-key");
  sandbox.writeConfiguration();
  const fs::path key = writeKey(sandbox, "control.key", "the scheduler's own secret 42",
                                fs::perms::owner_read | fs::perms::owner_write);
  const fs::path other = writeKey(sandbox, "other.key", "somebody else's secret, long",
                                  fs::perms::owner_read | fs::perms::owner_write);
  setKeyFile(sandbox, key);
  SchedulerProcess scheduler(sandbox, {});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline))
      << scheduler.standardOutput();
  const std::string port = std::to_string(sandbox.getPort());

  // Without the key, or with another: nothing obeyed, nothing shown.
  for (const std::vector<std::string>& keyless :
       {std::vector<std::string>{"--port", port, "--timeout", "5", "pause"},
        std::vector<std::string>{"--port", port, "--key-file", other.string(), "--timeout", "5",
                                 "pause"},
        std::vector<std::string>{"--port", port, "--timeout", "5", "status"}}) {
    Outcome refused = runJsctl(sandbox, keyless);
    EXPECT_NE(refused.exitCode, 0) << refused.output << refused.error;
    EXPECT_EQ(refused.output.find("Queue:"), std::string::npos) << refused.output;
  }
  // Named by its address (or the name the address has).
  EXPECT_TRUE(waitForFileText(sandbox.logFile(), "Refused connection from \""))
      << readText(sandbox.logFile());

  // With the key: the status shows the scheduler running normally (the pauses above were not
  // obeyed), then a pause and a resume are.
  Outcome status = runJsctl(sandbox, {"--port", port, "--key-file", key.string(), "status"});
  EXPECT_EQ(status.exitCode, 0) << status.error;
  EXPECT_NE(status.output.find("Queue:"), std::string::npos) << status.output;
  Outcome pause =
      runJsctl(sandbox, {"-c", sandbox.configurationFile().string(), "--timeout", "10", "pause"});
  EXPECT_EQ(pause.exitCode, 0) << pause.error;
  Outcome resume =
      runJsctl(sandbox, {"-c", sandbox.configurationFile().string(), "--timeout", "10", "resume"});
  EXPECT_EQ(resume.exitCode, 0) << resume.error;
  const std::string log = readText(sandbox.logFile());
  EXPECT_EQ(log.find("Received PAUSE"), log.rfind("Received PAUSE")) << "one PAUSE only";
  ASSERT_TRUE(scheduler.signal("TERM"));
  EXPECT_EQ(scheduler.waitForExit(), 0);
}

TEST(JobSchedulerControlKey, AKeyFileOthersCanReadStopsTheStart) {
  Sandbox sandbox("control-key-open");
  sandbox.writeConfiguration();
  const fs::path key = writeKey(sandbox, "control.key", "the scheduler's own secret 42",
                                fs::perms::owner_read | fs::perms::owner_write |
                                    fs::perms::group_read | fs::perms::others_read);
  setKeyFile(sandbox, key);
  SchedulerProcess scheduler(sandbox, {});
  EXPECT_EQ(scheduler.waitForExit(), 2);
  EXPECT_NE(scheduler.standardOutput().find("may be read or written by group or others (mode "
                                            "0644); make it 0600"),
            std::string::npos)
      << scheduler.standardOutput();
}

}  // namespace
}  // namespace Zelcor::e2e
