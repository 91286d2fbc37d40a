// Writing spec files: the keys, the safe write under a unique name, the checks, and jsctl
// submit around it.
#include "SpecWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Jsctl.h"
#include "files/KeyValueFile.h"
#include "testsupport/TempDir.h"
#include "testsupport/TextFiles.h"
#include "testsupport/WaitFor.h"

namespace Zelcor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using Arguments = std::vector<std::string>;

std::vector<std::string> folderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

ZelcorCorelib::KeyValueMap readSpec(const std::string& path) {
  ZelcorCorelib::KeyValueMap entries;
  EXPECT_TRUE(ZelcorCorelib::readKeyValueFile(path, entries));
  return entries;
}

std::string value(const ZelcorCorelib::KeyValueMap& entries, const std::string& key) {
  EXPECT_EQ(entries.count(key), 1u) << key;
  auto entry = entries.find(key);
  return entry == entries.end() ? "<missing>" : entry->second;
}

TEST(SpecWriter, CreatedIsFixedWidthUtcThatSortsInTimeOrder) {
  const sys_days day = year(2025) / January / 31;
  EXPECT_EQ(SpecWriter::createdText(
                system_clock::time_point(day + 23h + 59min + 58s + microseconds(123456))),
            "2025-01-31T23:59:58.123456Z");
  EXPECT_EQ(SpecWriter::createdText(system_clock::time_point()), "1970-01-01T00:00:00.000000Z");

  // Neighbours across every carry: microseconds, seconds, minutes, days, months, years.
  const std::vector<system_clock::time_point> times = {
      system_clock::time_point(sys_days(year(1999) / December / 31) + 23h + 59min + 59s +
                               microseconds(999999)),
      system_clock::time_point(sys_days(year(2000) / January / 1)),
      system_clock::time_point(sys_days(year(2000) / January / 1) + microseconds(1)),
      system_clock::time_point(sys_days(year(2000) / January / 1) + 9s),
      system_clock::time_point(sys_days(year(2000) / January / 1) + 10s),
      system_clock::time_point(sys_days(year(2000) / January / 9) + 10min),
      system_clock::time_point(sys_days(year(2000) / January / 10)),
      system_clock::time_point(sys_days(year(2000) / September / 30)),
      system_clock::time_point(sys_days(year(2000) / October / 1)),
  };
  for (std::size_t i = 1; i < times.size(); ++i) {
    EXPECT_LT(SpecWriter::createdText(times[i - 1]), SpecWriter::createdText(times[i])) << i;
    EXPECT_EQ(SpecWriter::createdText(times[i]).size(), 27u);
  }
}

TEST(SpecWriter, PlainArgumentsStayReadable) {
  EXPECT_EQ(SpecWriter::encodeArguments({"--size=10", "/tmp/x", "it's", "50%", "C:\\dir"}),
            "--size=10 /tmp/x it's 50% C:\\dir");
  EXPECT_EQ(SpecWriter::encodeArguments({"a b"}), "\"a b\"");
  EXPECT_EQ(SpecWriter::encodeArguments({}), "");
}

TEST(SpecWriter, WritesTheKeysAtomicallyUnderAFreshSpecName) {
  ZelcorCorelib::test::TempDir pending;
  SpecRequest request;
  request.executable = "/opt/tool";
  request.arguments = {"-v", "two words"};
  request.queue = "night";
  request.priority = "high";
  request.name = "nightly build/1";
  const system_clock::time_point now(sys_days(year(2025) / March / 2) + 1h);
  const SpecResult result = SpecWriter::write(pending.str(), request, now);
  ASSERT_TRUE(result.ok) << result.error;

  EXPECT_EQ(fs::path(result.path).parent_path(), fs::path(pending.str()));
  const std::string name = fs::path(result.path).filename().string();
  EXPECT_EQ(name.rfind("nightly_build_1-20250302T010000.000000Z-", 0), 0u) << name;
  EXPECT_EQ(fs::path(name).extension(), ".spec");
  // Nothing else is left: the temporary file was renamed, not copied.
  EXPECT_EQ(folderEntries(pending.str()), std::vector<std::string>{name});

  const auto entries = readSpec(result.path);
  EXPECT_EQ(entries.size(), 6u);
  EXPECT_EQ(value(entries, "executable"), "/opt/tool");
  EXPECT_EQ(value(entries, "arguments"), "-v \"two words\"");
  EXPECT_EQ(value(entries, "queue"), "night");
  EXPECT_EQ(value(entries, "priority-level"), "high");
  EXPECT_EQ(value(entries, "name"), "nightly build/1");
  EXPECT_EQ(value(entries, "created"), "2025-03-02T01:00:00.000000Z");

  // Omitted options give no keys, and the file name falls back to "job".
  SpecRequest bare;
  bare.executable = "/opt/tool";
  const SpecResult second = SpecWriter::write(pending.str(), bare, now);
  ASSERT_TRUE(second.ok);
  EXPECT_EQ(fs::path(second.path).filename().string().rfind("job-", 0), 0u);
  const auto bareEntries = readSpec(second.path);
  EXPECT_EQ(bareEntries.size(), 3u);
  EXPECT_EQ(value(bareEntries, "arguments"), "");
}

TEST(SpecWriter, EqualRequestsAtTheSameMomentNeverShareAFile) {
  ZelcorCorelib::test::TempDir pending;
  SpecRequest request;
  request.executable = "/opt/tool";
  request.name = ".hidden";
  const system_clock::time_point now = system_clock::now();
  std::set<std::string> paths;
  for (int i = 0; i < 50; ++i) {
    request.arguments = {std::to_string(i)};
    const SpecResult result = SpecWriter::write(pending.str(), request, now);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(fs::path(result.path).filename().string().rfind("_hidden-", 0), 0u);
    paths.insert(result.path);
  }
  EXPECT_EQ(paths.size(), 50u);
  EXPECT_EQ(folderEntries(pending.str()).size(), 50u);
  // Each kept its own contents.
  std::set<std::string> arguments;
  for (const std::string& path : paths) arguments.insert(value(readSpec(path), "arguments"));
  EXPECT_EQ(arguments.size(), 50u);
}

TEST(SpecWriter, RefusesWhatASpecFileCannotCarryAndLeavesNothingBehind) {
  ZelcorCorelib::test::TempDir pending;
  const auto refused = [&](SpecRequest request, const std::string& expected) {
    const SpecResult result = SpecWriter::write(pending.str(), request, system_clock::now());
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find(expected), std::string::npos) << result.error;
  };
  SpecRequest request;
  request.executable = "/opt/tool";
  request.arguments = {"fine", "two\nlines"};
  refused(request, "argument 2 holds a line feed");
  request.arguments.clear();
  request.queue = " night";
  refused(request, "begins or ends with white space");
  request.queue = "night\r";
  refused(request, "the queue name holds a carriage return");
  request.queue.clear();
  request.name = "a\nb";
  refused(request, "the name holds a line feed");
  request.name.clear();
  request.executable = "/opt/tool\r";
  refused(request, "the executable holds a carriage return");
  EXPECT_TRUE(folderEntries(pending.str()).empty());

  request.executable = "/opt/tool";
  const SpecResult result = SpecWriter::write(pending.file("absent"), request, system_clock::now());
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "the pending folder \"" + pending.file("absent") + "\" does not exist");
  EXPECT_TRUE(folderEntries(pending.str()).empty());
}

class JsctlSubmit : public ::testing::Test {
 protected:
  int run(const Arguments& arguments) {
    std::ostringstream outStream, errStream;
    const int code = Jsctl(outStream, errStream).run(arguments);
    out = outStream.str();
    err = errStream.str();
    return code;
  }
  std::string script(const std::string& name, bool executable = true) {
    const std::string path = folder.file(name);
    ZelcorCorelib::test::writeRaw(path, "#!/bin/sh\nexit 0\n");
    fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read);
    return path;
  }
  ZelcorCorelib::test::TempDir folder;
  ZelcorCorelib::test::TempDir pending;
  std::string out;
  std::string err;
};

TEST_F(JsctlSubmit, PrintsThePathOfTheSpecFileItWrote) {
  const std::string tool = script("tool.sh");
  ASSERT_EQ(run({"submit", "--pending", pending.str(), "--queue", "night", "--priority", "LOW",
                 "--", tool, "a b", ""}),
            Jsctl::kExitDone)
      << err;
  EXPECT_EQ(err, "");
  ASSERT_FALSE(out.empty());
  const std::string path = out.substr(0, out.size() - 1);
  EXPECT_EQ(out.back(), '\n');
  const auto entries = readSpec(path);
  EXPECT_EQ(value(entries, "executable"), tool);
  EXPECT_EQ(value(entries, "arguments"), "\"a b\" \"\"\"\"");
  EXPECT_EQ(value(entries, "priority-level"), "low");
  EXPECT_EQ(value(entries, "queue"), "night");
}

TEST_F(JsctlSubmit, ExecutableBecomesAnAbsolutePathTheSchedulerCanRun) {
  std::string resolved, error;
  // A bare name is looked up on PATH.
  ASSERT_TRUE(Jsctl::resolveExecutable("sh", resolved, error)) << error;
  EXPECT_EQ(resolved.front(), '/');
  EXPECT_EQ(fs::path(resolved).filename(), "sh");
  // A relative path is taken from the current folder.
  const std::string tool = script("tool.sh");
  const fs::path before = fs::current_path();
  fs::current_path(folder.str());
  const bool relative = Jsctl::resolveExecutable("./tool.sh", resolved, error);
  fs::current_path(before);
  EXPECT_TRUE(relative) << error;
  EXPECT_EQ(fs::path(resolved), fs::path(tool));
  // A reference is the scheduler's to resolve.
  EXPECT_TRUE(Jsctl::resolveExecutable("%scripts%/run.sh", resolved, error));
  EXPECT_EQ(resolved, "%scripts%/run.sh");

  const std::vector<std::pair<std::string, std::string>> refused = {
      {"no-such-program-jsctl", "executable \"no-such-program-jsctl\" not found on PATH"},
      {folder.file("missing.sh"), "executable \"" + folder.file("missing.sh") + "\" not found"},
      {folder.str() + "/", "is a folder, not an executable"},
      {script("plain.txt", false), "is not executable"},
  };
  for (const auto& [given, expected] : refused) {
    EXPECT_EQ(run({"submit", "--pending", pending.str(), "--", given}), Jsctl::kExitUsage);
    EXPECT_NE(err.find(expected), std::string::npos) << err;
  }
  EXPECT_TRUE(folderEntries(pending.str()).empty());
}

TEST_F(JsctlSubmit, FailuresAndNotes) {
  const std::string tool = script("tool.sh");
  EXPECT_EQ(run({"submit", "--pending", pending.str(), "--", tool, "x\ny"}), Jsctl::kExitUsage);
  EXPECT_NE(err.find("argument 1 holds a line feed"), std::string::npos) << err;

  EXPECT_EQ(run({"submit", "--pending", pending.file("gone"), "--", tool}), Jsctl::kExitFailed);
  EXPECT_EQ(err, "jsctl: the pending folder \"" + pending.file("gone") + "\" does not exist\n");
  EXPECT_TRUE(folderEntries(pending.str()).empty());

  EXPECT_EQ(run({"submit", "--pending", pending.str(), "--", tool, "%home%", "x%"}),
            Jsctl::kExitDone);
  EXPECT_NE(err.find("note: the scheduler reads text between two \"%\" signs"), std::string::npos);
  EXPECT_EQ(run({"submit", "--pending", pending.str(), "--", tool, "100%"}), Jsctl::kExitDone);
  EXPECT_EQ(err, "");
}

TEST_F(JsctlSubmit, PendingFolderComesFromTheConfigurationFile) {
  const std::string tool = script("tool.sh");
  const std::string conf = folder.file("jobscheduler.conf");
  ZelcorCorelib::test::writeRaw(
      conf,
      "jobscheduler (String) = \"\" {\n"
      "  working-dir (DirName) = \"" +
          folder.str() +
          "\" { }\n"
          "  jobdir (String) = \"\" {\n"
          "    pending-dir (DirName) = \"${jobscheduler.working-dir}pending\" { }\n"
          "  }\n"
          "}\n");
  EXPECT_EQ(run({"submit", "-c", conf, "--", tool}), Jsctl::kExitFailed);
  EXPECT_NE(err.find("the pending folder \"" + folder.file("pending")), std::string::npos) << err;

  fs::create_directory(folder.file("pending"));
  ASSERT_EQ(run({"submit", "-c", conf, "--", tool}), Jsctl::kExitDone) << err;
  EXPECT_EQ(fs::path(out.substr(0, out.size() - 1)).parent_path(),
            fs::path(folder.file("pending")));

  const std::string without = folder.file("without.conf");
  ZelcorCorelib::test::writeRaw(without, "jobscheduler (String) = \"\" { }\n");
  EXPECT_EQ(run({"submit", "-c", without, "--", tool}), Jsctl::kExitUsage);
  EXPECT_NE(err.find("no pending folder at jobscheduler.jobdir.pending-dir"), std::string::npos)
      << err;
}

}  // namespace
}  // namespace Zelcor
