// The scheduler's start-up steps in-process: sizing the core pool from the sysinfo file and
// both limits, the queues from the configuration, and the one-line failure texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "CorePool.h"
#include "JobScheduler.h"
#include "QuitSignal.h"
#include "testsupport/TempDir.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using ZelcorCorelib::test::TempDir;

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

struct Settings {
  int maxCores = 0;
  std::string queues;  // the children of jobscheduler.queues; empty: no queues entry
  std::optional<std::string> sysinfo;
  int daily = 3;
};

class JobSchedulerStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("ZELCOR_REGISTRY", folder.file("registry.reg").c_str(), 1);
    ::setenv("ZELCOR_LOCK_DIR", folder.file("locks").c_str(), 1);
    fs::create_directories(folder.file("locks"));
    writeFile(folder.file("registry.reg"),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor\\Resources]\n"
              "\"ConfigurationDir\"=\"" +
                  folder.file("conf") +
                  "\"\n"
                  "\"StartupLogDir\"=\"" +
                  folder.file("startup") + "\"\n");
    CorePool::instance().setCores(1);
  }
  void TearDown() override {
    ::unsetenv("ZELCOR_REGISTRY");
    ::unsetenv("ZELCOR_LOCK_DIR");
    CorePool::instance().setCores(1);
  }

  void writeConfiguration(const Settings& setup) {
    auto dir = [&](const std::string& name, const std::string& relative) {
      return name + " (DirName) = \"" + folder.file(relative) + "\" { }\n";
    };
    std::string text = "Zelcor (String) = \"\" { directories (String) = \"\" {\n" +
                       dir("temp", "tmp") + dir("log", "log") + "} }\n";
    text += "jobscheduler (String) = \"\" {\n" + dir("working-dir", "work") +
            "jobdir (String) = \"\" {\n" + dir("pending-dir", "pending") +
            dir("queued-dir", "queued") + dir("running-dir", "running") +
            dir("finished-dir", "finished") + "}\n";
    text += "max-cores (Integer) = \"" + std::to_string(setup.maxCores) + "\" { }\n";
    text += "port (Integer) = \"0\" { }\n";
    text += "priority-levels (String) = \"\" { daily-processing (Integer) = \"" +
            std::to_string(setup.daily) +
            "\" { }\n"
            "regeneration (Integer) = \"1\" { } }\n";
    if (!setup.queues.empty()) text += "queues (String) = \"\" {\n" + setup.queues + "}\n";
    text += "}\n";
    writeFile(folder.file("conf/jobscheduler.conf"), text);
    fs::create_directories(folder.file("tmp"));
    fs::remove(folder.file("tmp/sysinfo"));
    if (setup.sysinfo) writeFile(folder.file("tmp/sysinfo"), *setup.sysinfo);
  }

  // A scheduler past its first command-line pass, whose output is kept.
  std::unique_ptr<JobScheduler> configured(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "jobscheduler");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    ::testing::internal::CaptureStdout();
    auto scheduler = std::make_unique<JobScheduler>(static_cast<int>(argv.size()), argv.data());
    firstPassOutput = ::testing::internal::GetCapturedStdout();
    return scheduler;
  }

  TempDir folder{"zelcor-jobscheduler"};
  std::string firstPassOutput;
};

TEST_F(JobSchedulerStartup, CorePoolFromSysinfoThenConfiguredThenCommandLineLimit) {
  struct Case {
    std::optional<std::string> sysinfo;
    int configured;
    std::optional<std::string> commandLine;
    std::uint32_t expected;
  };
  const std::vector<Case> cases = {
      {"cores=8\n", 3, {}, 3},  {"cores=8\n", 0, {}, 7},    {"cores=8\n", -2, {}, 6},
      {"cores=8\n", -7, {}, 2}, {"cores=2\n", 0, {}, 2},    {{}, 0, {}, 1},
      {"os=linux\n", 0, {}, 1},  // no "cores": like no file
      {"cores=8\n", 0, "0", 6},  // the command line applies on top of the configured limit
      {"cores=8\n", 3, "5", 5}, {"cores=8\n", 0, " -1", 6}, {{}, 0, "4", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.sysinfo.value_or("<none>") << " configured " << c.configured << " given "
                 << c.commandLine.value_or("<none>"));
    writeConfiguration({c.configured, "", c.sysinfo});
    CorePool::instance().setCores(1);
    std::vector<std::string> arguments;
    if (c.commandLine) arguments = {"--maxcores", *c.commandLine};
    auto scheduler = configured(arguments);
    ASSERT_TRUE(scheduler->startUp());
    ASSERT_TRUE(scheduler->initCmdLine());
    EXPECT_TRUE(scheduler->initCpuMem());
    EXPECT_EQ(CorePool::instance().getTotalCores(), c.expected);
    EXPECT_EQ(CorePool::instance().getAvailableCores(), c.expected);
  }
}

TEST_F(JobSchedulerStartup, CoreLimitThatIsNoNumberIsRefused) {
  writeConfiguration({0, "", std::string("cores=8\n")});
  auto scheduler = configured({"--maxcores", "many"});
  ASSERT_TRUE(scheduler->startUp());
  ASSERT_TRUE(scheduler->initCmdLine());
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(scheduler->initCpuMem());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ERROR: Option --maxcores needs an integer, not \"many\"\n");
}

TEST_F(JobSchedulerStartup, QueuesComeFromTheConfigurationOrTheDefault) {
  writeConfiguration({1,
                      "slow (String) = \"\" { max-cores (Integer) = \"1\" { }\n"
                      "  priority-level (Integer) = \"1\" { } }\n"
                      "fast (String) = \"\" { max-cores (Integer) = \"3\" { }\n"
                      "  priority-level (Integer) = \"4\" { } }\n",
                      {}});
  auto scheduler = configured({});
  ASSERT_TRUE(scheduler->startUp());
  ASSERT_TRUE(scheduler->initQueues("p", folder.file("queued"), "r", "f"));
  std::vector<std::string> names;
  for (const JobQueue& queue : scheduler->getQueueController()->getQueues()) {
    names.push_back(queue.getName() + ":" + std::to_string(queue.getMaxCores()) + ":" +
                    std::to_string(queue.getPriorityLevel()));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"fast:3:4", "queue_normal:0:2", "slow:1:1"}));
  EXPECT_EQ(scheduler->getQueueController()->getPendingDirectory(), "p");
  EXPECT_TRUE(fs::is_directory(folder.file("queued/fast")));

  writeConfiguration({1, "", {}});
  auto plain = configured({});
  ASSERT_TRUE(plain->startUp());
  ASSERT_TRUE(plain->initQueues("p", folder.file("queued"), "r", "f"));
  ASSERT_EQ(plain->getQueueController()->getQueues().size(), 1u);
  EXPECT_EQ(plain->getQueueController()->getQueues().front().getName(), "queue_normal");
}

TEST_F(JobSchedulerStartup, QueueWithoutItsLimitIsNamedInOneLine) {
  writeConfiguration({1, "broken (String) = \"\" { max-cores (Integer) = \"1\" { } }\n", {}});
  auto scheduler = configured({});
  ASSERT_TRUE(scheduler->startUp());
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(scheduler->initQueues("p", folder.file("queued"), "r", "f"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ERROR: Configuration entry \"jobscheduler.queues.broken.priority-level\" was not "
            "found\n");
}

TEST_F(JobSchedulerStartup, VerificationNamesTheEntryByItsPath) {
  writeConfiguration({1, "", {}, 7});
  auto scheduler = configured({"--pend", folder.file("given"), "--nodetach"});
  EXPECT_EQ(firstPassOutput, "");
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(scheduler->startUp());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ERROR: Configuration entry \"jobscheduler.priority-levels.daily-processing\" "
            "(value=7) is not within the required range of 0 through 4\n");
}

TEST(JobSchedulerFailureText, CausesJoinOnOneLineWithoutNames) {
  ZelcorCorelib::Exception cause("@a.b.c{Inner \"%\"\nsecond line};", ZelcorCorelib::makeParams(7));
  ZelcorCorelib::Exception outer("here", cause);
  ZelcorCorelib::Exception top("@x.y.z{Outer};");
  top.addNested(outer);
  EXPECT_EQ(describeFailure(top), "Outer - Inner \"7\" second line");
  EXPECT_EQ(describeFailure(outer), "Inner \"7\" second line");
}

}  // namespace
}  // namespace Zelcor
