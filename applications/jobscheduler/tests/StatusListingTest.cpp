#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "JobListing.h"
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

std::vector<std::string> textsOf(const JobListing::Shared& shared) {
  std::vector<std::string> texts;
  for (const auto& chunk : shared) {
    for (const auto& item : *chunk) texts.push_back(item->text);
  }
  return texts;
}

// Thousands of inserts and erases at random places, across many chunk splits and emptied
// chunks: the listing stays in run order, and every copy handed out earlier still reads as it
// was when it was taken.
TEST(JobListingTest, StaysInOrderAndEveryShareKeepsWhatItSaw) {
  std::mt19937 random(7);
  JobListing listing;
  std::map<JobOrderKey, std::string> model;
  std::vector<std::pair<JobListing::Shared, std::vector<std::string>>> shares;
  std::uint64_t seq = 0;
  const auto expected = [&] {
    std::vector<std::string> texts;
    for (const auto& [key, text] : model) texts.push_back(text);
    return texts;
  };
  for (int step = 0; step < 6000; ++step) {
    const bool grow = step < 3000 ? random() % 4 != 0 : random() % 3 == 0;
    if (grow || model.empty()) {
      JobOrderKey key{static_cast<std::int32_t>(random() % 2),
                      static_cast<std::int32_t>(random() % 3),
                      std::to_string(random() % 50), ++seq};
      const std::string text = "job " + std::to_string(seq);
      listing.insert(key, text);
      model.emplace(std::move(key), text);
    } else {
      auto victim = model.begin();
      std::advance(victim, static_cast<long>(random() % model.size()));
      listing.erase(victim->first);
      model.erase(victim);
    }
    // A key that is not there changes nothing.
    if (step % 97 == 0) listing.erase(JobOrderKey{0, 0, "none", ++seq});
    if (step % 250 == 0) shares.emplace_back(listing.share(), expected());
  }
  ASSERT_EQ(listing.size(), model.size());
  EXPECT_EQ(textsOf(listing.share()), expected());
  for (const auto& [shared, seen] : shares) EXPECT_EQ(textsOf(shared), seen);
  listing.clear();
  EXPECT_TRUE(listing.share().empty());
  EXPECT_EQ(textsOf(shares.back().first), shares.back().second);
}

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
