// Jobs run as the owner of their spec file when the scheduler runs as root: an ordinary user's
// job gets that user's uid, groups and login environment and cannot read what only root may; a
// file owned by root runs as root; a file with a second hard link, or whose owner has no
// account, is refused and left where it is; with run-as "scheduler" nothing is switched.
// Needs root and the "nobody" account; skipped elsewhere.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/Accounts.h"
#include "support/SchedulerProcess.h"

namespace Zelcor::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kReady = "JobScheduler::startListener: Listening on port";
// An id no account uses on a test machine.
constexpr std::uint32_t kNoAccount = 59999;

class JobSchedulerRunAs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "jobs are switched to their owner only by root";
    auto account = ZelcorCorelib::platform::accountOf(65534);
    if (!account || ZelcorCorelib::platform::accountOf(kNoAccount)) {
      GTEST_SKIP() << "needs the nobody account and no account " << kNoAccount;
    }
    nobody = *account;
    // Others must reach the job script and the folder the jobs write to.
    fs::permissions(sandbox.root(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
    fs::create_directories(out);
    fs::permissions(out, fs::perms::all);
    writeText(secret, "root only\n");
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    writeText(script,
              "#!/bin/sh\n{ id -u; id -g; id -G; echo \"$HOME|$USER|$LOGNAME|$SHELL\"; pwd;\n"
              "  if cat '" +
                  secret.string() +
                  "' >/dev/null 2>&1; then echo read; "
                  "else echo denied; fi; } > '" +
                  out.string() + "'/\"$1\".txt\n");
    fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  }

  // As a client of that uid writes it: a hidden file of its own, renamed into pending.
  fs::path drop(const std::string& name, std::uint32_t uid, bool secondLink = false,
                const std::string& extra = "") {
    const fs::path pending = sandbox.jobFolder("pending");
    const fs::path hidden = pending / ("." + name + ".tmp");
    writeText(hidden, "executable=" + script.string() + "\narguments=" + name + "\n" + extra);
    EXPECT_EQ(::chown(hidden.c_str(), uid, uid), 0);
    if (secondLink) fs::create_hard_link(hidden, sandbox.path(name + ".link"));
    const fs::path spec = pending / (name + ".spec");
    fs::rename(hidden, spec);
    return spec;
  }

  std::vector<std::string> report(const std::string& name) {
    std::vector<std::string> lines;
    std::string text = readText(out / (name + ".txt"));
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    return lines;
  }

  Sandbox sandbox{"run-as"};
  const fs::path out = sandbox.path("out");
  const fs::path secret = sandbox.path("secret");
  const fs::path script = sandbox.path("report.sh");
  ZelcorCorelib::platform::Account nobody;
};

TEST_F(JobSchedulerRunAs, JobsRunAsTheOwnerOfTheirSpecFile) {
  sandbox.writeConfiguration();
  {
    SchedulerProcess scheduler(sandbox, {});
    ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline))
        << scheduler.standardOutput();
    drop("user", nobody.uid);
    drop("root", 0);
    const fs::path linked = drop("linked", nobody.uid, true);
    const fs::path orphan = drop("orphan", kNoAccount);
    for (const char* name : {"user", "root"}) {
      ASSERT_TRUE(waitForFileText(sandbox.jobFolder(std::string("finished/") + name + ".spec"),
                                  "ended=", kJobDeadline))
          << name << "\n"
          << readText(sandbox.logFile());
    }
    const std::vector<std::string> user = report("user");
    ASSERT_EQ(user.size(), 6u) << readText(out / "user.txt");
    EXPECT_EQ(user[0], std::to_string(nobody.uid));
    EXPECT_EQ(user[1], std::to_string(nobody.gid));
    // The account's groups, none of root's.
    EXPECT_EQ(user[2], std::to_string(nobody.gid));
    EXPECT_EQ(user[3], nobody.home + "|" + nobody.name + "|" + nobody.name + "|" + nobody.shell);
    // Its home folder does not exist: the job runs from the root folder.
    EXPECT_EQ(user[4], fs::is_directory(nobody.home) ? nobody.home : "/");
    EXPECT_EQ(user[5], "denied");
    const std::vector<std::string> root = report("root");
    ASSERT_EQ(root.size(), 6u);
    EXPECT_EQ(root[0], "0");
    EXPECT_EQ(root[5], "read");
    // The spec file stayed its owner's through every rewrite.
    struct stat status {};
    ASSERT_EQ(::stat(sandbox.jobFolder("finished/user.spec").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, nobody.uid);

    // Refused with one line each, left where they are, and never run.
    const std::string log = readText(sandbox.logFile());
    EXPECT_NE(log.find("linked.spec\" is not a job: it has 2 hard links"), std::string::npos)
        << log;
    EXPECT_NE(log.find("orphan.spec\" is not a job: its owner (uid 59999) has no account"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(linked));
    EXPECT_TRUE(fs::exists(orphan));
    EXPECT_FALSE(fs::exists(out / "linked.txt"));
    EXPECT_FALSE(fs::exists(out / "orphan.txt"));
    ASSERT_TRUE(scheduler.signal("TERM"));
    EXPECT_EQ(scheduler.waitForExit(), 0);
  }

  // run-as "scheduler": the same user's file runs as the scheduler.
  std::string config = readText(sandbox.configurationFile());
  const std::string group = "jobscheduler (String) = \"\" {\n";
  config.insert(config.find(group) + group.size(), " run-as (String) = \"scheduler\" { }\n");
  writeText(sandbox.configurationFile(), config);
  SchedulerProcess scheduler(sandbox, {});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline))
      << scheduler.standardOutput();
  drop("again", nobody.uid);
  ASSERT_TRUE(waitForFileText(sandbox.jobFolder("finished/again.spec"), "ended=", kJobDeadline));
  EXPECT_EQ(report("again")[0], "0");
  ASSERT_TRUE(scheduler.signal("TERM"));
  EXPECT_EQ(scheduler.waitForExit(), 0);
}

// Under root, each owner's output goes to a folder of their own, made for them, so that no user
// can create, link or hold the file another user's job writes. What is planted in its place
// (a symbolic link), or another user's file as "output" (even one open to everyone), keeps the
// job from running at all.
TEST_F(JobSchedulerRunAs, OutputGoesToTheOwnersOwnFolderAndPlantedPathsRunNothing) {
  const fs::path outputs = sandbox.path("outputs");
  sandbox.writeConfiguration();
  std::string config = readText(sandbox.configurationFile());
  const std::string group = "jobscheduler (String) = \"\" {\n";
  config.insert(config.find(group) + group.size(),
                " job-output-dir (DirName) = \"" + outputs.string() + "\" { }\n");
  writeText(sandbox.configurationFile(), config);
  fs::create_directories(outputs);
  fs::create_directories(sandbox.path("elsewhere"));
  fs::create_directory_symlink(sandbox.path("elsewhere"), outputs / nobody.name);
  const fs::path shared = sandbox.path("shared.log");
  writeText(shared, "");
  fs::permissions(shared, fs::perms::all);
  SchedulerProcess scheduler(sandbox, {});
  ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline))
      << scheduler.standardOutput();
  const auto finished = [&](const std::string& name) {
    const fs::path spec = sandbox.jobFolder("finished/" + name + ".spec");
    EXPECT_TRUE(waitForFileText(spec, "ended=", kJobDeadline)) << readText(sandbox.logFile());
    std::map<std::string, std::string> keys;
    for (const auto& [key, value] : readSpec(spec)) keys[key] = value;
    return keys;
  };
  drop("planted", nobody.uid);
  auto keys = finished("planted");
  EXPECT_EQ(keys["end-reason"], "not-started");
  EXPECT_TRUE(fs::is_empty(sandbox.path("elsewhere")));
  EXPECT_FALSE(fs::exists(out / "planted.txt"));

  fs::remove(outputs / nobody.name);
  drop("mine", nobody.uid);
  drop("theirs", nobody.uid, false, "output=" + shared.string() + "\n");
  drop("rooted", 0);
  keys = finished("mine");
  EXPECT_EQ(keys["exit-status"], "0");
  const fs::path own = outputs / nobody.name;
  EXPECT_EQ(keys["output"], (own / "mine.out").string());
  struct stat status {};
  ASSERT_EQ(::lstat(own.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_uid, nobody.uid);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((own / "mine.out").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, nobody.uid);
  keys = finished("theirs");
  EXPECT_EQ(keys["end-reason"], "not-started");
  EXPECT_EQ(keys["exit-status"], "126");
  EXPECT_FALSE(fs::exists(out / "theirs.txt"));
  EXPECT_EQ(readText(shared), "");
  // Root's own file runs as root, straight in the folder.
  keys = finished("rooted");
  EXPECT_EQ(keys["output"], (outputs / "rooted.out").string());
  EXPECT_EQ(report("rooted")[0], "0");
  ASSERT_TRUE(scheduler.signal("TERM"));
  EXPECT_EQ(scheduler.waitForExit(), 0);
}

TEST_F(JobSchedulerRunAs, AnUnknownRunAsValueStopsTheStart) {
  sandbox.writeConfiguration();
  std::string config = readText(sandbox.configurationFile());
  const std::string group = "jobscheduler (String) = \"\" {\n";
  config.insert(config.find(group) + group.size(), " run-as (String) = \"everyone\" { }\n");
  writeText(sandbox.configurationFile(), config);
  SchedulerProcess scheduler(sandbox, {});
  EXPECT_EQ(scheduler.waitForExit(), 2);
  EXPECT_NE(scheduler.standardOutput().find(
                "ERROR: Configuration entry \"jobscheduler.run-as\" must be \"owner\" or "
                "\"scheduler\", not \"everyone\""),
            std::string::npos)
      << scheduler.standardOutput();
}

}  // namespace
}  // namespace Zelcor::e2e
