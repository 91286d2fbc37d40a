#include "JobQueue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
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

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using test::DirectoryStore;
using test::LogSink;
using test::valueOf;
using ZelcorCorelib::KeyValueMap;
using ZelcorCorelib::test::readRaw;
using ZelcorCorelib::test::TempDir;
using ZelcorCorelib::test::writeRaw;
using ZelcorCorelib::test::writeScript;
using ZelcorCorelib::testing::waitFor;

// The scheduler's job sources, whose warnings and errors the cases check with their values.
const std::vector<std::string> kJobSources = {"JobQueue", "Job"};

std::vector<std::string> namesOf(const std::vector<Job*>& jobs) {
  std::vector<std::string> names;
  for (const Job* job : jobs) names.push_back(fs::path(job->getSpecPath()).filename().string());
  return names;
}

class JobQueueTest : public ::testing::Test {
 protected:
  JobQueueTest() {
    fs::create_directories(pending);
    queue.setName("nightly");
    program = writeScript(dir, "run.sh", "exit 0");
  }

  std::string spec(const std::string& name, const std::string& content) {
    writeRaw(pending + "/" + name, content);
    return pending + "/" + name;
  }
  std::string command(const std::string& arguments, const std::string& extra = "") {
    return "executable=" + program + "\narguments=" + arguments + extra;
  }
  std::set<std::string> pendingFiles() const {
    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(pending)) files.insert(entry.path().string());
    return files;
  }
  std::string queueDir() const { return queued + "/nightly"; }

  TempDir dir;
  const std::string pending = dir.file("pending");
  const std::string queued = dir.file("queued");
  std::string program;
  JobQueue queue;
};

TEST_F(JobQueueTest, GoodFilesAreQueuedAndBadOnesLeftInPlace) {
  // One directory reference, so that references can fail for real.
  DirectoryStore directories{{{"bin", ZelcorCorelib::kConfString, "/bin"}}};
  std::mt19937 random(7);
  std::string garbage(4096, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  const std::string huge = "executable=/no/such/tool\n" + std::string(50u << 20, 'x');
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"b-garbage.spec", garbage},
      {"c-no-equals.spec", "just some words\nand more\n"},
      {"d-crlf.spec", "executable=" + program + "\r\narguments=-d\r\n"},
      {"e-empty.spec", ""},
      {"f-huge.spec", huge},
      {"g-unresolved.spec", "executable=%nowhere%/tool"},
      {"g2-unresolved-argument.spec", "executable=" + program + "\narguments=-o %nowhere%/x"},
  };
  spec("a-good.spec", command("-a", "\ncreated=1\nextra=kept"));
  for (const auto& [name, content] : bad) spec(name, content);
  spec("h-good.spec", command("-h", "\nqueue=nightly"));
  std::set<std::string> files = pendingFiles();
  files.insert(pending + "/v-vanished.spec");

  LogSink log(kJobSources);
  ASSERT_TRUE(queue.load(files, queued, 1));

  // In run order: a file without "created" comes before one created at "1".
  EXPECT_EQ(namesOf(queue.getPendingJobs()),
            (std::vector<std::string>{"h-good.spec", "a-good.spec"}));
  for (const char* name : {"a-good.spec", "h-good.spec"}) {
    const std::string moved = queueDir() + "/" + name;
    EXPECT_TRUE(fs::exists(moved)) << name;
    EXPECT_FALSE(fs::exists(pending + "/" + name)) << name;
    EXPECT_NE(valueOf(moved, "queued"), "<missing>") << name;
  }
  EXPECT_EQ(valueOf(queueDir() + "/a-good.spec", "extra"), "kept");
  for (const auto& [name, content] : bad) {
    EXPECT_EQ(readRaw(pending + "/" + name), content) << name;
  }
  EXPECT_EQ(log.count("JobQueue::load: Found % unreadable job files. | 8"), 1u);
  EXPECT_EQ(log.count("@jobscheduler.isFileReadable.file-unreadable"), 1u);
  EXPECT_EQ(log.count("@jobscheduler.initializeJobFromFile.fail-config-job"), 5u);
  EXPECT_EQ(log.count("@jobscheduler.insertJobToQueue.load-spec-fail{Failed. Not including job."),
            2u);
  EXPECT_EQ(log.count("JobQueue::load: Queueing % jobs to %. | 10 | " + queueDir() + "/"), 1u);
}

TEST_F(JobQueueTest, DuplicatesAreRefusedWhileTheFirstIsHeld) {
  const std::string gate = dir.file("gate");
  program = writeScript(dir, "gated.sh", "while [ ! -e '" + gate + "' ]; do sleep 0.01; done");
  spec("x1.spec", command("-x"));
  spec("x2.spec", command("-x"));
  spec("y.spec", command("-y"));
  LogSink log(kJobSources);
  queue.load(pendingFiles(), queued, 1);
  EXPECT_EQ(namesOf(queue.getPendingJobs()), (std::vector<std::string>{"x1.spec", "y.spec"}));
  EXPECT_FALSE(fs::exists(pending + "/x2.spec"));
  EXPECT_EQ(log.count("JobQueue::hasDuplicate: Detected duplicate job % | " + pending + "/x2.spec"),
            1u);

  // Another queue keeps its own jobs: the same command may be queued there once.
  JobQueue other;
  other.setName("daily");
  spec("x3.spec", command("-x"));
  other.load(pendingFiles(), queued, 1);
  EXPECT_EQ(other.getJobCount(), 1u);

  // While x1 runs, and after it has finished but is still held, a new copy is refused.
  Job* running = queue.getPendingJobs().front();
  std::string why;
  ASSERT_TRUE(queue.startJob(*running, test::openRunRecords(dir.file("runs")), std::nullopt, why))
      << why;
  EXPECT_EQ(namesOf(queue.getRunningJobs()), std::vector<std::string>{"x1.spec"});
  EXPECT_EQ(namesOf(queue.getPendingJobs()), std::vector<std::string>{"y.spec"});
  spec("x4.spec", command("-x"));
  queue.load(pendingFiles(), queued, 1);
  EXPECT_FALSE(fs::exists(pending + "/x4.spec"));
  writeRaw(gate, "");
  ASSERT_TRUE(waitFor([&] { return !queue.getFinishedJobs().empty(); }));
  EXPECT_TRUE(queue.getRunningJobs().empty());
  spec("x5.spec", command("-x"));
  queue.load(pendingFiles(), queued, 1);
  EXPECT_FALSE(fs::exists(pending + "/x5.spec"));

  // Once collected, the command is new again.
  queue.eraseJobs(queue.getFinishedJobs());
  spec("x6.spec", command("-x"));
  queue.load(pendingFiles(), queued, 1);
  EXPECT_EQ(namesOf(queue.getPendingJobs()), (std::vector<std::string>{"y.spec", "x6.spec"}));
}

TEST_F(JobQueueTest, JobsAreKeptRecoveredThenUrgentThenOlderFirstAsTheyAreLoaded) {
  const std::string running = dir.file("running");
  fs::create_directories(running);
  // Names in path order, so that equal keys show the order the files were loaded in.
  spec("n1.spec", command("1", "\npriority-level=normal\ncreated=2024-02"));
  spec("n2.spec", command("2", "\npriority-level=very high\ncreated=2024-03"));
  spec("n3.spec", command("3", "\npriority-level=normal\ncreated=2024-01"));
  spec("n4.spec", command("4", "\npriority-level=normal"));
  spec("n5.spec", command("5", "\npriority-level=normal\ncreated=2024-01"));
  queue.load(pendingFiles(), queued, 1);
  spec("q1.spec", command("q1", "\npriority-level=very low\ncreated=2030"));
  queue.load(pendingFiles(), queued, 4);
  writeRaw(running + "/r1.spec", command("r1", "\npriority-level=low"));
  queue.load({running + "/r1.spec"}, queued, 5);

  // In order without a sort, each load placing its jobs among the others.
  EXPECT_EQ(namesOf(queue.getPendingJobs()),
            (std::vector<std::string>{"r1.spec", "q1.spec", "n2.spec", "n4.spec", "n3.spec",
                                      "n5.spec", "n1.spec"}));
  // A sort finds nothing to change, and pointers handed out before it name the same jobs.
  std::vector<Job*> before = queue.getPendingJobs();
  ASSERT_TRUE(queue.sortJobs());
  EXPECT_EQ(queue.getPendingJobs(), before);
}

TEST_F(JobQueueTest, EraseTakeAndCopyKeepTheDuplicateIndexRight) {
  spec("a.spec", command("a"));
  spec("b.spec", command("b"));
  spec("c.spec", command("c"));
  queue.load(pendingFiles(), queued, 1);

  const Job stranger;
  queue.eraseJob(&stranger);
  queue.eraseJob(nullptr);
  EXPECT_EQ(queue.getJobCount(), 3u);

  JobQueue copy = queue;
  EXPECT_EQ(copy.getName(), "nightly");
  ASSERT_EQ(copy.getJobCount(), 3u);
  EXPECT_NE(copy.getPendingJobs().front(), queue.getPendingJobs().front());
  // The copy's index names its own jobs: erasing there frees the command there only.
  copy.eraseJob(copy.getPendingJobs()[1]);
  EXPECT_EQ(namesOf(copy.getPendingJobs()), (std::vector<std::string>{"a.spec", "c.spec"}));
  EXPECT_EQ(queue.getJobCount(), 3u);
  spec("b2.spec", command("b"));
  JobQueue second = queue;
  Job again(KeyValueMap{{"executable", program}, {"arguments", "b"}});
  again.setSpecPath(pending + "/b2.spec");
  EXPECT_TRUE(copy.insertJobToQueue(again, queueDir()));
  EXPECT_TRUE(second.hasDuplicate(Job(KeyValueMap{{"executable", program}, {"arguments", "b"}})));

  Job first = queue.takeFirstJob();
  EXPECT_EQ(fs::path(first.getSpecPath()).filename(), "a.spec");
  spec("a2.spec", command("a"));
  queue.load({pending + "/a2.spec"}, queued, 1);
  EXPECT_EQ(namesOf(queue.getPendingJobs()),
            (std::vector<std::string>{"b.spec", "c.spec", "a2.spec"}));

  queue.takeFirstJob();
  queue.takeFirstJob();
  queue.takeFirstJob();
  EXPECT_TRUE(queue.isEmpty());
  EXPECT_THROW(queue.takeFirstJob(), JobQueue::TakeFirstJob_Empty);
}

TEST_F(JobQueueTest, StartedJobsAreFollowedThroughCopiesErasesAndAnEndAlreadyRead) {
  spec("a.spec", command("a"));
  spec("b.spec", command("b"));
  queue.load(pendingFiles(), queued, 1);
  const RunRecords::Pointer records = test::openRunRecords(dir.file("runs"));
  Job* job = queue.getPendingJobs().back();
  std::string why;
  ASSERT_TRUE(queue.startJob(*job, records, std::nullopt, why)) << why;
  job->setHoldsCore(true);
  // A copy follows its own started job, not the original's.
  JobQueue copy = queue;
  ASSERT_TRUE(waitFor([&] { return queue.getFinishedJobs().size() == 1; }));
  EXPECT_EQ(namesOf(queue.getFinishedJobs()), std::vector<std::string>{"b.spec"});
  EXPECT_EQ(namesOf(copy.getFinishedJobs()), std::vector<std::string>{"b.spec"});
  // The poll above read the end: no descriptor is left to tell the loop, the flag must.
  bool endUnhandled = false;
  EXPECT_TRUE(queue.wakeDescriptors(endUnhandled).empty());
  EXPECT_TRUE(endUnhandled);
  // Once collected, nothing is left to wake for; a requeued job is pending again.
  copy.setJobProcess(*copy.getFinishedJobs().front(), nullptr);
  EXPECT_EQ(namesOf(copy.getPendingJobs()), (std::vector<std::string>{"a.spec", "b.spec"}));
  queue.eraseJobs(queue.getFinishedJobs());
  endUnhandled = false;
  EXPECT_TRUE(queue.wakeDescriptors(endUnhandled).empty());
  EXPECT_FALSE(endUnhandled);
  EXPECT_TRUE(queue.getFinishedJobs().empty());
  EXPECT_EQ(namesOf(queue.getPendingJobs()), std::vector<std::string>{"a.spec"});
}

TEST_F(JobQueueTest, FilesOwnedByQueuedJobsAreNeverTakenForDuplicates) {
  spec("a.spec", command("a"));
  queue.load(pendingFiles(), queued, 1);
  ASSERT_EQ(queue.getJobCount(), 1u);

  // Start-up recovery lists the queue folders after it has filled them.
  std::set<std::string> inQueueDir;
  for (const auto& entry : fs::directory_iterator(queueDir())) {
    inQueueDir.insert(entry.path().string());
  }
  queue.load(inQueueDir, queued, 4);
  EXPECT_EQ(queue.getJobCount(), 1u);
  EXPECT_TRUE(fs::exists(queueDir() + "/a.spec"));

  // A name already taken in the queue's folder: the newcomer goes in under a free name, and
  // the file that was there is left alone.
  writeRaw(queueDir() + "/m.spec", "someone=else");
  spec("m.spec", command("m"));
  queue.load(pendingFiles(), queued, 1);
  ASSERT_EQ(queue.getJobCount(), 2u);
  EXPECT_EQ(queue.getPendingJobs().back()->getSpecPath(), queueDir() + "/m.1.spec");
  EXPECT_FALSE(fs::exists(pending + "/m.spec"));
  EXPECT_NE(valueOf(queueDir() + "/m.1.spec", "queued"), "<missing>");
  EXPECT_EQ(readRaw(queueDir() + "/m.spec"), "someone=else");

  // A file that cannot be moved in at all stays in the pending folder, is not queued from
  // there (it would run from a folder no restart looks at), and is tried again.
  fs::permissions(queueDir(), fs::perms::owner_read | fs::perms::owner_exec);
  spec("r.spec", command("r"));
  queue.load(pendingFiles(), queued, 1);
  queue.load(pendingFiles(), queued, 1);
  fs::permissions(queueDir(), fs::perms::owner_all);
  if (::geteuid() != 0) {
    EXPECT_EQ(queue.getJobCount(), 2u);
    EXPECT_TRUE(fs::exists(pending + "/r.spec"));
  }
  queue.load(pendingFiles(), queued, 1);
  EXPECT_EQ(queue.getJobCount(), 3u);
  EXPECT_TRUE(fs::exists(queueDir() + "/r.spec"));
}

TEST_F(JobQueueTest, DirectoriesAreMadeOnFirstUse) {
  const std::string base = dir.file("fresh/queued");
  LogSink log(kJobSources);
  ASSERT_TRUE(queue.load({}, base, 1));
  EXPECT_TRUE(fs::is_directory(base + "/nightly"));
  EXPECT_EQ(log.count("JobQueue::load: Queueing % jobs to %. | 0 | " + base + "/nightly/"), 1u);
  EXPECT_EQ(log.count("@jobscheduler.ensureDirectory.directory-not-found{Unable to find "
                      "directory %.Creating directory..}; | " +
                      base),
            2u);
  EXPECT_EQ(queue.getQueueDirectory("/srv//jobs/./q/.."), "/srv/jobs/nightly/");

  queue.ensureDirectory(dir.file("absent"), false);
  EXPECT_FALSE(fs::exists(dir.file("absent")));
  EXPECT_EQ(log.count("{Unable to find directory %.}; | " + dir.file("absent")), 1u);
  queue.ensureDirectory(base, false);
  EXPECT_EQ(log.count("directory-not-found"), 3u);
}

}  // namespace
}  // namespace Zelcor
