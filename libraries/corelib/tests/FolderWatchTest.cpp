#include "platform/FolderWatch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"

namespace ZelcorCorelib {
namespace {

using platform::FolderWatch;
using platform::WakeSignal;
using std::chrono::milliseconds;
using test::TempDir;
using test::writeRaw;

// Generous for a loaded machine; a descriptor that is ready answers at once.
constexpr milliseconds kReady{5000};
constexpr milliseconds kQuiet{50};

bool readable(int descriptor, milliseconds wait) {
  return !platform::waitReadable({descriptor}, wait).empty();
}

TEST(FolderWatch, EachWayAFileArrivesOrChangesWakesAndOneDrainTakesABurst) {
  TempDir dir("folder-watch");
  const std::string folder = dir.file("pending");
  std::filesystem::create_directory(folder);
  FolderWatch watch;
  std::string error;
  ASSERT_TRUE(watch.watch(folder, error)) << error;
  EXPECT_FALSE(readable(watch.descriptor(), kQuiet));
  EXPECT_FALSE(watch.drain());

  writeRaw(dir.file("outside.tmp"), "x");
  std::filesystem::rename(dir.file("outside.tmp"), folder + "/moved.spec");  // the protocol
  ASSERT_TRUE(readable(watch.descriptor(), kReady));
  EXPECT_TRUE(watch.drain());
  EXPECT_FALSE(readable(watch.descriptor(), kQuiet)) << "a drain reads everything";

  writeRaw(folder + "/written.spec", "x");  // written in place
  ASSERT_TRUE(readable(watch.descriptor(), kReady));
  EXPECT_TRUE(watch.drain());
  ASSERT_EQ(::chmod((folder + "/written.spec").c_str(), 0600), 0);  // a refused file mended
  ASSERT_TRUE(readable(watch.descriptor(), kReady));
  EXPECT_TRUE(watch.drain());

  for (int i = 0; i < 500; ++i) writeRaw(folder + "/burst" + std::to_string(i) + ".spec", "x");
  ASSERT_TRUE(readable(watch.descriptor(), kReady));
  EXPECT_TRUE(watch.drain());
  EXPECT_FALSE(readable(watch.descriptor(), kQuiet));
}

TEST(FolderWatch, AFolderThatCannotBeWatchedSaysWhy) {
  TempDir dir("folder-watch-missing");
  FolderWatch watch;
  std::string error;
  EXPECT_FALSE(watch.watch(dir.file("missing"), error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_FALSE(watch.watching());
  writeRaw(dir.file("plain"), "x");
  EXPECT_FALSE(watch.watch(dir.file("plain"), error)) << "a file is no folder";
  EXPECT_FALSE(watch.drain());
}

TEST(WakeSignal, NotificationsBeforeADrainWakeOnce) {
  WakeSignal wake;
  ASSERT_TRUE(wake.open());
  EXPECT_FALSE(readable(wake.descriptor(), kQuiet));
  EXPECT_FALSE(wake.drain());
  for (int i = 0; i < 3; ++i) wake.notify();
  ASSERT_TRUE(readable(wake.descriptor(), kReady));
  EXPECT_TRUE(wake.drain());
  EXPECT_FALSE(readable(wake.descriptor(), kQuiet));
  WakeSignal unopened;
  unopened.notify();  // does nothing, and does not fail
  EXPECT_FALSE(unopened.drain());
}

}  // namespace
}  // namespace ZelcorCorelib
