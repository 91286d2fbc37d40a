#include "JobOutputs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"

namespace Zelcor {
namespace {

using ZelcorCorelib::test::TempDir;
using ZelcorCorelib::test::writeRaw;

// A name is never handed out twice: not when its file exists (a job of the same name before),
// not while its file has yet to be made (two queues starting jobs of one name at once), and a
// dangling link or a long name still gives a usable one.
TEST(JobOutputs, NamesAreFreeEvenBeforeTheirFilesExistAndFitTheFileSystem) {
  TempDir folder("job-outputs");
  const std::string base = folder.path().string();
  JobOutputs none;
  EXPECT_FALSE(none.isEnabled());
  EXPECT_EQ(none.choose("a.spec", std::nullopt), "");

  JobOutputs outputs(base);
  writeRaw(folder.path() / "build.out", "yesterday\n");
  std::filesystem::create_symlink(folder.path() / "nowhere", folder.path() / "build.1.out");
  EXPECT_EQ(outputs.choose("build.spec", std::nullopt), base + "/build.2.out");
  EXPECT_EQ(outputs.choose("build.spec", std::nullopt), base + "/build.3.out");
  EXPECT_EQ(outputs.choose("other", std::nullopt), base + "/other.out");
  // A folder removed under the scheduler is made again.
  std::filesystem::remove_all(folder.path());
  EXPECT_EQ(outputs.choose("build.spec", std::nullopt), base + "/build.out");
  EXPECT_TRUE(std::filesystem::is_directory(folder.path()));

  const std::string longName(250, 'x');
  const std::string chosen = outputs.choose(longName + ".spec", std::nullopt);
  EXPECT_LE(std::filesystem::path(chosen).filename().string().size(), 244u);
  const std::string second = outputs.choose(longName + ".spec", std::nullopt);
  EXPECT_NE(chosen, second);
  EXPECT_LE(std::filesystem::path(second).filename().string().size(), 255u);
}

// Only the file directly in the owner's own folder counts as theirs to have made for them.
TEST(JobOutputs, AnOwnersFolderIsTheirNameDirectlyUnderTheFolder) {
  TempDir folder("job-outputs-owner");
  const std::string base = folder.path().string();
  JobOutputs outputs(base);
  const std::uint32_t me = ::geteuid();
  const std::string mine = outputs.choose("job.spec", me);
  ASSERT_EQ(std::filesystem::path(mine).parent_path().parent_path().string(), base);
  EXPECT_TRUE(outputs.isOwnersFolder(mine, me));
  const std::string own = std::filesystem::path(mine).parent_path().string();
  EXPECT_FALSE(outputs.isOwnersFolder(own + "/deeper/job.out", me));
  EXPECT_FALSE(outputs.isOwnersFolder(own + "/", me));
  EXPECT_FALSE(outputs.isOwnersFolder(base + "/job.out", me));
  EXPECT_FALSE(outputs.isOwnersFolder(own + "x/job.out", me));
  EXPECT_FALSE(JobOutputs().isOwnersFolder(mine, me));
}

}  // namespace
}  // namespace Zelcor
