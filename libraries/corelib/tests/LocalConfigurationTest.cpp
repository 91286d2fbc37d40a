// Local values asked for through the configuration agent, answered by the system-information
// agent from a registry file: the path a start-up read of "Resources\ConfigurationDir" takes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "config/ConfAgent.h"
#include "config/SystemBase.h"
#include "testsupport/TempDir.h"

namespace ZelcorCorelib {
namespace {

class LocalConfiguration : public ::testing::Test {
 protected:
  void SetUp() override {
    registry = (dir.path() / "registry.reg").string();
    std::ofstream out(registry, std::ios::binary);
    out << "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor\\Resources]\r\n"
           "\"ConfigurationDir\"=\"/etc/jobscheduler\"\r\n"
           "\"Retries\"=dword:00000003\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor\\Resources2]\r\n"
           "\"ConfigurationDir\"=\"/srv/second\"\r\n";
    out.close();
    ::setenv("ZELCOR_REGISTRY", registry.c_str(), 1);
    ::unsetenv("ZELCOR_ENV");
  }
  void TearDown() override {
    ::unsetenv("ZELCOR_REGISTRY");
    ::unsetenv("ZELCOR_ENV");
  }

  test::TempDir dir{"zelcor-localconf"};
  std::string registry;
};

TEST_F(LocalConfiguration, StringReadFollowsTheResourceKeyMapping) {
  SystemBase system;
  ConfAgent agent;
  EXPECT_EQ(agent.getLocalString("Resources\\ConfigurationDir", false), "/etc/jobscheduler");
  ::setenv("ZELCOR_ENV", "SOFTWARE\\Zelcor\\Resources2", 1);
  EXPECT_EQ(agent.getLocalString("Resources\\ConfigurationDir", false), "/srv/second");
}

TEST_F(LocalConfiguration, FailuresBecomeTheAgentsExceptionsWithKeyAndType) {
  SystemBase system;
  ConfAgent agent;
  try {
    agent.getLocalString("Resources\\Missing", false);
    FAIL() << "nothing thrown";
  } catch (const ConfAgent::GetLocal_NotFound& e) {
    EXPECT_NE(e.toString().find("Configuration key \"Resources\\Missing\" was not found"),
              std::string::npos)
        << e.toString();
  }
  try {
    agent.getLocalString("Resources\\Retries", false);
    FAIL() << "nothing thrown";
  } catch (const ConfAgent::GetLocal_WrongType& e) {
    EXPECT_NE(e.toString().find("\"Resources\\Retries\" is not of requested type (local string)"),
              std::string::npos)
        << e.toString();
  }
  // A registry path that is a folder cannot be read at all.
  ::setenv("ZELCOR_REGISTRY", dir.path().string().c_str(), 1);
  EXPECT_THROW(agent.getLocalString("Resources\\ConfigurationDir", false),
               ConfAgent::GetLocal_NoAccess);
}

TEST(LocalConfigurationNoService, WithoutTheSystemAgentTheBusIsNotWorking) {
  ConfAgent agent;
  EXPECT_THROW(agent.getLocalString("Resources\\ConfigurationDir", false),
               ConfAgent::GetLocal_ImsNotWorking);
}

}  // namespace
}  // namespace ZelcorCorelib
