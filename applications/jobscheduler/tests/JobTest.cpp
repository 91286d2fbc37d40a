#include "Job.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/ConfNodeTypes.h"
#include "files/KeyValueFile.h"
#include "support/DirectoryStore.h"
#include "support/LogSink.h"
#include "support/SpecFiles.h"
#include "support/Supervision.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"
#include "time/DateTime.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using test::DirectoryStore;
using test::LogSink;
using test::readSpec;
using test::valueOf;
using ZelcorCorelib::KeyValueMap;
using ZelcorCorelib::test::readRaw;
using ZelcorCorelib::test::TempDir;
using ZelcorCorelib::test::writeRaw;
using ZelcorCorelib::test::writeScript;
using ZelcorCorelib::testing::waitFor;

// A job as the queue makes it: built from the spec file, configured, loaded.
Job jobFromFile(const std::string& path) {
  Job job(readSpec(path));
  job.setSpecPath(path);
  EXPECT_TRUE(job.configure());
  EXPECT_TRUE(job.loadSpec());
  return job;
}

TEST(Job, BuildsFromTheSpecEntries) {
  const struct {
    const char* value;
    int level;
  } priorities[] = {{" high ", 3}, {"HIGH", 2}, {"very high\r", 4}, {"\tvery low\n", 0}, {"low", 1},
                    {"1", 1},      {" 4 ", 4},  {"5", 2},           {"veryhigh", 2},     {"", 2}};
  for (const auto& p : priorities) {
    EXPECT_EQ(Job(KeyValueMap{{"priority-level", p.value}}).getPriorityLevel(), p.level)
        << "\"" << p.value << "\"";
  }
  EXPECT_EQ(Job(KeyValueMap{}).getPriorityLevel(), 2);

  // Two "arguments" lines: the second in file order wins.
  TempDir dir;
  writeRaw(dir.file("a.spec"),
           "arguments=first\nqueue=nightly\nexecutable=/bin/true\ncreated=2024-01-02\n"
           "arguments=second\npid=4711x\npre=ignored\nother=kept");
  Job job(readSpec(dir.file("a.spec")));
  EXPECT_EQ(job.getArguments(), "second");
  EXPECT_EQ(job.getExecutable(), "/bin/true");
  EXPECT_EQ(job.getQueueName(), "nightly");
  EXPECT_EQ(job.getCreated(), "2024-01-02");
  EXPECT_EQ(job.getPid(), 4711u);
  EXPECT_EQ(job.getRecoveryRank(), 1);

  for (const char* pid : {"x12", "", "99999999999", "-5"}) {
    EXPECT_EQ(Job(KeyValueMap{{"pid", pid}}).getPid(), 0u) << pid;
  }
}

TEST(Job, ConfigureChecksTheUnquotedExecutable) {
  TempDir dir;
  fs::create_directory(dir.file("my dir"));
  const std::string program = writeScript(dir, "my dir/run.sh", "exit 0");
  const struct {
    std::string executable;
    bool ok;
    std::string after;
  } cases[] = {
      {"\"" + program + "\"", true, program},
      {"'" + program + "'", true, program},
      {program + "\r", false, program + "\r"},  // a CR LF spec file
      {dir.file("missing"), false, dir.file("missing")},
      {"\"", false, "\""},
      {"%bin%/missing", true, "%bin%/missing"},  // resolved only when the process is built
      {"", false, ""},
  };
  LogSink log({"Job"}, {"functional"});
  for (const auto& c : cases) {
    Job job(KeyValueMap{{"executable", c.executable}});
    EXPECT_EQ(job.configure(), c.ok) << c.executable;
    EXPECT_EQ(job.getExecutable(), c.after);
  }
  EXPECT_TRUE(log.saw("@jobscheduler.job-configure.conf{ Exe file does not exists}. % "));
}

TEST(Job, LoadSpecQuotesAConfigurationPathWithBlanks) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"-c C:\\x\\a.conf", "-c C:\\x\\a.conf"},
      {"-c C:\\x y\\a.conf", "-c \"C:\\x y\\a.conf\""},
      {"-c C:\\My Files\\job.conf -v", "-c \"C:\\My Files\\job.conf\" -v"},
      {"-c \"/srv/my jobs/a.conf\" -v", "-c \"/srv/my jobs/a.conf\" -v"},
      // The rule takes one byte after ".conf"; the quotes then sit inside the name, which the
      // child's argument parsing still joins into one argument.
      {"  -v -c /srv/my jobs/a.conf.gz  ", "-v -c \"/srv/my jobs/a.conf.\"gz"},
      {"-x /a b/c.conf", "-x /a b/c.conf"},
      {" plain  args ", "plain  args"},
      {"", ""},
  };
  for (const auto& c : cases) {
    Job job(KeyValueMap{{"executable", "/bin/true"}, {"arguments", c.in}});
    ASSERT_TRUE(job.loadSpec()) << c.in;
    EXPECT_EQ(job.getArguments(), c.out) << c.in;
    EXPECT_EQ(job.getMainProcess().getArguments(), c.out);
    EXPECT_EQ(job.getMainProcess().getCommand(), "/bin/true");
  }
}

TEST(Job, ReferencesResolveOrRefuseTheJob) {
  DirectoryStore directories({{"bin", ZelcorCorelib::kConfString, "/opt/zelcor/bin"}});
  Job good(KeyValueMap{{"executable", "%BIN%/tool"}, {"arguments", "-o %bin%/out"}});
  ASSERT_TRUE(good.loadSpec());
  EXPECT_EQ(good.getMainProcess().getCommand(), "/opt/zelcor/bin/tool");
  EXPECT_EQ(good.getMainProcess().getArguments(), "-o /opt/zelcor/bin/out");

  // An unknown name must not escape as an exception: the job is refused with the agent's
  // message at error level.
  LogSink log({"Job"}, {"functional"});
  Job bad(KeyValueMap{{"executable", "%nowhere%/tool"}});
  EXPECT_FALSE(bad.loadSpec());
  EXPECT_FALSE(bad.getMainProcess().wasStarted());
  EXPECT_FALSE(log.texts().empty());
  Job badArgument(KeyValueMap{{"executable", "/bin/true"}, {"arguments", "%nowhere%/x"}});
  EXPECT_FALSE(badArgument.loadSpec());
}

TEST(Job, MoveKeepsThePathWhenItFails) {
  TempDir dir;
  fs::create_directories(dir.file("queued/q"));
  fs::create_directories(dir.file("running"));
  writeRaw(dir.file("a.spec"), "executable=/bin/true");
  Job job(readSpec(dir.file("a.spec")));
  job.setSpecPath(dir.file("a.spec"));

  EXPECT_TRUE(job.move(dir.str() + "/queued//q/"));
  EXPECT_EQ(job.getSpecPath(), dir.file("queued/q/a.spec"));
  EXPECT_TRUE(fs::exists(dir.file("queued/q/a.spec")));
  EXPECT_FALSE(fs::exists(dir.file("a.spec")));
  // Into the folder it is in: nothing happens.
  EXPECT_TRUE(job.move(dir.file("queued/q")));
  EXPECT_EQ(job.getSpecPath(), dir.file("queued/q/a.spec"));

  // A file of that name is already there: both stay untouched.
  writeRaw(dir.file("running/a.spec"), "other=1");
  LogSink log({"Job"}, {"functional"});
  EXPECT_FALSE(job.move(dir.file("running")));
  EXPECT_EQ(job.getSpecPath(), dir.file("queued/q/a.spec"));
  EXPECT_EQ(readRaw(dir.file("running/a.spec")), "other=1");
  EXPECT_EQ(readRaw(dir.file("queued/q/a.spec")), "executable=/bin/true");
  EXPECT_TRUE(log.saw("@jobscheduler.job-move.unable-to-move{Failed to move file.};"));

  fs::remove(dir.file("queued/q/a.spec"));
  EXPECT_FALSE(job.move(dir.file("queued")));
  EXPECT_EQ(job.getSpecPath(), dir.file("queued/q/a.spec"));
}

TEST(Job, WriteSpecValueRewritesTheWholeFileOrAddsANewKeyAtItsEnd) {
  TempDir dir;
  const std::string path = dir.file("job.spec");
  writeRaw(path,
           "queue=q\r\njunk line\n=nokey\narguments=one\narguments=two\nexecutable=/bin/x\r\n");
  Job job(readSpec(path));
  job.setSpecPath(path);
  ASSERT_TRUE(job.writeSpecValue("arguments", "new"));
  EXPECT_EQ(readRaw(path), "arguments=new\narguments=two\nexecutable=/bin/x\r\nqueue=q\r");
  // A key the file does not have yet goes after its last line, which gets its line break.
  ASSERT_TRUE(job.writeSpecValue("queued", "1700000000"));
  EXPECT_EQ(readRaw(path),
            "arguments=new\narguments=two\nexecutable=/bin/x\r\nqueue=q\r\nqueued=1700000000\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

  LogSink log({"Job"}, {"functional"});
  job.setSpecPath(dir.file("gone.spec"));
  EXPECT_FALSE(job.writeSpecValue("queued", "1"));
  EXPECT_FALSE(fs::exists(dir.file("gone.spec")));
  EXPECT_TRUE(log.saw("@jobscheduler.job-preprocess.fail-load-src"));
}

TEST(Job, ATakenNameNeverBlocksAMove) {
  TempDir dir;
  fs::create_directories(dir.file("finished"));
  auto finishedFolder = ZelcorCorelib::platform::SpecFolder::open(dir.file("finished"));
  ASSERT_TRUE(finishedFolder);
  auto dropAndMove = [&](const std::string& name) {
    writeRaw(dir.file(name), "executable=/bin/true");
    Job job(readSpec(dir.file(name)));
    job.setSpecPath(dir.file(name));
    EXPECT_EQ(job.moveToFreeName(finishedFolder), ZelcorCorelib::platform::FsResult::ok) << name;
    return fs::path(job.getSpecPath()).filename().string();
  };
  // The same name every night: numbered after the first.
  EXPECT_EQ(dropAndMove("nightly.spec"), "nightly.spec");
  EXPECT_EQ(dropAndMove("nightly.spec"), "nightly.1.spec");
  // Past a thousand earlier runs, a stamp instead of the number.
  for (int n = 2; n <= 1000; ++n) {
    writeRaw(dir.file("finished/nightly." + std::to_string(n) + ".spec"), "");
  }
  const std::string late = dropAndMove("nightly.spec");
  EXPECT_EQ(late.rfind("nightly.", 0), 0u) << late;
  EXPECT_EQ(fs::path(late).extension(), ".spec");
  EXPECT_FALSE(fs::exists(dir.file("nightly.spec")));
  // A name at the file system's limit: the numbered variant is cut to fit, not refused; a
  // multi-byte character is never cut in half.
  const std::string e = "\xc3\xa9";
  const std::string longName = std::string(241, 'x') + e + e + e + e + ".spec";
  ASSERT_EQ(longName.size(), 254u);
  EXPECT_EQ(dropAndMove(longName), longName);
  EXPECT_EQ(dropAndMove(longName), std::string(241, 'x') + e + e + e + ".1.spec");
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir.file("finished"))) files += entry.exists();
  EXPECT_EQ(files, 1004u);
}

TEST(Job, RunsThroughItsLifeAndStampsTheSpec) {
  TempDir dir;
  const std::string program = writeScript(dir, "three.sh", "exit 3");
  writeRaw(dir.file("job.spec"), "executable=" + program + "\ncreated=c");
  Job job = jobFromFile(dir.file("job.spec"));

  const std::int64_t before = ZelcorCorelib::DateTime::now().toUnixSeconds();
  RunRecords::Pointer records = test::openRunRecords(dir.file("runs"));
  std::string why;
  ASSERT_TRUE(job.start(records, "queue_normal", std::nullopt, why)) << why;
  EXPECT_GT(job.getPid(), 0u);
  // Written ahead: the run id is in the spec file and names the run's record.
  const std::string runId = valueOf(readSpec(dir.file("job.spec")), "run-id");
  EXPECT_EQ(runId, job.getRunId());
  EXPECT_TRUE(records->read(runId));
  // The queue holds copies; they all see the one child.
  const Job copy = job;
  ASSERT_TRUE(waitFor([&] { return !copy.getMainProcess().isRunning(); }));
  EXPECT_TRUE(job.getMainProcess().wasStarted());
  EXPECT_FALSE(job.getMainProcess().isAlive());
  ASSERT_TRUE(job.postprocess());
  const std::int64_t after = ZelcorCorelib::DateTime::now().toUnixSeconds();

  const KeyValueMap spec = readSpec(dir.file("job.spec"));
  EXPECT_EQ(valueOf(spec, "pid"), std::to_string(job.getPid()));
  EXPECT_EQ(valueOf(spec, "exit-status"), "3");
  EXPECT_EQ(valueOf(spec, "created"), "c");
  for (const char* key : {"started", "ended"}) {
    const std::int64_t stamp = std::stoll(valueOf(spec, key));
    EXPECT_GE(stamp, before) << key;
    EXPECT_LE(stamp, after) << key;
  }
}

TEST(Job, StartFailureAndStop) {
  TempDir dir;
  RunRecords::Pointer records = test::openRunRecords(dir.file("runs"));
  std::string why;
  // A spec file that cannot be stamped ahead of the start: nothing runs, nothing is recorded.
  const std::string marker = dir.file("ran");
  const std::string touch = writeScript(dir, "touch.sh", "touch '" + marker + "'");
  writeRaw(dir.file("gone.spec"), "executable=" + touch);
  Job gone = jobFromFile(dir.file("gone.spec"));
  fs::remove(dir.file("gone.spec"));
  fs::create_directories(dir.file("gone.spec"));
  EXPECT_FALSE(gone.start(records, "queue_normal", std::nullopt, why));
  EXPECT_NE(why.find("spec file cannot be written"), std::string::npos) << why;
  EXPECT_EQ(gone.getPid(), 0u);
  EXPECT_FALSE(gone.getMainProcess().wasStarted());
  EXPECT_TRUE(records->list().empty());
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_FALSE(gone.stop());

  const std::string program = writeScript(dir, "wait.sh", "sleep 30 & wait");
  writeRaw(dir.file("long.spec"), "executable=" + program);
  Job job = jobFromFile(dir.file("long.spec"));
  ASSERT_TRUE(job.start(records, "queue_normal", std::nullopt, why)) << why;
  ASSERT_TRUE(job.getMainProcess().isRunning());
  ASSERT_TRUE(job.stop());
  ASSERT_TRUE(waitFor([&] { return !job.getMainProcess().isRunning(); }));
  ASSERT_TRUE(job.postprocess());
  EXPECT_EQ(valueOf(readSpec(dir.file("long.spec")), "exit-status"), "143");  // 128 + SIGTERM
  EXPECT_FALSE(job.stop());
}

}  // namespace
}  // namespace Zelcor
