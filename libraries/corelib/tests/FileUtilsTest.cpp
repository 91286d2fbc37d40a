#include "files/FileUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/FileSystem.h"
#include "testsupport/TempDir.h"

namespace ZelcorCorelib {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Sets a variable for one test and removes it afterwards.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name(name) { ::setenv(name, value, 1); }
  ~ScopedVariable() { ::unsetenv(name); }

 private:
  const char* name;
};

std::string normalized(std::string path) { return normalizedPath(std::move(path)); }

TEST(FileUtils, CollapsingDotComponentsLeavesSeparatorsAndReferencesAlone) {
  ScopedVariable home("ZELCOR_TEST_COLLAPSE", "/elsewhere");
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"/opt/./tools/../bin/run", "/opt/bin/run"},
      {"%ZELCOR_TEST_COLLAPSE%/./x/../run", "%ZELCOR_TEST_COLLAPSE%/run"},
      {"$ZELCOR_TEST_COLLAPSE/a/..", "$ZELCOR_TEST_COLLAPSE"},
      {"C:\\a\\.\\b", "C:\\a\\.\\b"},
      {"//host/x/../y/", "//host/y/"},
      {"../../a", "../../a"},
      {"/a/..", "/"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(collapseDotComponents(c.in), c.out) << c.in;
}

TEST(FileUtils, NormalizePathCollapsesComponents) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"C:/a/./b/../c/", "C:/a/c/"},
      {"C:\\a\\.\\b\\..\\c\\", "C:/a/c/"},
      {"//server/share/../x", "//server/x"},
      {"\\\\server\\share\\..\\x", "//server/x"},
      {"../a/b", "../a/b"},
      {"../../a", "../../a"},
      {"a/../../b", "../b"},
      {"a/b/c/../../d", "a/d"},
      {"a//b///c", "a/b/c"},
      {"/a//b/", "/a/b/"},
      {"./a/.", "a"},
      {"a/..", ""},
      {"./", ""},
      {"/a/..", "/"},
      {"/", "/"},
      {"", ""},
      {"a/%/b", "a/%/b"},
      {"50%", "50%"},
      {"%%/x", "%%/x"},
      {"a/$", "a/$"},
      {"$/a", "$/a"},
  };
  for (const auto& c : cases) EXPECT_EQ(normalized(c.in), c.out) << "input: " << c.in;
}

TEST(FileUtils, NormalizePathExpandsSetVariablesOnly) {
  ScopedVariable dir("ZELCOR_FUT_DIR", "/opt/data");
  ScopedVariable rel("ZELCOR_FUT_REL", "one/two");
  ScopedVariable loop("ZELCOR_FUT_LOOP", "%ZELCOR_FUT_DIR%");
  ScopedVariable empty("ZELCOR_FUT_EMPTY", "");
  ::unsetenv("ZELCOR_FUT_UNSET");
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"%ZELCOR_FUT_DIR%/x", "/opt/data/x"},
      {"%ZELCOR_FUT_UNSET%/x", "%ZELCOR_FUT_UNSET%/x"},
      // The closing '%' of an unset name may open the next reference.
      {"%ZELCOR_FUT_UNSET%ZELCOR_FUT_DIR%", "%ZELCOR_FUT_UNSET/opt/data"},
      // Inserted values are not expanded again.
      {"%ZELCOR_FUT_LOOP%/a", "%ZELCOR_FUT_DIR%/a"},
      {"%ZELCOR_FUT_EMPTY%", ""},
      {"%ZELCOR_FUT_EMPTY%/a", "/a"},
      {"$ZELCOR_FUT_DIR/x", "/opt/data/x"},
      {"$ZELCOR_FUT_DIR\\x", "/opt/data/x"},
      {"a/$ZELCOR_FUT_DIR", "a/$ZELCOR_FUT_DIR"},
      {"$ZELCOR_FUT_UNSET/x", "$ZELCOR_FUT_UNSET/x"},
      {"x$ZELCOR_FUT_REL/../b", "xone/b"},
      {"$ZELCOR_FUT_UNSET$ZELCOR_FUT_DIR/x", "$ZELCOR_FUT_UNSET/opt/data/x"},
  };
  for (const auto& c : cases) EXPECT_EQ(normalized(c.in), c.out) << "input: " << c.in;
}

TEST(FileUtils, NameParts) {
  EXPECT_EQ(fileName("a/b/c.txt"), "c.txt");
  EXPECT_EQ(fileName("a\\b\\c.txt"), "c.txt");
  EXPECT_EQ(fileName("a/b/"), "");
  EXPECT_EQ(fileName("c.txt"), "c.txt");
  EXPECT_EQ(fileName(""), "");
  EXPECT_EQ(folderName("/jobs/pending/x.spec"), "/jobs/pending");
  EXPECT_EQ(folderName("/x.spec"), "/");
  EXPECT_EQ(folderName("x.spec"), ".");
  EXPECT_EQ(folderName("a/b/"), "a/b");

  EXPECT_EQ(fileExtension("a/b.tar.gz"), "gz");
  EXPECT_EQ(fileExtension("a/b.c/d"), "");
  EXPECT_EQ(fileExtension("a/b."), "");
  EXPECT_EQ(fileExtension("noext"), "");
  EXPECT_EQ(fileExtension("dir/.hidden"), "hidden");

  EXPECT_TRUE(isShortcut("x/job.LNK"));
  EXPECT_TRUE(isShortcut("job.lnk"));
  EXPECT_FALSE(isShortcut("job.lnk.txt"));
  EXPECT_FALSE(isShortcut("lnk"));
  EXPECT_FALSE(isShortcut("a.lnk/b"));
}

TEST(FileUtils, ResolveShortcutFollowsSymlinks) {
  TempDir dir("fileutils");
  writeFile(dir.file("target.txt"), "x");
  fs::create_symlink("target.txt", dir.path() / "relative.lnk");
  fs::create_symlink(dir.path() / "target.txt", dir.path() / "absolute.LNK");
  fs::create_symlink("target.txt", dir.path() / "plain-link");
  writeFile(dir.file("regular.lnk"), "not a link");

  std::string path = dir.file("relative.lnk");
  resolveShortcut(path);
  EXPECT_EQ(path, dir.file("target.txt"));

  path = dir.file("absolute.LNK");
  resolveShortcut(path);
  EXPECT_EQ(path, dir.file("target.txt"));

  for (const char* name : {"plain-link", "regular.lnk", "missing.lnk"}) {
    path = dir.file(name);
    resolveShortcut(path);
    EXPECT_EQ(path, dir.file(name));
  }
}

TEST(FileUtils, EntryTests) {
  TempDir dir("fileutils");
  writeFile(dir.file("file"), "x");
  fs::create_directory(dir.path() / "sub");
  fs::create_symlink("nowhere", dir.path() / "dangling");
  fs::create_symlink("sub", dir.path() / "to-sub");

  const struct {
    std::string path;
    bool exists, regular, directory;
  } cases[] = {
      {dir.file("file"), true, true, false},
      {dir.file("sub"), true, false, true},
      {dir.file("to-sub"), true, false, true},
      {dir.file("missing"), false, false, false},
      {dir.file("dangling"), false, false, false},
      {"", false, false, false},
      {dir.file("file") + std::string(1, '\0') + "x", false, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exists(c.path), c.exists) << c.path;
    EXPECT_EQ(isRegularFile(c.path), c.regular) << c.path;
    EXPECT_EQ(isDirectory(c.path), c.directory) << c.path;
  }
}

TEST(FileUtils, CreateDirectoryMakesEveryLevel) {
  TempDir dir("fileutils");
  EXPECT_TRUE(createDirectory(dir.str() + "/a/b/c"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "a/b/c"));
  EXPECT_TRUE(createDirectory(dir.str() + "/a/b/c"));  // already there

  EXPECT_TRUE(createDirectory(dir.str() + "//x///y/./z/"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "x/y/z"));

  ScopedVariable base("ZELCOR_FUT_BASE", dir.str().c_str());
  EXPECT_TRUE(createDirectory("%ZELCOR_FUT_BASE%\\env\\made"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "env/made"));

  writeFile(dir.file("blocker"), "x");
  EXPECT_FALSE(createDirectory(dir.str() + "/blocker/inner"));
  EXPECT_FALSE(createDirectory(dir.file("blocker")));
  EXPECT_FALSE(createDirectory(""));
}

TEST(FileUtils, ListDirectorySplitsMatchingNames) {
  TempDir dir("fileutils");
  writeFile(dir.file("b.spec"), "");
  writeFile(dir.file("a.spec"), "");
  writeFile(dir.file("c.txt"), "");
  fs::create_directory(dir.path() / "sub.spec");
  fs::create_directory(dir.path() / "other");
  fs::create_symlink("sub.spec", dir.path() / "link.spec");

  std::set<std::string> files{"stale"}, directories{"stale"};
  listDirectory(dir.str(), "*.spec", files, directories);
  EXPECT_EQ(files, (std::set<std::string>{"a.spec", "b.spec"}));
  EXPECT_EQ(directories, (std::set<std::string>{"link.spec", "sub.spec"}));

  listDirectory(dir.str(), "*", files, directories);
  EXPECT_EQ(files, (std::set<std::string>{"a.spec", "b.spec", "c.txt"}));
  EXPECT_EQ(directories, (std::set<std::string>{"link.spec", "other", "sub.spec"}));

  listDirectory(dir.str(), "?.spec", files, directories);  // the whole name must match
  EXPECT_EQ(files, (std::set<std::string>{"a.spec", "b.spec"}));
  EXPECT_TRUE(directories.empty());

  listDirectory(dir.file("missing"), "*", files, directories);
  EXPECT_TRUE(files.empty());
  EXPECT_TRUE(directories.empty());
  listDirectory(dir.file("c.txt"), "*", files, directories);
  EXPECT_TRUE(files.empty());
}

TEST(FileUtils, MoveFileOnOneDevice) {
  TempDir dir("fileutils");
  const std::string source = dir.file("source"), target = dir.file("target");

  writeFile(source, "payload");
  EXPECT_TRUE(moveFile(source, target, false));
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(readFile(target), "payload");

  // An existing target is left alone without overwrite, replaced with it.
  writeFile(source, "new");
  EXPECT_FALSE(moveFile(source, target, false));
  EXPECT_EQ(readFile(source), "new");
  EXPECT_EQ(readFile(target), "payload");
  EXPECT_TRUE(moveFile(source, target, true));
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(readFile(target), "new");

  // A dangling link is a name too.
  writeFile(source, "s");
  fs::create_symlink("nowhere", dir.path() / "dangling");
  EXPECT_FALSE(moveFile(source, dir.file("dangling"), false));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "dangling"));

  // An empty folder in the way is removed when overwriting; a full one stops the move.
  fs::create_directory(dir.path() / "empty");
  EXPECT_TRUE(moveFile(source, dir.file("empty"), true));
  EXPECT_EQ(readFile(dir.file("empty")), "s");
  fs::create_directories(dir.path() / "full/inner");
  writeFile(source, "s");
  EXPECT_FALSE(moveFile(source, dir.file("full"), true));
  EXPECT_EQ(readFile(source), "s");
  EXPECT_TRUE(fs::is_directory(dir.path() / "full/inner"));
}

TEST(FileUtils, MoveFileRefusesBadSources) {
  TempDir dir("fileutils");
  fs::create_directory(dir.path() / "folder");
  writeFile(dir.file("source"), "s");
  EXPECT_FALSE(moveFile("", dir.file("t1"), false));
  EXPECT_FALSE(moveFile(dir.file("missing"), dir.file("t2"), true));
  EXPECT_FALSE(moveFile(dir.file("folder"), dir.file("t3"), true));
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder"));
  EXPECT_FALSE(moveFile(dir.file("source"), dir.file("no/such/folder/t"), false));
  EXPECT_FALSE(moveFile(dir.file("source"), "", true));
  EXPECT_EQ(readFile(dir.file("source")), "s");
}

// Another process may create the target at any moment; whichever comes first must win whole.
TEST(FileUtils, MoveFileNeverOverwritesATargetThatAppearsMeanwhile) {
  TempDir dir("fileutils");
  const std::string source = dir.file("source"), target = dir.file("target");
  for (int round = 0; round < 1000; ++round) {
    writeFile(source, "S");
    fs::remove(target);
    std::atomic<bool> go{false};
    bool racerCreated = false;
    std::thread racer([&] {
      while (!go.load()) std::this_thread::yield();
      if (std::FILE* file = std::fopen(target.c_str(), "wx")) {  // fails if it exists
        std::fputs("T", file);
        std::fclose(file);
        racerCreated = true;
      }
    });
    go.store(true);
    bool moved = moveFile(source, target, false);
    racer.join();
    ASSERT_NE(moved, racerCreated) << "round " << round;
    if (moved) {
      ASSERT_FALSE(fs::exists(source));
      ASSERT_EQ(readFile(target), "S");
    } else {
      ASSERT_EQ(readFile(source), "S");
      ASSERT_EQ(readFile(target), "T");
    }
  }
}

TEST(FileUtils, NoReplacePrimitivesLeaveAnExistingTarget) {
  TempDir dir("fileutils");
  const std::string source = dir.file("source"), target = dir.file("target");
  writeFile(source, "S");
  writeFile(target, "T");
  EXPECT_EQ(platform::renameNoReplace(source, target), platform::FsResult::targetExists);
  EXPECT_EQ(platform::linkThenUnlink(source, target), platform::FsResult::targetExists);
  EXPECT_EQ(platform::copyFile(source, target, true, 4096), platform::FsResult::targetExists);
  EXPECT_EQ(readFile(source), "S");
  EXPECT_EQ(readFile(target), "T");

  fs::remove(target);
  EXPECT_EQ(platform::linkThenUnlink(source, target), platform::FsResult::ok);
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(readFile(target), "S");
}

TEST(FileUtils, CopyKeepsContentModeAndNeverTruncatesItsSource) {
  TempDir dir("fileutils");
  std::string content;
  for (int i = 0; i < 5000; ++i) content += static_cast<char>(i % 251);
  writeFile(dir.file("source"), content);
  fs::permissions(dir.path() / "source",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  // A buffer that does not divide the size exercises the partial last block.
  ASSERT_EQ(platform::copyFile(dir.file("source"), dir.file("copy"), true, 7),
            platform::FsResult::ok);
  EXPECT_EQ(readFile(dir.file("copy")), content);
  EXPECT_EQ(fs::status(dir.path() / "copy").permissions(),
            fs::status(dir.path() / "source").permissions());

  writeFile(dir.file("longer"), content + content);
  ASSERT_EQ(platform::copyFile(dir.file("source"), dir.file("longer"), false, 0),
            platform::FsResult::ok);
  EXPECT_EQ(readFile(dir.file("longer")), content);

  fs::create_hard_link(dir.path() / "source", dir.path() / "alias");
  EXPECT_NE(platform::copyFile(dir.file("source"), dir.file("source"), false, 4096),
            platform::FsResult::ok);
  EXPECT_NE(platform::copyFile(dir.file("alias"), dir.file("source"), false, 4096),
            platform::FsResult::ok);
  EXPECT_EQ(readFile(dir.file("source")), content);
}

TEST(FileUtils, MoveFileAcrossDevicesCopiesThenDeletes) {
  const fs::path other = "/dev/shm";
  std::error_code error;
  TempDir dir("fileutils");
  if (!fs::is_directory(other, error) ||
      platform::fileStatus(other.string())->device == platform::fileStatus(dir.str())->device) {
    GTEST_SKIP() << "no second file system to move across";
  }
  TempDir away("fileutils", other);
  std::string content(10000, 'x');
  content += "end";
  writeFile(dir.file("source"), content);

  EXPECT_TRUE(moveFile(dir.file("source"), away.file("target"), false, 3));
  EXPECT_FALSE(fs::exists(dir.path() / "source"));
  EXPECT_EQ(readFile(away.file("target")), content);

  writeFile(dir.file("source"), "second");
  EXPECT_FALSE(moveFile(dir.file("source"), away.file("target"), false));
  EXPECT_EQ(readFile(dir.file("source")), "second");
  EXPECT_EQ(readFile(away.file("target")), content);

  EXPECT_TRUE(moveFile(dir.file("source"), away.file("target"), true));
  EXPECT_FALSE(fs::exists(dir.path() / "source"));
  EXPECT_EQ(readFile(away.file("target")), "second");

  writeFile(away.file("back"), "b");
  EXPECT_FALSE(moveFile(away.file("back"), dir.file("no/folder/x"), true));
  EXPECT_EQ(readFile(away.file("back")), "b");
}

TEST(FileUtils, DeleteFile) {
  TempDir dir("fileutils");
  writeFile(dir.file("plain"), "x");
  EXPECT_TRUE(deleteFile(dir.file("plain"), false));
  EXPECT_FALSE(fs::exists(dir.path() / "plain"));
  EXPECT_FALSE(deleteFile(dir.file("plain"), true));
  EXPECT_FALSE(deleteFile("", true));

  writeFile(dir.file("readonly"), "x");
  fs::permissions(dir.path() / "readonly", fs::perms::owner_read);
  EXPECT_TRUE(deleteFile(dir.file("readonly"), true));
  EXPECT_FALSE(fs::exists(dir.path() / "readonly"));

  fs::create_directory(dir.path() / "folder");
  EXPECT_FALSE(deleteFile(dir.file("folder"), true));
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder"));

  fs::create_symlink("folder", dir.path() / "link");
  EXPECT_TRUE(deleteFile(dir.file("link"), false));
  EXPECT_TRUE(fs::is_directory(dir.path() / "folder"));
}

// A forced delete that still fails must not leave the file more writable than it was.
TEST(FileUtils, FailedForcedDeleteRestoresPermissions) {
  TempDir dir("fileutils");
  fs::create_directory(dir.path() / "locked");
  const std::string file = dir.file("locked/file");
  writeFile(file, "x");
  fs::permissions(dir.path() / "locked/file", fs::perms::owner_read);
  fs::permissions(dir.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  std::ofstream probe(dir.file("locked/probe"));
  if (probe) GTEST_SKIP() << "running with privileges that ignore folder permissions";

  EXPECT_FALSE(deleteFile(file, true));
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read);
  fs::permissions(dir.path() / "locked", fs::perms::owner_all);
}

TEST(FileUtils, WideConversionRoundTrips) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, e-acute, euro, emoji
  const std::u16string wide = u"a\u00E9\u20AC\U0001F600";
  EXPECT_EQ(toWide(text), wide);
  EXPECT_EQ(toNarrow(wide), text);
  EXPECT_EQ(toWide(""), u"");
  EXPECT_EQ(toNarrow(u""), "");
  EXPECT_EQ(toWide(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(FileUtils, WideConversionReplacesMalformedInput) {
  const struct {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"\xC3", u"\uFFFD"},  // cut short at the end
      {"\xE2\x82"
       "A",
       u"\uFFFD"
       u"A"},                                             // cut short before ASCII
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\x80"
       "b",
       u"\uFFFD"
       u"b"},  // stray continuation
      {"\xFF", u"\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(toWide(c.in), c.out);

  EXPECT_EQ(toNarrow(std::u16string{0xD800, u'a'}),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(toNarrow(std::u16string{0xDC00}), "\xEF\xBF\xBD");
  EXPECT_EQ(toNarrow(std::u16string{0xD83D}), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace ZelcorCorelib
