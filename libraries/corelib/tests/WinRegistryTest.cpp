#include "registry/WinRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "registry/RegistryFile.h"
#include "testsupport/TempDir.h"
#include "testsupport/ThrownText.h"
#include "testsupport/WaitFor.h"

namespace ZelcorCorelib {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHklm = "HKEY_LOCAL_MACHINE";
constexpr const char* kHeader = "Windows Registry Editor Version 5.00\n\n";

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class WinRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("ZELCOR_REGISTRY", store.c_str(), 1);
    ::unsetenv("ZELCOR_ENV");
  }
  void TearDown() override { ::unsetenv("ZELCOR_ENV"); }

  test::TempDir folder{"winregistry"};
  std::string store = folder.file("registry.reg");
};

TEST_F(WinRegistryTest, MapKeyReplacesOnlyTheResourceKeyAndWhatIsBelowIt) {
  EXPECT_EQ(WinRegistry::mapKey("SOFTWARE/Zelcor/Resources/ConfigurationDir"),
            "SOFTWARE\\Zelcor\\Resources\\ConfigurationDir");
  ::setenv("ZELCOR_ENV", "SOFTWARE\\Zelcor\\Resources2", 1);
  struct Case {
    const char* key;
    const char* mapped;
  } cases[] = {
      {"SOFTWARE/Zelcor/Resources/ConfigurationDir",
       "SOFTWARE\\Zelcor\\Resources2\\ConfigurationDir"},
      {"SOFTWARE\\Zelcor\\Resources", "SOFTWARE\\Zelcor\\Resources2"},
      {"SOFTWARE\\Zelcor\\ResourcesOld\\X", "SOFTWARE\\Zelcor\\ResourcesOld\\X"},
      {"software\\zelcor\\resources\\X", "software\\zelcor\\resources\\X"},
      {"SOFTWARE\\Zelcor\\Other", "SOFTWARE\\Zelcor\\Other"},
      {"X\\SOFTWARE\\Zelcor\\Resources", "X\\SOFTWARE\\Zelcor\\Resources"},
  };
  for (const Case& c : cases) EXPECT_EQ(WinRegistry::mapKey(c.key), c.mapped) << c.key;
  ::setenv("ZELCOR_ENV", "SOFTWARE/Test/Res", 1);
  EXPECT_EQ(WinRegistry::mapKey("SOFTWARE/Zelcor/Resources/A"), "SOFTWARE\\Test\\Res\\A");
  ::setenv("ZELCOR_ENV", "", 1);
  EXPECT_EQ(WinRegistry::mapKey("SOFTWARE/Zelcor/Resources/A"), "SOFTWARE\\Zelcor\\Resources\\A");
}

TEST_F(WinRegistryTest, ValuesWrittenReadBackFromANewStore) {
  std::string nested = folder.file("etc/zelcor/registry.reg");
  ::setenv("ZELCOR_REGISTRY", nested.c_str(), 1);
  WinRegistry::set(kHklm, "SOFTWARE/Zelcor", "Dir", "C:\\x \"y\"", false);
  WinRegistry::set("HKEY_CURRENT_USER", "SOFTWARE\\Zelcor", "Dir", "mine", true);
  WinRegistry::setList(kHklm, "SOFTWARE\\Zelcor\\Lists", "Hosts", {"a", "", "b\xC3\xA4"}, false);
  WinRegistry::setList(kHklm, "SOFTWARE\\Zelcor\\Lists", "None", {}, false);
  WinRegistry::set(kHklm, "software\\zelcor", "dir", "second", false);  // same value, other case

  EXPECT_EQ(WinRegistry::get(kHklm, "SOFTWARE\\Zelcor", "Dir", false), "second");
  EXPECT_EQ(WinRegistry::get("HKEY_CURRENT_USER", "SOFTWARE\\Zelcor", "DIR", false), "mine");
  EXPECT_EQ(WinRegistry::getList(kHklm, "SOFTWARE/Zelcor/Lists", "Hosts", false),
            (std::vector<std::string>{"a", "", "b\xC3\xA4"}));
  EXPECT_EQ(WinRegistry::getList(kHklm, "SOFTWARE/Zelcor/Lists", "None", false),
            std::vector<std::string>{});
  EXPECT_EQ(readFile(nested).substr(0, 38), "Windows Registry Editor Version 5.00\n\n");

  // With ZELCOR_ENV the resource settings go to and come from the mapped key.
  ::setenv("ZELCOR_ENV", "SOFTWARE\\Zelcor\\Resources2", 1);
  WinRegistry::set(kHklm, "SOFTWARE/Zelcor/Resources", "ConfigurationDir", "/etc/js2", false);
  EXPECT_NE(readFile(nested).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor\\Resources2]\n"
                                  "\"ConfigurationDir\"=\"/etc/js2\""),
            std::string::npos);
  EXPECT_EQ(WinRegistry::get(kHklm, "SOFTWARE\\Zelcor\\Resources2", "ConfigurationDir", false),
            "/etc/js2");
}

TEST_F(WinRegistryTest, FailuresNameTheKeyAndTheValue) {
  const std::string key = "SOFTWARE\\Zelcor";
  auto get = [&](const char* name) { return [=] { WinRegistry::get(kHklm, key, name, false); }; };
  auto getList = [&](const char* name) {
    return [=] { WinRegistry::getList(kHklm, key, name, false); };
  };
  EXPECT_EQ(test::thrownText<WinRegistry::Get_NotFound>(get("Port")),
            "Get_NotFound: Could not find registry key \"SOFTWARE\\Zelcor\"->\"Port\"");
  EXPECT_EQ(test::thrownText<WinRegistry::Get_BadArguments>(
                [] { WinRegistry::get("HKEY_NOWHERE", "SOFTWARE", "Port", false); }),
            "Get_BadArguments: Invalid argument \"HKEY_NOWHERE\"");
  EXPECT_EQ(test::thrownText<WinRegistry::Set_BadArguments>(
                [] { WinRegistry::setList("HKLM", "SOFTWARE", "Port", {}, false); }),
            "Set_BadArguments: Invalid argument \"HKLM\"");

  writeFile(store, std::string(kHeader) +
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor]\n"
                       "\"Retries\"=dword:00000003\n\"Text\"=\"t\"\n\"Hosts\"=hex(7):00,00\n"
                       "\"Blob\"=hex:00\n\"Expand\"=hex(2):00,00\n\"Big\"=hex(b):00\n"
                       "\"Broken\"=hex(7):0x\n");
  struct Case {
    std::function<void()> operation;
    const char* expected;
  } wrongTypes[] = {
      {get("Retries"),
       "Get_WrongType: Cannot get \"SOFTWARE\\Zelcor\"->\"Retries\" of type 1 because the actual "
       "type is 4"},
      {get("Hosts"),
       "Get_WrongType: Cannot get \"SOFTWARE\\Zelcor\"->\"Hosts\" of type 1 because the actual "
       "type is 7"},
      {get("Blob"),
       "Get_WrongType: Cannot get \"SOFTWARE\\Zelcor\"->\"Blob\" of type 1 because the actual type "
       "is 3"},
      {get("Expand"),
       "Get_WrongType: Cannot get \"SOFTWARE\\Zelcor\"->\"Expand\" of type 1 because the actual "
       "type is 2"},
      {get("Big"),
       "Get_WrongType: Cannot get \"SOFTWARE\\Zelcor\"->\"Big\" of type 1 because the actual type "
       "is 11"},
      {getList("Text"),
       "Get_WrongType: Cannot get \"SOFTWARE\\Zelcor\"->\"Text\" of type 7 because the actual type "
       "is 1"},
  };
  for (const Case& c : wrongTypes) {
    EXPECT_EQ(test::thrownText<WinRegistry::Get_WrongType>(c.operation), c.expected);
  }
  EXPECT_EQ(test::thrownText<WinRegistry::Get_UnknownError>(getList("Broken")),
            "Get_UnknownError: Unknown error when trying to get \"SOFTWARE\\Zelcor\"->\"Broken\"\n"
            "Store_Failure: Registry store " +
                store + ": line 10: bad hex byte \"0x\"");
  EXPECT_EQ(test::thrownText<WinRegistry::Get_NotFound>(get("Missing")),
            "Get_NotFound: Could not find registry key \"SOFTWARE\\Zelcor\"->\"Missing\"");

  // A store that is no registry file is neither read nor overwritten.
  const std::string notRegistry = "Zelcor.port = 4711\n";
  writeFile(store, notRegistry);
  EXPECT_EQ(test::thrownText<WinRegistry::Get_UnknownError>(get("Port")),
            "Get_UnknownError: Unknown error when trying to get \"SOFTWARE\\Zelcor\"->\"Port\"\n"
            "Store_Failure: Registry store " +
                store + ": " + store +
                " is not a registry file: line 1 is \"Zelcor.port = 4711\" where \"Windows "
                "Registry Editor Version 5.00\" was expected");
  EXPECT_TRUE(startsWith(test::thrownText<WinRegistry::Set_UnknownError>(
                             [&] { WinRegistry::set(kHklm, key, "Port", "1", false); }),
                         "Set_UnknownError: Unknown error when trying to set "
                         "\"SOFTWARE\\Zelcor\"->\"Port\"\nStore_Failure: Registry store " +
                             store + ": " + store + " is not a registry file"));
  EXPECT_EQ(readFile(store), notRegistry);

  fs::remove(store);
  fs::create_directory(store);
  EXPECT_EQ(test::thrownText<WinRegistry::Get_AccessDenied>(get("Port")),
            "Get_AccessDenied: Access denied when trying to get \"SOFTWARE\\Zelcor\"->\"Port\"\n"
            "Store_Failure: Registry store " +
                store + ": it cannot be read (Is a directory)");
  EXPECT_EQ(test::thrownText<WinRegistry::Set_AccessDenied>(
                [&] { WinRegistry::set(kHklm, key, "Port", "1", false); }),
            "Set_AccessDenied: Access denied when trying to set \"SOFTWARE\\Zelcor\"->\"Port\"\n"
            "Store_Failure: Registry store " +
                store + ": it cannot be read (Is a directory)");

  const std::string underFile = store + "/../registry.reg/inside.reg";  // a folder that is a file
  fs::remove(store);
  writeFile(store, kHeader);
  ::setenv("ZELCOR_REGISTRY", underFile.c_str(), 1);
  EXPECT_EQ(test::thrownText<WinRegistry::Set_UnknownError>(
                [&] { WinRegistry::set(kHklm, key, "Port", "1", false); }),
            "Set_UnknownError: Unknown error when trying to set \"SOFTWARE\\Zelcor\"->\"Port\"\n"
            "Store_Failure: Registry store " +
                underFile + ": its folder cannot be made (Not a directory)");
  EXPECT_EQ(
      test::thrownText<WinRegistry::Set_UnknownError>(
          [&] { WinRegistry::set(kHklm, key, "Two\nLines", "1", false); }),
      "Set_UnknownError: Unknown error when trying to set \"SOFTWARE\\Zelcor\"->\"Two\nLines\"\n"
      "Store_Failure: Registry store " +
          underFile + ": a key or value name with a line break or NUL cannot be stored");

  // Nobody, root included, may make files in sysfs.
  if (fs::is_directory("/sys/kernel")) {
    ::setenv("ZELCOR_REGISTRY", "/sys/kernel/zelcor-registry-test.reg", 1);
    EXPECT_TRUE(startsWith(test::thrownText<WinRegistry::Set_AccessDenied>(
                               [&] { WinRegistry::set(kHklm, key, "Port", "1", false); }),
                           "Set_AccessDenied: Access denied when trying to set "
                           "\"SOFTWARE\\Zelcor\"->\"Port\"\nStore_Failure: Registry store "
                           "/sys/kernel/zelcor-registry-test.reg: its lock file cannot be opened"));
  }
}

TEST_F(WinRegistryTest, RewriteKeepsTheFileAsAWindowsAdministratorBroughtIt) {
  std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n; exported\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor\\Resources]\r\n\"ConfigurationDir\"=\"C:\\\\js\"\r\n"
      u"\"Odd\"=hex(5):01\r\n\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  std::string real = folder.file("real.reg");
  writeFile(real, bytes);
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(real, store);
  EXPECT_EQ(WinRegistry::get(kHklm, "SOFTWARE/Zelcor/Resources", "ConfigurationDir", false),
            "C:\\js");
  WinRegistry::set(kHklm, "SOFTWARE/Zelcor/Resources", "StartupLogDir", "/var/log/js", false);

  EXPECT_TRUE(fs::is_symlink(store));
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  std::string rewritten = readFile(real);
  ASSERT_GT(rewritten.size(), bytes.size());
  std::string added = "\"StartupLogDir\"=\"/var/log/js\"\r\n";
  std::string addedBytes;
  for (char c : added) addedBytes += std::string{c, '\0'};
  // The new value joins the end of its section; everything else stays byte for byte.
  std::size_t at = bytes.size() - 4;  // before the closing blank line
  EXPECT_EQ(rewritten, bytes.substr(0, at) + addedBytes + bytes.substr(at));
  EXPECT_FALSE(fs::exists(real + ".tmp"));
}

// The writer processes of the two tests below: this executable started again with
// ZELCOR_REGISTRY_CHILD naming the job.
TEST(WinRegistryChild, Writer) {
  const char* job = std::getenv("ZELCOR_REGISTRY_CHILD");
  if (job == nullptr) GTEST_SKIP() << "runs only as the writer of another test";
  if (std::string(job) == "generations") {
    for (int generation = 1; generation <= 150; ++generation) {
      WinRegistry::setList(kHklm, "SOFTWARE\\Zelcor", "Generation",
                           std::vector<std::string>(200, std::to_string(generation)), false);
    }
  } else {
    for (int i = 0; i < 60; ++i) {
      WinRegistry::set(kHklm, "SOFTWARE\\Zelcor\\Shared", "child" + std::to_string(i), "c", false);
    }
  }
}

// Runs the writer job in a separate process; done turns true when it has ended.
class ChildWriter {
 public:
  explicit ChildWriter(const std::string& job) {
    std::string command = "ZELCOR_REGISTRY_CHILD=" + job + " '" +
                          fs::read_symlink("/proc/self/exe").string() +
                          "' --gtest_filter=WinRegistryChild.Writer >/dev/null 2>&1";
    runner = std::thread([this, command] {
      status = std::system(command.c_str());
      done = true;
    });
  }
  ~ChildWriter() { wait(); }
  int wait() {
    if (runner.joinable()) runner.join();
    return status;
  }
  std::atomic<bool> done{false};

 private:
  std::thread runner;
  int status = -1;
};

TEST_F(WinRegistryTest, ReaderSeesAWholeFileWhileAnotherProcessRewritesIt) {
  writeFile(
      store,
      std::string(kHeader) +
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor]\n\"Generation\"=hex(7):30,00,00,00,00,00\n\n"
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor\\Last]\n\"End\"=\"end\"\n");
  ChildWriter writer("generations");
  std::set<std::string> seen;
  int reads = 0;
  while (!writer.done || reads == 0) {
    std::vector<std::string> items =
        WinRegistry::getList(kHklm, "SOFTWARE\\Zelcor", "Generation", false);
    ASSERT_FALSE(items.empty());
    ASSERT_EQ(std::count(items.begin(), items.end(), items.front()),
              static_cast<long>(items.size()));
    ASSERT_TRUE(items.size() == 200 || items.front() == "0") << items.size();
    ASSERT_EQ(WinRegistry::get(kHklm, "SOFTWARE\\Zelcor\\Last", "End", false), "end");
    // The same in one snapshot of the bytes, both values at once.
    RegistryFile file = RegistryFile::parse(readFile(store), store);
    ASSERT_EQ(file.find(kHklm, "SOFTWARE\\Zelcor\\Last", "End").outcome,
              RegistryFile::Outcome::found);
    ASSERT_EQ(file.find(kHklm, "SOFTWARE\\Zelcor", "Generation").outcome,
              RegistryFile::Outcome::found);
    seen.insert(items.front());
    ++reads;
  }
  EXPECT_EQ(writer.wait(), 0);
  EXPECT_EQ(WinRegistry::getList(kHklm, "SOFTWARE\\Zelcor", "Generation", false).front(), "150");
  std::cout << reads << " reads saw " << seen.size() << " generations\n";
}

TEST_F(WinRegistryTest, WritersInTwoProcessesLoseNoValue) {
  ChildWriter writer("distinct");
  ASSERT_TRUE(testing::waitFor([&] {
    try {
      WinRegistry::get(kHklm, "SOFTWARE\\Zelcor\\Shared", "child0", false);
      return true;
    } catch (const Exception&) {
      return bool(writer.done);
    }
  }));
  for (int i = 0; i < 60; ++i) {
    WinRegistry::set(kHklm, "SOFTWARE\\Zelcor\\Shared", "parent" + std::to_string(i), "p", false);
  }
  ASSERT_EQ(writer.wait(), 0);
  for (int i = 0; i < 60; ++i) {
    EXPECT_EQ(
        WinRegistry::get(kHklm, "SOFTWARE\\Zelcor\\Shared", "child" + std::to_string(i), false),
        "c");
    EXPECT_EQ(
        WinRegistry::get(kHklm, "SOFTWARE\\Zelcor\\Shared", "parent" + std::to_string(i), false),
        "p");
  }
}

}  // namespace
}  // namespace ZelcorCorelib
