#include "config/SystemBase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/StringUtils.h"
#include "bus/Ims.h"
#include "bus/ImsAgent.h"
#include "config/ConfNodeTypes.h"
#include "config/SystemQueryParam.h"
#include "registry/WinRegistry.h"
#include "testsupport/TempDir.h"

namespace ZelcorCorelib {
namespace {

constexpr const char* kHklm = "HKEY_LOCAL_MACHINE";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

class SystemBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("ZELCOR_REGISTRY", store.c_str(), 1);
    ::unsetenv("ZELCOR_ENV");
    std::ofstream(store) << "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor]\n"
                            "\"Port\"=\"4711\"\n\"Retries\"=dword:00000003\n"
                            "\"Negative\"=\" -42 \"\n\"Huge\"=\"18446744073709551615\"\n"
                            "\"Ratio\"=\"0.25\"\n\"Word\"=\"abc\"\n\"Trailing\"=\"12abc\"\n"
                            "\"Hosts\"=hex(7):61,00,00,00,62,00,00,00,00,00\n\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor\\Resources]\n"
                            "\"ConfigurationDir\"=\"/etc/js\"\n\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Zelcor\\Legacy]\n"
                            "\"Only32\"=\"old\"\n\n"
                            "[HKEY_CURRENT_USER\\SOFTWARE\\Zelcor]\n\"Port\"=\"5000\"\n";
  }

  // Sends like the configuration agent does; the status, or -1 when nobody handled it.
  int send(const char* group, const std::string& name, int type, void* value,
           bool perUser = false) {
    SystemQueryParam request(name, type, value, perUser);
    ImsMessage message("system", group, "", &request);
    if (!client.sendMessage(message)) return -1;
    return request.status;
  }

  test::TempDir folder{"systembase"};
  std::string store = folder.file("registry.reg");
  SystemBase service;
  ImsAgent client{"systembase-test"};
};

TEST_F(SystemBaseTest, ReadsLocalValuesOfEveryType) {
  std::string text;
  std::int64_t signedNumber = 0;
  std::uint64_t unsignedNumber = 0;
  double real = 0;
  std::vector<std::string> list;
  EXPECT_EQ(send("query", "Port", kConfLocalString, &text), 0);
  EXPECT_EQ(text, "4711");
  EXPECT_EQ(send("query", "\\Port", kConfLocalInt, &signedNumber), 0);
  EXPECT_EQ(signedNumber, 4711);
  EXPECT_EQ(send("query", "Negative", kConfLocalInt, &signedNumber), 0);
  EXPECT_EQ(signedNumber, -42);
  EXPECT_EQ(send("query", "Huge", kConfLocalUInt, &unsignedNumber), 0);
  EXPECT_EQ(unsignedNumber, 18446744073709551615ull);
  EXPECT_EQ(send("query", "Ratio", kConfLocalFloat, &real), 0);
  EXPECT_EQ(real, 0.25);
  EXPECT_EQ(send("query", "Hosts", kConfLocalSet, &list), 0);
  EXPECT_EQ(list, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(send("query", "Resources\\ConfigurationDir", kConfLocalString, &text), 0);
  EXPECT_EQ(text, "/etc/js");
  // The current user's hive, unless the service runs as SYSTEM.
  ASSERT_NE(SystemBase::getFactSlot(10), "SYSTEM");
  EXPECT_EQ(send("query", "Port", kConfLocalString, &text, true), 0);
  EXPECT_EQ(text, "5000");
}

TEST_F(SystemBaseTest, LocalReadFailuresGiveTheirStatus) {
  std::string text;
  std::int64_t number = 0;
  std::uint64_t unsignedNumber = 0;
  std::vector<std::string> list;
  // Missing under SOFTWARE\Zelcor, found under the 32-bit view's key.
  EXPECT_EQ(send("query", "Legacy\\Only32", kConfLocalString, &text), 0);
  EXPECT_EQ(text, "old");
  struct Case {
    const char* name;
    int type;
    void* value;
    int status;
  } cases[] = {
      {"Legacy\\Missing", kConfLocalString, &text, kSystemStatusNotFound},
      {"Nowhere\\Port", kConfLocalString, &text, kSystemStatusNotFound},
      {"Retries", kConfLocalString, &text, kSystemStatusWrongType},  // a dword
      {"Hosts", kConfLocalInt, &number, kSystemStatusWrongType},
      {"Port", kConfLocalSet, &list, kSystemStatusWrongType},
      {"Word", kConfLocalInt, &number, kSystemStatusWrongType},
      {"Trailing", kConfLocalInt, &number, kSystemStatusWrongType},
      {"Negative", kConfLocalUInt, &unsignedNumber, kSystemStatusWrongType},
      {"Port", kConfString, &text, kSystemStatusUnknownType},
      {"Port", 22, &text, kSystemStatusUnknownType},
      {"Port", kConfLocalString, nullptr, kSystemStatusUnknownType},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(send("query", c.name, c.type, c.value), c.status) << c.name << " as " << c.type;
  }
  std::filesystem::remove(store);
  std::filesystem::create_directory(store);
  EXPECT_EQ(send("query", "Port", kConfLocalString, &text), kSystemStatusNoAccess);
}

TEST_F(SystemBaseTest, WritesLocalValuesThatReadBack) {
  std::int64_t signedNumber = -9000000000;
  std::uint64_t unsignedNumber = 18446744073709551615ull;
  double real = 1.5;
  std::string text = "/var/\"js\"";
  std::vector<std::string> list = {"x", "", "y"};
  EXPECT_EQ(send("set", "New\\Signed", kConfLocalInt, &signedNumber), 0);
  EXPECT_EQ(send("set", "New\\Unsigned", kConfLocalUInt, &unsignedNumber), 0);
  EXPECT_EQ(send("set", "New\\Real", kConfLocalFloat, &real), 0);
  EXPECT_EQ(send("set", "Port", kConfLocalString, &text, true), 0);
  EXPECT_EQ(send("set", "New\\List", kConfLocalSet, &list), 0);
  EXPECT_EQ(WinRegistry::get(kHklm, "SOFTWARE\\Zelcor\\New", "Signed", false), "-9000000000");
  EXPECT_EQ(WinRegistry::get(kHklm, "SOFTWARE\\Zelcor\\New", "Real", false), doubleToText(1.5));
  EXPECT_EQ(WinRegistry::get("HKEY_CURRENT_USER", "SOFTWARE\\Zelcor", "Port", false), text);
  EXPECT_EQ(WinRegistry::get(kHklm, "SOFTWARE\\Zelcor", "Port", false), "4711");

  std::int64_t signedBack = 0;
  std::uint64_t unsignedBack = 0;
  double realBack = 0;
  std::vector<std::string> listBack;
  EXPECT_EQ(send("query", "New\\Signed", kConfLocalInt, &signedBack), 0);
  EXPECT_EQ(send("query", "New\\Unsigned", kConfLocalUInt, &unsignedBack), 0);
  EXPECT_EQ(send("query", "New\\Real", kConfLocalFloat, &realBack), 0);
  EXPECT_EQ(send("query", "New\\List", kConfLocalSet, &listBack), 0);
  EXPECT_EQ(signedBack, signedNumber);
  EXPECT_EQ(unsignedBack, unsignedNumber);
  EXPECT_EQ(realBack, real);
  EXPECT_EQ(listBack, list);

  EXPECT_EQ(send("set", "hostname", kConfSystemString, &text), kSystemStatusWriteFailed);
  EXPECT_EQ(send("set", "Port", 3, &text), kSystemStatusWriteFailed);
  ::setenv("ZELCOR_REGISTRY", (store + "/under-a-file.reg").c_str(), 1);
  EXPECT_EQ(send("set", "Port", kConfLocalString, &text), kSystemStatusWriteFailed);
  if (std::filesystem::is_directory("/sys/kernel")) {
    ::setenv("ZELCOR_REGISTRY", "/sys/kernel/zelcor-registry-test.reg", 1);
    EXPECT_EQ(send("set", "Port", kConfLocalString, &text), kSystemStatusWriteDenied);
  }
}

TEST_F(SystemBaseTest, AnswersFactsByName) {
  auto fact = [&](const std::string& name) {
    std::string value = "untouched";
    int status = send("query", name, kConfSystemString, &value);
    return status == 0 ? value : "status " + std::to_string(status);
  };
  std::ifstream kernelName("/proc/sys/kernel/hostname");
  std::string hostname;
  std::getline(kernelName, hostname);
  EXPECT_EQ(fact("hostname"), hostname);
  EXPECT_EQ(fact("machinename"), SystemBase::machineName(hostname, fact("domain")));
  const std::string domain = fact("domain");
  if (domain.empty() || hostname.size() <= domain.size() ||
      hostname.compare(hostname.size() - domain.size(), domain.size(), domain) != 0) {
    EXPECT_EQ(fact("machinename"), fact("hostname"));
  }
  EXPECT_EQ(fact("platform"), "linux-64");
  EXPECT_EQ(fact("os").rfind("linux_", 0), 0u);
  EXPECT_EQ(fact("osversion"), intToText(textToInt(SystemBase::getFactSlot(15)) * 100 +
                                         textToInt(SystemBase::getFactSlot(16))));
  EXPECT_EQ(fact("osbits"), "64");
  EXPECT_EQ(fact("keyboardlang"), "[unknown]");
  EXPECT_EQ(SystemBase::getFactSlot(14), "little");
  EXPECT_EQ(fact("groupusers"), "");
  EXPECT_EQ(fact("usergroups"), "");
  EXPECT_EQ(fact("groupusers.no-such-group-here"), "");
  EXPECT_TRUE(contains(lines(fact("groups")), "root"));
  EXPECT_TRUE(contains(lines(fact("groupusers.root")), "root"));  // by its primary group
  EXPECT_TRUE(contains(lines(fact("usergroups.root")), "root"));
  for (const std::string& address : lines(fact("ip"))) {
    EXPECT_NE(address, "127.0.0.1");
    EXPECT_EQ(std::count(address.begin(), address.end(), '.'), 3) << address;
  }
  EXPECT_EQ(fact("diskserial./"), uint64ToText(textToUInt64(fact("diskserial./"))));
  EXPECT_EQ(fact("diskserial./no/such/folder"), "[unknown]");
  EXPECT_EQ(fact("diskserial"), "[unknown]");
  for (const char* unknown : {"HOSTNAME", "host", "", ".hostname", "display"}) {
    EXPECT_EQ(fact(unknown), "status 3") << unknown;
  }
  EXPECT_EQ(fact("hostname.ignored"), hostname);
}

TEST_F(SystemBaseTest, HandlesOnlyItsOwnMessagesWhileItLives) {
  std::string text;
  SystemQueryParam request("hostname", kConfSystemString, &text, false);
  for (const char* general : {"System", "conf"}) {
    ImsMessage message(general, "query", "", &request);
    EXPECT_FALSE(client.sendMessage(message)) << general;
  }
  ImsMessage other("system", "delete", "", &request);
  EXPECT_FALSE(client.sendMessage(other));
  EXPECT_EQ(text, "");
  ImsMessage empty("system", "query", "", nullptr);
  EXPECT_FALSE(client.sendMessage(empty));

  const std::size_t hooks = client.getBus()->getHookCount();
  auto second = std::make_unique<SystemBase>();
  EXPECT_GE(client.getBus()->getHookCount(), hooks + 2);
  second.reset();
  EXPECT_EQ(client.getBus()->getHookCount(), hooks);
  EXPECT_EQ(send("query", "hostname", kConfSystemString, &text), 0);  // the first still answers
}

TEST(SystemBase, MachineNameDropsOnlyAWholeDomainSuffix) {
  struct Case {
    const char* computer;
    const char* domain;
    const char* machine;
  } cases[] = {
      {"build7.example.com", "example.com", "build7"},
      {"BUILD7.Example.COM", "example.com", "BUILD7"},
      {"build7", "example.com", "build7"},
      {"build7", "", "build7"},
      {"xexample.com", "example.com", "xexample.com"},
      {"example.com", "example.com", "example.com"},
      {".example.com", "example.com", ".example.com"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SystemBase::machineName(c.computer, c.domain), c.machine) << c.computer;
  }
}

// Not a check: lists what this machine answers, for whoever reads the test output.
TEST(SystemBase, ListsEveryFactOfThisMachine) {
  for (const char* name :
       {"hostname", "machinename", "platform", "os", "osversion", "oslang", "keyboardlang",
        "keyboardtype", "arch", "domain", "currentuser", "osbits", "groups", "groupusers.root",
        "usergroups.root", "ip", "diskserial./"}) {
    std::optional<std::string> value = SystemBase::getFact(name);
    ASSERT_TRUE(value) << name;
    std::string shown = *value;
    replaceAll(shown, "\n", ",");
    std::cout << "fact " << name << " = " << shown << "\n";
  }
  for (int slot = 0; slot < SystemBase::kSlotCount; ++slot) {
    std::cout << "slot " << slot << " = " << SystemBase::getFactSlot(slot) << "\n";
  }
}

}  // namespace
}  // namespace ZelcorCorelib
