// Queues whose jobs run on a Slurm cluster: a single-node cluster of the test's own (scripts/
// slurm-up, in the sandbox, on its own ports) and the real scheduler. Exit statuses, a signal,
// a cancel and a time limit; 100 jobs through a queue of 4 with no job submitted twice; the
// scheduler killed and started again while jobs run there; the controller stopped for 30 s.
// Skipped where the Slurm packages are missing (scripts/install-deps brings them).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Accounts.h"
#include "platform/Command.h"
#include "platform/Process.h"
#include "support/CrashLoop.h"
#include "support/SchedulerProcess.h"
#include "testsupport/WaitFor.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;
namespace platform = ZelcorCorelib::platform;
using ZelcorCorelib::testing::waitFor;

constexpr const char* kReady = "JobScheduler::startListener: Listening on port";
constexpr std::chrono::milliseconds kClusterDeadline{90'000};

bool haveSlurm() {
  for (const char* tool : {"sbatch", "squeue", "scontrol", "sacct", "scancel"}) {
    if (runShellCommand(std::string("command -v ") + tool + " >/dev/null 2>&1") != 0) {
      return false;
    }
  }
  return runShellCommand("PATH=$PATH:/usr/sbin command -v slurmctld >/dev/null 2>&1") == 0 &&
         runShellCommand("PATH=$PATH:/usr/sbin command -v munged >/dev/null 2>&1") == 0;
}

fs::path scriptsFolder() { return fs::path(JOBSCHEDULER_EXAMPLES_DIR).parent_path() / "scripts"; }

std::string specValue(const fs::path& spec, const std::string& key) {
  const auto keys = readSpec(spec);
  const auto found = keys.find(key);
  return found == keys.end() ? std::string() : found->second;
}

class JobSchedulerSlurm : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveSlurm()) GTEST_SKIP() << "the Slurm packages are not installed";
    cluster = sandbox.path("cluster");
    ASSERT_EQ(runShellCommand((scriptsFolder() / "slurm-up").string() + " '" + cluster.string() +
                              "' >/dev/null"),
              0)
        << readText(cluster / "log/slurmctld.log");
    conf = (cluster / "slurm.conf").string();
    ::setenv("SLURM_CONF", conf.c_str(), 1);
    const std::map<std::string, std::string> scripts = {{"exit.sh", "echo \"said $1\"\nexit $1\n"},
                                                        {"sleep.sh", "exec sleep \"$1\"\n"},
                                                        {"killed.sh", "kill -KILL $$\n"}};
    for (const auto& [name, body] : scripts) {
      const fs::path script = sandbox.path(name);
      writeText(script, "#!/bin/sh\n" + body);
      fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
  }

  void TearDown() override {
    scheduler.reset();
    // Supervisors of cluster jobs outlive a scheduler by design; these are the test's.
    const std::string mark = "--slurm-conf=" + conf;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const auto pid = static_cast<platform::ProcessId>(std::stol(name));
      const auto elements = platform::processCommandLine(pid);
      if (!elements) continue;
      for (const std::string& element : *elements) {
        if (element == mark) ::kill(pid, SIGKILL);
      }
    }
    if (!cluster.empty() && fs::exists(cluster / "slurm.conf")) {
      runShellCommand((scriptsFolder() / "slurm-down").string() + " '" + cluster.string() +
                      "' --keep >/dev/null 2>&1");
    }
  }

  // The sandbox's configuration with q_cluster (max maxCores) on the cluster.
  void configure(int maxCores) {
    ConfigSettings settings;
    settings.queues = {{"q_local", 1, 2}, {"q_cluster", maxCores, 3}};
    sandbox.writeConfiguration(settings);
    std::string text = readText(sandbox.configurationFile());
    const std::string queue = "  q_cluster (String) = \"\" {\n";
    ASSERT_NE(text.find(queue), std::string::npos);
    text.insert(text.find(queue) + queue.size(), "   executor (String) = \"slurm\" { }\n");
    const std::string group = "jobscheduler (String) = \"\" {\n";
    text.insert(text.find(group) + group.size(), " slurm-conf (FileName) = \"" + conf +
                                                     "\" { }\n job-output-dir (DirName) = \"" +
                                                     sandbox.path("outputs").string() + "\" { }\n");
    writeText(sandbox.configurationFile(), text);
  }

  void start() {
    scheduler = std::make_unique<SchedulerProcess>(sandbox, std::vector<std::string>{});
    ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline))
        << scheduler->standardOutput();
  }

  void drop(const std::string& name, const std::string& script, const std::string& argument,
            std::vector<std::pair<std::string, std::string>> extra = {}) {
    std::vector<std::pair<std::string, std::string>> keys{
        {"executable", sandbox.path(script).string()},
        {"arguments", argument},
        {"queue", "q_cluster"}};
    keys.insert(keys.end(), extra.begin(), extra.end());
    sandbox.dropJob(sandbox.jobFolder("pending"), name, keys);
  }

  fs::path finished(const std::string& name) {
    return sandbox.jobFolder("finished/" + name + ".spec");
  }

  // Every job the cluster was ever given, by its name there.
  std::multiset<std::string> clusterJobNames() {
    std::multiset<std::string> names;
    const platform::CommandOutcome listed = platform::runCommand(
        "sacct", {"-c", "-n", "-P", "-o", "jobid,jobname"}, "", std::chrono::seconds(30));
    const platform::CommandOutcome queued = platform::runCommand(
        "squeue", {"-h", "-t", "all", "-o", "%i|%j"}, "", std::chrono::seconds(30));
    std::map<std::string, std::string> byId;
    for (const std::string* text : {&listed.output, &queued.output}) {
      std::size_t at = 0;
      while (at < text->size()) {
        std::size_t end = text->find('\n', at);
        if (end == std::string::npos) end = text->size();
        const std::string line = text->substr(at, end - at);
        const std::size_t bar = line.find('|');
        if (bar != std::string::npos) byId[line.substr(0, bar)] = line.substr(bar + 1);
        at = end + 1;
      }
    }
    for (const auto& [id, name] : byId) names.insert(name);
    return names;
  }

  std::string log() { return readText(sandbox.logFile()); }

  Sandbox sandbox{"slurm"};
  fs::path cluster;
  std::string conf;
  std::unique_ptr<SchedulerProcess> scheduler;
};

TEST_F(JobSchedulerSlurm, StatusesASignalACancelAndATimeLimitComeBackFromTheCluster) {
  ASSERT_NO_FATAL_FAILURE(configure(4));
  ASSERT_NO_FATAL_FAILURE(start());
  // A name a client writes is not the one the cluster knows the job by.
  drop("fine", "exit.sh", "0", {{"slurm-job-name", "someone-elses"}});
  drop("three", "exit.sh", "3");
  drop("killed", "killed.sh", "");
  drop("limited", "sleep.sh", "61", {{"time-limit", "3s"}});
  drop("cancelled", "sleep.sh", "60");
  const fs::path running = sandbox.jobFolder("running/cancelled.spec");
  ASSERT_TRUE(waitForFileText(running, "slurm-job-id=", kClusterDeadline)) << log();
  // Once the cluster runs it, "started" says when the cluster started it.
  const std::string id = specValue(running, "slurm-job-id");
  const std::string startedThere = sandbox.path("started-there").string();
  ASSERT_TRUE(waitFor(
      [&] {
        return runShellCommand("s=$(scontrol show job -o " + id +
                               " | sed -n 's/.*JobState=RUNNING.* StartTime=\\([^ ]*\\).*/\\1/p'); "
                               "[ -n \"$s\" ] && date -d \"$s\" +%s > '" +
                               startedThere + "'") == 0;
      },
      kClusterDeadline));
  const std::string when = readText(startedThere).substr(0, 10);
  EXPECT_TRUE(waitFor([&] { return specValue(running, "started") == when; }, kClusterDeadline))
      << when << " " << specValue(running, "started");
  const Outcome asked =
      runJsctl(sandbox, {"cancel", "-c", sandbox.configurationFile().string(), "cancelled"});
  EXPECT_EQ(asked.exitCode, 0) << asked.error;

  const std::map<std::string, std::pair<std::string, std::string>> expected = {
      {"fine", {"0", "exit"}},
      {"three", {"3", "exit"}},
      {"killed", {"137", "signal"}},
      {"limited", {"143", "time-limit"}},
      {"cancelled", {"143", "cancelled"}}};
  std::set<std::string> ids;
  for (const auto& [name, outcome] : expected) {
    ASSERT_TRUE(waitForFileText(finished(name), "ended=", kClusterDeadline)) << name << "\n"
                                                                             << log();
    EXPECT_EQ(specValue(finished(name), "exit-status"), outcome.first) << name;
    EXPECT_EQ(specValue(finished(name), "end-reason"), outcome.second) << name;
    const std::string id = specValue(finished(name), "slurm-job-id");
    EXPECT_FALSE(id.empty()) << name;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), expected.size());
  EXPECT_EQ(specValue(finished("fine"), "slurm-job-name").rfind("js-", 0), 0u);
  EXPECT_EQ(readText(sandbox.path("outputs") / "three.out"), "said 3\n");
  // Logged like a local job's end, once.
  const std::string text = log();
  const std::string ended = "three.spec\" ended with exit status 3 (exit)";
  EXPECT_NE(text.find(ended), std::string::npos) << text;
  EXPECT_EQ(text.find(ended), text.rfind(ended));
  // The limit is kept to the poll, not to the cluster's minute.
  const long long ran = std::stoll(specValue(finished("limited"), "ended")) -
                        std::stoll(specValue(finished("limited"), "started"));
  EXPECT_LE(ran, 10) << log();
  EXPECT_EQ(clusterJobNames().size(), expected.size());
}

// Under root, a spec file's owner is who the job runs as on the cluster, and its output goes to
// the owner's own folder, made for them before the submission.
TEST_F(JobSchedulerSlurm, AnOwnersJobRunsAsTheOwnerWithItsOutputInTheirFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "jobs run as their owner only under root";
  const auto nobody = platform::accountOf(65534);
  if (!nobody) GTEST_SKIP() << "needs the nobody account";
  // The owner must reach the script; the output folder is made by the scheduler.
  fs::permissions(sandbox.root(), fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
  ASSERT_NO_FATAL_FAILURE(configure(4));
  ASSERT_NO_FATAL_FAILURE(start());
  const fs::path hidden = sandbox.jobFolder("pending/.theirs.tmp");
  writeText(hidden, "executable=" + sandbox.path("exit.sh").string() +
                        "\narguments=5 theirs\nqueue=q_cluster\n");
  ASSERT_EQ(::chown(hidden.c_str(), nobody->uid, nobody->gid), 0);
  fs::rename(hidden, sandbox.jobFolder("pending/theirs.spec"));
  ASSERT_TRUE(waitForFileText(finished("theirs"), "ended=", kClusterDeadline)) << log();
  EXPECT_EQ(specValue(finished("theirs"), "exit-status"), "5");
  const fs::path output = sandbox.path("outputs") / nobody->name / "theirs.out";
  EXPECT_EQ(specValue(finished("theirs"), "output"), output.string());
  EXPECT_EQ(readText(output), "said 5\n");
  struct stat status {};
  ASSERT_EQ(::stat(output.c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, nobody->uid);
  ASSERT_EQ(::stat(output.parent_path().c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, nobody->uid);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
}

// sbatch submits the job but its answer is lost (here: a wrapper that reports a timeout after
// the real sbatch succeeded): the job is found by its name and never submitted again.
TEST_F(JobSchedulerSlurm, ASubmissionWhoseAnswerWasLostIsFoundByItsName) {
  const fs::path tools = sandbox.path("tools");
  fs::create_directories(tools);
  const std::string real = "/usr/bin/sbatch";
  ASSERT_TRUE(fs::exists(real));
  const fs::path used = sandbox.path("wrapper-used");
  writeText(tools / "sbatch", "#!/bin/sh\n: > '" + used.string() + "'\n" + real +
                                  " \"$@\" >/dev/null\necho 'sbatch: error: Socket timed out on "
                                  "send/recv operation' >&2\nexit 1\n");
  fs::permissions(tools / "sbatch", fs::perms::owner_all);
  sandbox.environment["PATH"] = tools.string() + ":" + std::getenv("PATH");
  ASSERT_NO_FATAL_FAILURE(configure(4));
  ASSERT_NO_FATAL_FAILURE(start());
  drop("lost", "exit.sh", "4");
  ASSERT_TRUE(waitForFileText(finished("lost"), "ended=", kClusterDeadline)) << log();
  EXPECT_EQ(specValue(finished("lost"), "exit-status"), "4");
  EXPECT_FALSE(specValue(finished("lost"), "slurm-job-id").empty());
  EXPECT_TRUE(fs::exists(used));
  EXPECT_EQ(clusterJobNames().size(), 1u);
}

// 100 jobs through a queue of 4: each finished once, with its own status, and the cluster got
// each exactly once.
TEST_F(JobSchedulerSlurm, AHundredJobsThroughAQueueOfFourEachSubmittedOnce) {
  ASSERT_NO_FATAL_FAILURE(configure(4));
  ASSERT_NO_FATAL_FAILURE(start());
  constexpr int kJobs = 100;
  // Distinct arguments: equal commands would be refused as duplicates.
  for (int i = 0; i < kJobs; ++i) {
    drop("job" + std::to_string(i), "exit.sh", std::to_string(i % 7) + " " + std::to_string(i));
  }
  for (int i = 0; i < kJobs; ++i) {
    const fs::path spec = finished("job" + std::to_string(i));
    ASSERT_TRUE(waitForFileText(spec, "ended=", kClusterDeadline)) << i << "\n" << log();
    EXPECT_EQ(specValue(spec, "exit-status"), std::to_string(i % 7)) << i;
  }
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(sandbox.jobFolder("finished"))) {
    files += entry.path().extension() == ".spec" ? 1 : 0;
  }
  EXPECT_EQ(files, static_cast<std::size_t>(kJobs));
  const std::multiset<std::string> names = clusterJobNames();
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kJobs));
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
}

// kill -9 of the scheduler while 4 jobs run on the cluster (and of one job's supervisor), and
// a new scheduler: none is submitted again, each finishes with its own status.
TEST_F(JobSchedulerSlurm, AKilledSchedulerReattachesToItsClusterJobs) {
  ASSERT_NO_FATAL_FAILURE(configure(4));
  ASSERT_NO_FATAL_FAILURE(start());
  for (int i = 0; i < 4; ++i) {
    drop("held" + std::to_string(i), "sleep.sh", "4 " + std::to_string(i));
  }
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(waitForFileText(sandbox.jobFolder("running/held" + std::to_string(i) + ".spec"),
                                "slurm-job-id=", kClusterDeadline))
        << log();
  }
  ASSERT_TRUE(scheduler->signal("KILL"));
  ASSERT_TRUE(scheduler->waitForExit().has_value());
  // One job's supervisor goes too (its machine's crash, say): a new one finds the job by its
  // name on the cluster instead of submitting it again.
  const std::string supervisor = specValue(sandbox.jobFolder("running/held0.spec"), "pid");
  ASSERT_FALSE(supervisor.empty());
  ASSERT_EQ(runShellCommand("kill -KILL " + supervisor), 0);
  ASSERT_NO_FATAL_FAILURE(start());
  for (int i = 0; i < 4; ++i) {
    const fs::path spec = finished("held" + std::to_string(i));
    ASSERT_TRUE(waitForFileText(spec, "ended=", kClusterDeadline)) << log();
    EXPECT_EQ(specValue(spec, "exit-status"), "0");
    EXPECT_EQ(specValue(spec, "end-reason"), "exit");
  }
  EXPECT_EQ(clusterJobNames().size(), 4u);
}

// The controller stopped for 30 s while jobs run: the scheduler answers at once all the while,
// and every job finishes correctly once the controller is back.
TEST_F(JobSchedulerSlurm, AControllerThatIsDownIsWaitedOutWithoutStoppingTheScheduler) {
  ASSERT_NO_FATAL_FAILURE(configure(4));
  ASSERT_NO_FATAL_FAILURE(start());
  for (int i = 0; i < 3; ++i) drop("through" + std::to_string(i), "exit.sh", std::to_string(i + 1));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(waitForFileText(sandbox.jobFolder("running/through" + std::to_string(i) + ".spec"),
                                "slurm-job-id=", kClusterDeadline))
        << log();
  }
  std::string pid = readText(cluster / "slurmctld.pid");
  pid = pid.substr(0, pid.find_first_not_of("0123456789"));
  ASSERT_FALSE(pid.empty());
  ASSERT_EQ(runShellCommand("kill -TERM " + pid), 0);
  // Gone, or a zombie nobody reaps (a daemon's parent has left it).
  const std::string gone = "[ \"$(ps -o stat= -p " + pid +
                           " 2>/dev/null | cut -c1)\" != Z ] && kill -0 " + pid + " 2>/dev/null";
  ASSERT_TRUE(waitFor([&] { return runShellCommand(gone) != 0; }, std::chrono::seconds(30)));
  // Submitted while the controller is down: it waits, and goes through once it is back. A
  // local queue's job runs meanwhile.
  drop("late", "exit.sh", "9");
  sandbox.dropJob(sandbox.jobFolder("pending"), "local",
                  {{"executable", sandbox.path("exit.sh").string()},
                   {"arguments", "6 local"},
                   {"queue", "q_local"}});
  const auto downSince = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - downSince < std::chrono::seconds(30)) {
    const auto asked = std::chrono::steady_clock::now();
    const Outcome status =
        runJsctl(sandbox, {"status", "-c", sandbox.configurationFile().string()});
    EXPECT_EQ(status.exitCode, 0) << status.error;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  EXPECT_EQ(specValue(finished("local"), "exit-status"), "6") << log();
  EXPECT_FALSE(fs::exists(finished("late")));
  ASSERT_EQ(
      runShellCommand("SLURM_CONF='" + conf + "' PATH=$PATH:/usr/sbin slurmctld -f '" + conf + "'"),
      0);
  for (int i = 0; i < 3; ++i) {
    const fs::path spec = finished("through" + std::to_string(i));
    ASSERT_TRUE(waitForFileText(spec, "ended=", kClusterDeadline)) << log();
    EXPECT_EQ(specValue(spec, "exit-status"), std::to_string(i + 1));
  }
  ASSERT_TRUE(waitForFileText(finished("late"), "ended=", kClusterDeadline)) << log();
  EXPECT_EQ(specValue(finished("late"), "exit-status"), "9");
  EXPECT_EQ(clusterJobNames().size(), 4u);
  // The outage and its end, each logged once for all the jobs it held up.
  const std::string text = log();
  const std::string down = "The Slurm cluster does not answer";
  EXPECT_NE(text.find(down), std::string::npos) << text;
  EXPECT_EQ(text.find(down), text.rfind(down));
  EXPECT_NE(text.find("The Slurm cluster answers again."), std::string::npos);
}

// A queue's executor is "local" or "slurm"; anything else stops the start with its name.
TEST(JobSchedulerSlurmConfiguration, AnUnknownExecutorStopsTheStart) {
  Sandbox sandbox("slurm-config");
  ConfigSettings settings;
  settings.queues = {{"q_odd", 1, 2}};
  sandbox.writeConfiguration(settings);
  std::string text = readText(sandbox.configurationFile());
  const std::string queue = "  q_odd (String) = \"\" {\n";
  ASSERT_NE(text.find(queue), std::string::npos);
  text.insert(text.find(queue) + queue.size(), "   executor (String) = \"kubernetes\" { }\n");
  writeText(sandbox.configurationFile(), text);
  SchedulerProcess scheduler(sandbox, {});
  EXPECT_EQ(scheduler.waitForExit(), 2);
  EXPECT_NE(scheduler.standardOutput().find(
                "Configuration entry \"jobscheduler.queues.q_odd.executor\" must be \"local\" or "
                "\"slurm\", not \"kubernetes\""),
            std::string::npos)
      << scheduler.standardOutput();
}

}  // namespace
}  // namespace Zelcor::e2e
