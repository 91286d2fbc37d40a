#include "JobFolders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using ZelcorCorelib::test::writeRaw;

class JobFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"pending", "queues/q_fast", "queues/q_slow", "running", "finished"}) {
      fs::create_directories(root.file(name));
    }
    folders = {root.file("pending"), root.file("queues"), root.file("running"),
               root.file("finished")};
  }
  // A file written "age" seconds ago.
  void write(const std::string& name, const std::string& text, int age = 0) {
    writeRaw(root.file(name), text);
    const auto when = fs::file_time_type::clock::now() - std::chrono::seconds(age);
    fs::last_write_time(root.file(name), when);
  }
  std::string found(const std::string& name) {
    std::string error;
    const auto job = JobBrowser(folders).find(name, error);
    EXPECT_EQ(error, "");
    if (!job) return "none";
    return std::string(FolderJob::stateName(job->state)) + " " + job->queue + " " + job->name;
  }

  ZelcorCorelib::test::TempDir root;
  JobFolders folders;
};

// A live job of the name before any finished one; among finished, the latest; the exact name
// before numbered ones; never a link, a hidden file or another stem.
TEST_F(JobFoldersTest, FindsTheLiveJobOrTheLatestFinishedOfItsName) {
  write("finished/build.spec", "ended=1\nqueue=q_slow\n", 300);
  write("finished/build.1.spec", "ended=2\n", 100);
  write("finished/build.2.spec", "ended=3\n", 200);
  EXPECT_EQ(found("build"), "finished  build.1.spec");
  EXPECT_EQ(found("build.spec"), "finished  build.1.spec");
  EXPECT_EQ(found("build.2"), "finished  build.2.spec");
  write("pending/build.spec", "executable=/bin/true\n");
  EXPECT_EQ(found("build"), "pending  build.spec");
  fs::rename(root.file("pending/build.spec"), root.file("queues/q_fast/build.spec"));
  EXPECT_EQ(found("build"), "queued q_fast build.spec");
  write("running/build.3.spec", "queue=q_fast\n");
  write("running/build.spec", "queue=q_slow\n");
  EXPECT_EQ(found("build"), "running q_slow build.spec");
  fs::remove(root.file("running/build.spec"));
  EXPECT_EQ(found("build"), "running q_fast build.3.spec");

  EXPECT_EQ(found("buil"), "none");
  EXPECT_EQ(found("other"), "none");
  write("finished/.other.spec", "ended=1\n");
  fs::create_symlink(root.file("finished/build.spec"), root.file("finished/linked.spec"));
  EXPECT_EQ(found("linked"), "none");
  EXPECT_EQ(found(".other"), "none");
}

TEST_F(JobFoldersTest, ListsLiveJobsThenTheNewestFinishedAsTextAndJson) {
  write("running/r.spec", "queue=q_fast\nstarted=1700000000\npid=42\n");
  write("queues/q_slow/b.spec", "executable=/bin/echo\narguments=say \"hi\"\n");
  write("queues/q_slow/a.spec", "executable=/bin/echo\n");
  write("pending/p.spec", "executable=/bin/true\n");
  for (int i = 0; i < 5; ++i) {
    write("finished/f" + std::to_string(i) + ".spec",
          "ended=" + std::to_string(1700000000 + i) + "\nexit-status=" + std::to_string(i) +
              "\nend-reason=exit\n",
          100 - i);
  }
  std::string error;
  std::vector<FolderJob> jobs = JobBrowser(folders).list(2, error);
  EXPECT_EQ(error, "");
  std::vector<std::string> names;
  for (const FolderJob& job : jobs) names.push_back(job.name);
  EXPECT_EQ(names, (std::vector<std::string>{"r.spec", "a.spec", "b.spec", "p.spec", "f4.spec",
                                             "f3.spec"}));
  EXPECT_EQ(JobBrowser(folders).list(0, error).size(), 4u);

  const std::string text = JobBrowser::listText(jobs);
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "STATE     QUEUE   NAME     QUEUED  STARTED              ENDED                EXIT  "
            "REASON");
  EXPECT_NE(text.find("\nqueued    q_slow  a.spec   -       -                    -"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  4     exit\n"), std::string::npos) << text;

  const std::string json = JobBrowser::listJson(jobs);
  EXPECT_NE(json.find("{\"state\": \"running\", \"queue\": \"q_fast\", \"name\": \"r.spec\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"started\": 1700000000, \"ended\": null, \"pid\": 42"), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"arguments\": \"say \\\"hi\\\"\""), std::string::npos) << json;
  EXPECT_EQ(JobBrowser::listJson({}), "[]\n");

  const std::string shown = JobBrowser::showText(jobs[0]);
  EXPECT_EQ(shown,
            "name:  r.spec\nstate: running\nqueue: q_fast\nfile:  " + root.file("running/r.spec") +
                "\n\npid=42\nqueue=q_fast\nstarted=1700000000\n");
}

// A folder that exists but cannot be read is named; a missing one holds no jobs.
TEST_F(JobFoldersTest, AnUnreadableFolderIsNamedAndAMissingOneIsEmpty) {
  fs::remove_all(root.file("pending"));
  std::string error;
  EXPECT_EQ(JobBrowser(folders).list(10, error).size(), 0u);
  EXPECT_EQ(error, "");
  fs::remove_all(root.file("running"));
  writeRaw(root.file("running"), "not a folder");
  EXPECT_FALSE(JobBrowser(folders).find("x", error));
  EXPECT_NE(error.find("cannot read the folder \"" + root.file("running") + "\""),
            std::string::npos)
      << error;
}

}  // namespace
}  // namespace Zelcor
