#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "QueueController.h"
#include "support/JobFolders.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using ZelcorCorelib::test::writeRaw;
using ZelcorCorelib::test::writeScript;
using ZelcorCorelib::testing::waitFor;

class StatusListingTest : public test::JobFolders {
 protected:
  StatusListingTest() : JobFolders("status") {
    giveFoldersTo(controller);
    JobQueue night;
    night.setName("night");
    night.setAckState(0);
    night.setMaxCores(2);
    night.setPriorityLevel(3);
    controller.addQueue(night);
    controller.initQueues();
  }

  const std::string gate = dir.file("gate");
  std::atomic<std::uint8_t> quit{0};
  CorePool cores;
  QueueController controller{&quit, cores};
};

TEST_F(StatusListingTest, ListsEveryQueueUnderEveryHeadingAlsoWhenEmpty) {
  EXPECT_EQ(controller.getStatus(),
            "\tQueue:night max:2 priority:3\n"
            "\tQueue:queue_normal max:0 priority:2\n"
            "\nPending Jobs:\n"
            "\tQueue:night\n\t\t 0 jobs\n"
            "\tQueue:queue_normal\n\t\t 0 jobs\n"
            "Running Jobs:\n"
            "\tQueue:night\n\t\t 0 jobs\n"
            "\tQueue:queue_normal\n\t\t 0 jobs\n"
            "Finished Jobs:\n"
            "\tQueue:night\n\t\t 0 jobs\n"
            "\tQueue:queue_normal\n\t\t 0 jobs\n");
}

TEST_F(StatusListingTest, NumbersJobsPerBlockAndShowsThePidOfRunningOnes) {
  cores.setCores(2);
  const std::string quick = writeScript(dir, "quick.sh", "exit 0");
  const std::string held =
      writeScript(dir, "held.sh", "while [ ! -e '" + gate + "' ]; do sleep 0.02; done");
  writeRaw(pending + "/1.spec", "executable=" + held + "\narguments=--first\ncreated=1");
  writeRaw(pending + "/2.spec", "executable=" + held + "\narguments=--second\ncreated=2");
  writeRaw(pending + "/3.spec", "executable=" + held + "\narguments=\ncreated=3");
  writeRaw(pending + "/4.spec", "executable=" + quick + "\narguments=x y\nqueue=night");
  // night (the higher level) takes one core, queue_normal the other; the quick job then ends
  // but is collected only by the next pass.
  controller.runOnce();
  ASSERT_TRUE(waitFor([&] { return controller.getRunningJobs().size() == 1; }));
  const std::string pid = std::to_string(controller.getRunningJobs().front()->getPid());

  EXPECT_EQ(controller.getStatus(),
            "\tQueue:night max:2 priority:3\n"
            "\tQueue:queue_normal max:0 priority:2\n"
            "\nPending Jobs:\n"
            "\tQueue:night\n\t\t 0 jobs\n"
            "\tQueue:queue_normal\n"
            "\t\t[1] " +
                held +
                " --second\n"
                "\t\t[2] " +
                held +
                " \n"
                "Running Jobs:\n"
                "\tQueue:night\n\t\t 0 jobs\n"
                "\tQueue:queue_normal\n"
                "\t\t[1] " +
                pid + " " + held +
                " --first\n"
                "Finished Jobs:\n"
                "\tQueue:night\n"
                "\t\t[1] " +
                quick +
                " x y\n"
                "\tQueue:queue_normal\n\t\t 0 jobs\n");
  writeRaw(gate, "");
}

// The listener asks for the listing while the loop takes in, starts and collects jobs; run
// under ThreadSanitizer this shows the two never touch a queue at once.
TEST_F(StatusListingTest, ListingIsSafeWhileTheLoopChangesTheQueues) {
  cores.setCores(4);
  const std::string quick = writeScript(dir, "quick.sh", "exit 0");
  constexpr int kJobs = 40;
  std::atomic<bool> done{false};
  std::atomic<int> listings{0};
  std::atomic<int> malformed{0};
  std::thread listener([&] {
    while (!done.load()) {
      const std::string status = controller.getStatus();
      if (status.rfind("\tQueue:night max:2 priority:3\n", 0) != 0 ||
          status.find("\nPending Jobs:\n") == std::string::npos ||
          status.find("Running Jobs:\n") == std::string::npos ||
          status.find("Finished Jobs:\n") == std::string::npos) {
        ++malformed;
      }
      controller.allQueuesInState(1);
      controller.setRunFlags(controller.getRunFlags());
      ++listings;
    }
  });
  for (int i = 0; i < kJobs; ++i) {
    writeRaw(pending + "/" + std::to_string(i) + ".spec", "executable=" + quick +
                                                              "\narguments=" + std::to_string(i) +
                                                              (i % 2 ? "\nqueue=night" : ""));
    controller.runOnce();
  }
  const bool allFinished = waitFor(
      [&] {
        controller.runOnce();
        std::size_t held = 0;
        for (const JobQueue& queue : controller.getQueues()) held += queue.getJobCount();
        return held == 0 && fs::is_empty(pending);
      },
      std::chrono::seconds(60));
  ASSERT_TRUE(waitFor([&] { return listings.load() > 10; }));
  done.store(true);
  listener.join();
  EXPECT_TRUE(allFinished);
  EXPECT_EQ(malformed.load(), 0);
  std::size_t finishedFiles = 0;
  for (const auto& entry : fs::directory_iterator(finished)) {
    finishedFiles += entry.path().extension() == ".spec";
  }
  EXPECT_EQ(finishedFiles, static_cast<std::size_t>(kJobs));
  EXPECT_EQ(cores.getAvailableCores(), 4u);
}

}  // namespace
}  // namespace Zelcor
