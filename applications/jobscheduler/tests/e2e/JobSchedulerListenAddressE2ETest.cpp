// Where the command port listens: loopback unless the configuration opens it on purpose, every
// IPv4 interface with 0.0.0.0, every interface (IPv6 and IPv4) with ::, one IPv6 address with
// that address; anything else stops the start with a line naming the entry. Read from the kernel's own table of listening sockets.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "net/Tcp.h"
#include "support/SchedulerProcess.h"

namespace Zelcor::e2e {
namespace {

constexpr const char* kReady = "JobScheduler::startListener: Listening on port";

// The local address (kernel hex form) of the socket listening on port in table
// (/proc/net/tcp or tcp6); empty when none listens there.
std::string listeningAddress(const char* table, int port) {
  std::ifstream lines(table);
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    char local[64] = {}, remote[64] = {};
    unsigned state = 0;
    if (std::sscanf(line.c_str(), " %*d: %63s %63s %x", local, remote, &state) != 3) continue;
    const std::string address = local;
    if (state == 0x0A && address.size() > 5 && address.substr(address.size() - 5) == wanted) {
      return address.substr(0, address.size() - 5);
    }
  }
  return {};
}

void setListenAddress(Sandbox& sandbox, const std::string& address) {
  std::string config = readText(sandbox.configurationFile());
  const std::string group = "jobscheduler (String) = \"\" {\n";
  config.insert(config.find(group) + group.size(),
                " listen-address (String) = \"" + address + "\" { }\n");
  writeText(sandbox.configurationFile(), config);
}

bool answers(int port) {
  ZelcorCorelib::Tcp client;
  try {
    const bool connected = client.connectToHost("127.0.0.1", port, "e2e-client", 1);
    client.close();
    return connected;
  } catch (const ZelcorCorelib::Exception&) {
    return false;  // refused: nothing listens there for IPv4
  }
}

TEST(JobSchedulerListenAddress, LoopbackByDefaultAndEverywhereOnlyWhenAsked) {
  struct Case {
    const char* address;  // none: the default
    const char* table;
    const char* expected;
    bool ipv4Reaches;
  } cases[] = {
      {nullptr, "/proc/net/tcp", "0100007F", true},
      {"0.0.0.0", "/proc/net/tcp", "00000000", true},
      {"::", "/proc/net/tcp6", "00000000000000000000000000000000", true},
      {"::1", "/proc/net/tcp6", "00000000000000000000000001000000", false},
  };
  for (const Case& c : cases) {
    const std::string label = c.address != nullptr ? c.address : "default";
    // A machine without IPv6 cannot listen on "::".
    if (!std::filesystem::exists(c.table)) continue;
    Sandbox sandbox("listen-address");
    sandbox.writeConfiguration();
    if (c.address != nullptr) setListenAddress(sandbox, c.address);
    SchedulerProcess scheduler(sandbox, {});
    ASSERT_TRUE(waitForFileText(sandbox.logFile(), kReady, kStartDeadline))
        << label << "\n" << scheduler.standardOutput();
    EXPECT_EQ(listeningAddress(c.table, sandbox.getPort()), c.expected) << label;
    // An IPv4 client on this machine gets through where IPv4 is listened on; a stop ends the
    // listener in every case.
    EXPECT_EQ(answers(sandbox.getPort()), c.ipv4Reaches) << label;
    ASSERT_TRUE(scheduler.signal("TERM"));
    EXPECT_EQ(scheduler.waitForExit(), 0) << label;
  }
}

TEST(JobSchedulerListenAddress, AnythingButAnAddressStopsTheStart) {
  for (const char* address : {"localhost", "1.2.3", "::1%", "[::1]", ""}) {
    Sandbox sandbox("listen-address-bad");
    sandbox.writeConfiguration();
    setListenAddress(sandbox, address);
    SchedulerProcess scheduler(sandbox, {});
    EXPECT_EQ(scheduler.waitForExit(), 2) << address;
    EXPECT_NE(scheduler.standardOutput().find(
                  "ERROR: Configuration entry \"jobscheduler.listen-address\" must be an IPv4 "
                  "address"),
              std::string::npos)
        << address << ": " << scheduler.standardOutput();
  }
}

}  // namespace
}  // namespace Zelcor::e2e
