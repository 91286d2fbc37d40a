#include "files/KeyValueFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testsupport/TempDir.h"
#include "testsupport/WaitFor.h"

namespace ZelcorCorelib {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using Entries = std::vector<std::pair<std::string, std::string>>;

void writeRaw(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string readRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Entries entriesOf(const KeyValueMap& map) { return Entries(map.begin(), map.end()); }

std::vector<std::string> namesIn(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(KeyValueFile, ReadFollowsTheRecordRules) {
  using namespace std::string_literals;
  const struct {
    const char* name;
    std::string content;
    Entries expected;
  } cases[] = {
      {"plain, no final separator", "b=2\na=1", {{"a", "1"}, {"b", "2"}}},
      {"final separator", "a=1\n", {{"a", "1"}}},
      {"cr lf keeps the carriage return", "a=1\r\nb= x \r\n", {{"a", "1\r"}, {"b", " x \r"}}},
      {"key not trimmed", "a =1\n a=2", {{" a", "2"}, {"a ", "1"}}},
      {"first separator splits", "k=v=w", {{"k", "v=w"}}},
      {"no separator and empty key dropped", "junk\n=v\n\n#c\n#k=v", {{"#k", "v"}}},
      {"duplicates in file order",
       "k=3\nj=0\nk=1\nk=2",
       {{"j", "0"}, {"k", "3"}, {"k", "1"}, {"k", "2"}}},
      {"empty value kept", "k=", {{"k", ""}}},
      {"raw bytes", "k\0=\xff\xfe\0v\n\x01\x02"s, {{"k\0"s, "\xff\xfe\0v"s}}},
      {"empty file", "", {}},
      {"only separators", "\n\n\n", {}},
  };
  TempDir dir;
  const std::string path = dir.file("case.spec");
  for (const auto& c : cases) {
    writeRaw(path, c.content);
    KeyValueMap map{{"stale", "entry"}};
    EXPECT_TRUE(readKeyValueFile(path, map)) << c.name;
    EXPECT_EQ(entriesOf(map), c.expected) << c.name;
  }
}

TEST(KeyValueFile, ReadOptionsTrimKeysAndKeepEmptyOnes) {
  TempDir dir;
  const std::string path = dir.file("opts");
  writeRaw(path, " \ta\v\b\f =1 \n=empty\nx;y;z");
  KeyValueMap map;
  ASSERT_TRUE(readKeyValueFile(path, map, '\n', '=', true, true));
  EXPECT_EQ(entriesOf(map), (Entries{{"a", "1 "}}));
  ASSERT_TRUE(readKeyValueFile(path, map, '\n', '=', false, false));
  EXPECT_EQ(entriesOf(map), (Entries{{"", "empty"}, {" \ta\v\b\f ", "1 "}}));
  // Other separators: the sysinfo reader and spec files always use LF and '=', others work too.
  ASSERT_TRUE(readKeyValueFile(path, map, ';', '\n', false, true));
  EXPECT_EQ(entriesOf(map), (Entries{{" \ta\v\b\f =1 ", "=empty\nx"}}));
}

TEST(KeyValueFile, ReadFailsWithoutAFileAndLeavesNothing) {
  TempDir dir;
  fs::create_directory(dir.file("folder"));
  for (const std::string& path : {std::string(), dir.file("missing"), dir.file("folder")}) {
    KeyValueMap map{{"stale", "entry"}};
    EXPECT_FALSE(readKeyValueFile(path, map)) << path;
    EXPECT_TRUE(map.empty()) << path;
  }
}

TEST(KeyValueFile, HugeFilesReadCompletelyAndFast) {
  TempDir dir;
  // Records of uneven length so that many of them straddle the reader's blocks.
  std::string content;
  std::size_t records = 0;
  while (content.size() < 50u * 1024 * 1024) {
    content += "key" + std::to_string(records % 1000) + "=" +
               std::string(1 + (records * 7919) % 3000, 'v') + "\n";
    ++records;
  }
  content += "last=tail";
  const std::string path = dir.file("huge.spec");
  writeRaw(path, content);

  const auto started = std::chrono::steady_clock::now();
  KeyValueMap map;
  ASSERT_TRUE(readKeyValueFile(path, map));
  EXPECT_EQ(map.size(), records + 1);
  EXPECT_EQ(map.count("key7"), (records + 992) / 1000);
  auto it = map.find("last");
  ASSERT_NE(it, map.end());
  EXPECT_EQ(it->second, "tail");
  auto key1 = map.lower_bound("key1");
  EXPECT_EQ(key1->second, std::string(1 + 7919 % 3000, 'v'));

  // One 50 MB record without a separator: nothing to keep, and no crash.
  writeRaw(path, std::string(50u * 1024 * 1024, '\x01'));
  ASSERT_TRUE(readKeyValueFile(path, map));
  EXPECT_TRUE(map.empty());
  // Generous even under the sanitizers; a byte-per-call reader takes far longer.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

TEST(KeyValueFile, WriteSortsAndEndsWithoutSeparator) {
  using namespace std::string_literals;
  TempDir dir;
  const std::string path = dir.file("out.spec");
  KeyValueMap map{{"b", "2\r"}, {"a", "1"}, {"b", "x=y"}, {"z\0"s, "\xff"s}};
  ASSERT_TRUE(writeKeyValueFile(map, path));
  EXPECT_EQ(readRaw(path), "a=1\nb=2\r\nb=x=y\nz\0=\xff"s);
  KeyValueMap back;
  ASSERT_TRUE(readKeyValueFile(path, back));
  EXPECT_EQ(back, map);

  ASSERT_TRUE(writeKeyValueFile(map, path, ';', ':'));
  EXPECT_EQ(readRaw(path), "a:1;b:2\r;b:x=y;z\0:\xff"s);
  ASSERT_TRUE(writeKeyValueFile(KeyValueMap{}, path));
  EXPECT_EQ(readRaw(path), "");
  EXPECT_EQ(namesIn(dir), std::vector<std::string>{"out.spec"});
}

TEST(KeyValueFile, RewriteKeepsModeAndFollowsLinks) {
  TempDir dir;
  const std::string real = dir.file("real.spec");
  writeRaw(real, "old=1");
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(writeKeyValueFile({{"new", "2"}}, real));
  EXPECT_EQ(readRaw(real), "new=2");
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  const std::string link = dir.file("link.spec");
  fs::create_symlink(real, link);
  ASSERT_TRUE(writeKeyValueFile({{"via", "link"}}, link));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(readRaw(real), "via=link");
  EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"link.spec", "real.spec"}));
}

TEST(KeyValueFile, FailedWriteLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  // A folder in the target's place: the final rename fails after all data went out.
  fs::create_directory(dir.file("taken.spec"));
  writeRaw(dir.file("taken.spec/inside"), "x");
  EXPECT_FALSE(writeKeyValueFile({{"a", "1"}}, dir.file("taken.spec")));
  EXPECT_EQ(readRaw(dir.file("taken.spec/inside")), "x");
  EXPECT_FALSE(writeKeyValueFile({{"a", "1"}}, dir.file("no-such-folder/x.spec")));
  EXPECT_FALSE(writeKeyValueFile({{"a", "1"}}, ""));
  EXPECT_EQ(namesIn(dir), std::vector<std::string>{"taken.spec"});
}

// The process dies at an arbitrary moment of a rewrite; what is left on disk must be one of
// the two whole files, and a leftover temporary must not look like a spec file.
TEST(KeyValueFileDeathTest, KillDuringRewriteLeavesAWholeFile) {
  // "fast" forks at the statement, so the child writes into this test's folder; "threadsafe"
  // would re-run the whole test in a fresh process with a folder of its own.
  GTEST_FLAG_SET(death_test_style, "fast");
  TempDir dir;
  const std::string path = dir.file("job.spec");
  const KeyValueMap oldMap{{"executable", "/bin/old"}, {"pad", std::string(8 << 20, 'o')}};
  const KeyValueMap newMap{{"executable", "/bin/new"}, {"pad", std::string(6 << 20, 'n')}};
  ASSERT_TRUE(writeKeyValueFile(oldMap, path));
  const std::string oldText = readRaw(path);
  ASSERT_TRUE(writeKeyValueFile(newMap, path));
  const std::string newText = readRaw(path);
  ASSERT_TRUE(writeKeyValueFile(oldMap, path));

  for (int round = 0; round < 3; ++round) {
    EXPECT_EXIT(
        {
          std::thread writer([&] {
            for (int i = 0;; ++i) writeKeyValueFile(i % 2 ? oldMap : newMap, path);
          });
          // Kill in the middle of a rewrite: while a temporary file exists, or, for a writer
          // that works in place, while the file holds neither whole version.
          testing::waitFor([&] {
            std::error_code error;
            const auto size = fs::file_size(path, error);
            if (!error && size != oldText.size() && size != newText.size()) return true;
            for (const auto& entry : fs::directory_iterator(dir.path())) {
              if (entry.path().extension() == ".tmp") return true;
            }
            return false;
          });
          std::raise(SIGKILL);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    const std::string left = readRaw(path);
    EXPECT_TRUE(left == oldText || left == newText) << "size " << left.size();
    for (const auto& entry : fs::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (name == "job.spec") continue;
      EXPECT_NE(entry.path().extension(), ".spec") << name;
      fs::remove(entry.path());
    }
  }
}

}  // namespace
}  // namespace ZelcorCorelib
