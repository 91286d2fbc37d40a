// Finding the configuration file, choosing the log level, the two file-logger phases and the
// single-instance check, each against its own registry file, lock folder and temporary folder.
#include "AppFrame.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "InstanceMutex.h"
#include "config/ConfOldFile.h"
#include "platform/Threads.h"
#include "testsupport/TempDir.h"

namespace ZelcorCorelib {
namespace {

namespace fs = std::filesystem;

class TestFrame : public AppFrame {
 public:
  explicit TestFrame(const std::string& name = "JobScheduler")
      : AppFrame("Job Scheduler", name, "1", true, "Zelcor, Inc.", "1.2.3", "abc123") {}
  ~TestFrame() override { end(); }

  // What configure called, with the file logger's directory at that moment.
  std::vector<std::string> calls;

 protected:
  bool init() override { return true; }
  bool end() override { return true; }
  int run() override { return 0; }
  void registerConfigurationKeys() override { note("registerConfigurationKeys"); }
  void configurationLoaded() override { note("configurationLoaded"); }
  void verifyConfiguration() override { note("verifyConfiguration"); }

 private:
  void note(const std::string& call) {
    calls.push_back(call + " " +
                    (getFileLogger().isEnabled() ? getFileLogger().getDirectory() : "-"));
  }
};

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string registryText(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return "\"" + escaped + "\"";
}

class AppFrameConfigure : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(folder.file("locks"));
    ::setenv("ZELCOR_REGISTRY", folder.file("registry.reg").c_str(), 1);
    ::setenv("ZELCOR_LOCK_DIR", folder.file("locks").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("ZELCOR_REGISTRY");
    ::unsetenv("ZELCOR_LOCK_DIR");
    setLevelCeiling(ceiling);
  }

  // Values under HKEY_LOCAL_MACHINE\SOFTWARE\Zelcor\Resources; nullopt leaves a value out.
  void writeRegistry(std::optional<std::string> configurationDir,
                     std::optional<std::string> startupLogDir) {
    std::string text =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zelcor\\Resources]\n";
    if (configurationDir) text += "\"ConfigurationDir\"=" + registryText(*configurationDir) + "\n";
    if (startupLogDir) text += "\"StartupLogDir\"=" + registryText(*startupLogDir) + "\n";
    writeFile(folder.file("registry.reg"), text);
  }

  static void parse(TestFrame& frame, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "jobscheduler");
    frame.setArguments(arguments);
    ASSERT_TRUE(frame.processCommandLine());
  }

  static std::string fileNameOf(TestFrame& frame) {
    std::string name = "untouched";
    frame.getConfigurationFileName(name);
    return name;
  }

  test::TempDir folder{"appframe"};
  int ceiling = getLevelCeiling();
};

TEST_F(AppFrameConfigure, ConfigurationDirectoryGetsOneSeparator) {
  fs::create_directory(folder.file("cfg"));
  const std::string plain = folder.file("cfg") + "/jobscheduler.conf";
  const std::string backslashed = folder.file("cfg") + "\\jobscheduler.conf";
  writeFile(plain, "");
  writeFile(backslashed, "");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {folder.file("cfg"), plain},
      {folder.file("cfg") + "/", plain},
      {folder.file("cfg") + "\\", backslashed},
  };
  for (const auto& [value, expected] : cases) {
    writeRegistry(value, std::nullopt);
    TestFrame frame;
    parse(frame, {});
    EXPECT_EQ(fileNameOf(frame), expected) << value;
  }
}

TEST_F(AppFrameConfigure, ConfigurationFileFailuresNameWhatIsMissing) {
  const std::string given = folder.file("my settings.conf");
  writeFile(given, "");
  writeRegistry(std::nullopt, std::nullopt);
  {
    // The -c value is taken as it is, without the registry.
    TestFrame frame;
    parse(frame, {"-c", given});
    EXPECT_EQ(fileNameOf(frame), given);
  }
  {
    TestFrame frame;
    parse(frame, {"-c", folder.file("nowhere.conf")});
    try {
      fileNameOf(frame);
      FAIL() << "no exception";
    } catch (const AppFrame::Configuration_ConfigurationFileNotFound& failure) {
      EXPECT_EQ(failure.getMessage(),
                "@app-frame.configure.file-not-found{Configuration file \"%\" was not found};");
      EXPECT_EQ(failure.toString(false),
                " Configuration file \"" + folder.file("nowhere.conf") + "\" was not found");
    }
  }
  {
    TestFrame frame("Test:App");
    parse(frame, {});
    try {
      fileNameOf(frame);
      FAIL() << "no exception";
    } catch (const AppFrame::Configuration_NoConfigurationDir& failure) {
      ASSERT_EQ(failure.getNestedExceptions().size(), 1u);
      EXPECT_EQ(failure.getNestedExceptions()[0].getClassName(), "GetLocal_NotFound");
      EXPECT_NE(failure.toString().find("SOFTWARE\\Zelcor\\Resources\\ConfigurationDir"),
                std::string::npos);
    }
  }
  writeRegistry("", std::nullopt);
  {
    TestFrame frame;
    parse(frame, {});
    EXPECT_THROW(fileNameOf(frame), AppFrame::Configuration_NoConfigurationDir);
  }
  writeRegistry(folder.str(), std::nullopt);
  {
    TestFrame frame("Test:App");
    parse(frame, {});
    try {
      fileNameOf(frame);
      FAIL() << "no exception";
    } catch (const AppFrame::Configuration_ConfigurationFileNotFound& failure) {
      EXPECT_NE(failure.toString().find("\"" + folder.str() + "/test:app.conf\""),
                std::string::npos);
    }
  }
}

TEST_F(AppFrameConfigure, LogLevelFromTheDebugOptionElseDebugLevelElseSeverity) {
  struct Case {
    std::vector<std::string> options;
    std::optional<int> debugLevel;
    std::optional<std::string> severity;
    int expected;
  };
  const std::vector<Case> cases = {
      {{"--debug", "TRACE"}, 1, "fatal", 7},
      {{"--debug", "foo"}, 4, "error", 0},
      {{}, 1, "fatal", 5},
      {{}, 2, std::nullopt, 6},
      {{}, 3, "error", 6},
      {{}, 4, std::nullopt, 7},
      {{}, 5, std::nullopt, 8},
      {{}, 6, "error", 0},
      {{}, 9, "error", 0},
      {{}, -1, "error", 0},
      {{}, 0, "Critical", 2},
      {{}, 0, "error", 2},
      {{}, std::nullopt, "notice", 4},
      {{}, std::nullopt, "WARNING", 3},
      {{}, std::nullopt, "Fatal", 1},
      {{}, std::nullopt, "info", 0},
      {{}, std::nullopt, std::nullopt, 0},
  };
  for (const Case& c : cases) {
    TestFrame frame;
    parse(frame, c.options);
    std::string text;
    if (c.debugLevel) {
      text += "JobScheduler (String) = \"\" { log (String) = \"\" { debug-level (Integer) = \"" +
              std::to_string(*c.debugLevel) + "\" { } } }\n";
    }
    if (c.severity) {
      text +=
          "log (String) = \"\" { channels (String) = \"\" { default (String) = \"\" {"
          " severity (String) = \"" +
          *c.severity + "\" { } } } }\n";
    }
    if (!text.empty()) {
      writeFile(folder.file("levels.conf"), text);
      ConfOldFile loader;
      loader.load(folder.file("levels.conf"), true);
    }
    EXPECT_EQ(frame.getLogLevel(), c.expected)
        << (c.options.empty() ? "" : c.options[1]) << " " << c.debugLevel.value_or(-99) << " "
        << c.severity.value_or("-");
  }
}

TEST_F(AppFrameConfigure, StartupLogThenConfiguredLogWithSafeBaseNames) {
  const std::string pid = std::to_string(platform::currentProcessId());
  const std::string logs = folder.file("logs");
  const std::string startup = folder.file("startup");
  fs::create_directory(folder.file("my cfg"));
  const std::string configuration = folder.file("my cfg") + "/settings.conf";
  writeFile(configuration,
            "Zelcor (String) = \"\" { directories (String) = \"\" {"
            " log (DirName) = \"" +
                logs + "\" { } } }\n");
  writeRegistry(std::nullopt, "  " + startup + "\t");

  TestFrame frame("Test:App");
  frame.setLogSubdirectoryPerApplication(true);
  frame.setProcessIdInLogName(true);
  parse(frame, {"--debug", "verbose", "-c", configuration});
  // Lets the start-up phase keep the verbose "Configuring" line.
  frame.getFileLogger().setLevel(kLogVerbose);
  ASSERT_TRUE(frame.configure());

  EXPECT_EQ(frame.calls, (std::vector<std::string>{
                             "registerConfigurationKeys -",
                             "configurationLoaded " + logs + "/Test_App/",
                             "verifyConfiguration " + logs + "/Test_App/",
                         }));
  EXPECT_EQ(frame.getFileLogger().getBaseName(), "Test_App_" + pid);
  EXPECT_EQ(frame.getFileLogger().getLevel(), kLogVerbose);
  EXPECT_EQ(getLevelCeiling(), kLogVerbose);

  const std::string startupLog = readAll(startup + "/Test_App/Test_App_" + pid + ".log");
  EXPECT_NE(startupLog.find("Configuring"), std::string::npos) << startupLog;
  EXPECT_NE(startupLog.find("Disabling logging to this file at "), std::string::npos);

  frame.getApplicationLogger().info("after configure");
  const std::string log = readAll(logs + "/Test_App/Test_App_" + pid + ".log");
  EXPECT_EQ(log.find("Configuring"), std::string::npos) << log;
  EXPECT_NE(log.find("AppFrame::configure: Command line:\n\tjobscheduler --debug verbose -c \"" +
                     configuration + "\"\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("after configure"), std::string::npos);
}

TEST_F(AppFrameConfigure, ConfigureFailuresCarryTheFramesLocation) {
  const std::string configuration = folder.file("jobscheduler.conf");
  writeFile(configuration, "Zelcor (String) = \"\" { }\n");
  writeRegistry(folder.str(), std::nullopt);
  auto failureOf = [&](TestFrame& frame) -> Exception {
    try {
      frame.configure();
    } catch (const Exception& failure) {
      return failure;
    }
    return Exception("nothing thrown");
  };
  {
    TestFrame frame;
    parse(frame, {});
    Exception failure = failureOf(frame);
    EXPECT_EQ(failure.getClassName(), "GetLocal_NotFound");
    ASSERT_FALSE(failure.getLocations().empty());
    EXPECT_NE(failure.getLocations().back().find("file=\"AppFrame\""), std::string::npos);
  }
  writeRegistry(folder.str(), folder.file("startup"));
  {
    TestFrame frame;
    parse(frame, {});
    Exception failure = failureOf(frame);
    EXPECT_EQ(failure.getClassName(), "Query_NotFound");
    EXPECT_NE(failure.toString().find("Zelcor.directories.log"), std::string::npos);
    EXPECT_NE(failure.getLocations().back().find("file=\"AppFrame\""), std::string::npos);
    EXPECT_EQ(frame.calls, (std::vector<std::string>{"registerConfigurationKeys -"}));
  }
  fs::remove(configuration);
  {
    TestFrame frame;
    parse(frame, {});
    EXPECT_EQ(failureOf(frame).getClassName(), "Configuration_ConfigurationFileNotFound");
  }
}

TEST_F(AppFrameConfigure, SecondInstanceRefusedWhileTheFirstHoldsTheMutex) {
  {
    TestFrame first("Test:App");
    ASSERT_TRUE(first.checkSingleInstance());
    EXPECT_TRUE(first.checkSingleInstance());  // asking again is no second instance
    ASSERT_NE(first.getInstanceMutex(), nullptr);
    EXPECT_EQ(first.getInstanceMutex()->getLockCount(), 2u);
    EXPECT_TRUE(fs::exists(folder.file("locks") + "/Test_App_Single.lock"));
    InstanceMutex second("Test:App_Single");
    EXPECT_FALSE(second.lock(AppFrame::kSingleInstanceTimeoutMilliseconds));
  }
  auto holder = std::make_unique<InstanceMutex>("JobScheduler_Single");
  ASSERT_TRUE(holder->lock(100));
  {
    TestFrame frame;
    try {
      frame.checkSingleInstance();
      FAIL() << "no exception";
    } catch (const AppFrame::AlreadyRunning& failure) {
      EXPECT_EQ(failure.toString(),
                "AlreadyRunning: Another instance of the application is "
                "already running - cannot start another");
    }
    // configure asks too when the application wants a single instance.
    writeFile(folder.file("jobscheduler.conf"),
              "Zelcor (String) = \"\" { directories (String) = \"\" { log (DirName) = \"" +
                  folder.file("logs") + "\" { } } }\n");
    writeRegistry(folder.str(), folder.file("startup"));
    parse(frame, {});
    frame.setSingleInstance(true);
    EXPECT_THROW(frame.configure(), AppFrame::AlreadyRunning);
    EXPECT_EQ(frame.calls, (std::vector<std::string>{"registerConfigurationKeys -"}));

    // Once the holder has gone, the same frame gets the mutex.
    holder.reset();
    EXPECT_TRUE(frame.checkSingleInstance());
  }
  // And the frame gives it up when it goes.
  InstanceMutex after("JobScheduler_Single");
  EXPECT_TRUE(after.lock(100));
}

}  // namespace
}  // namespace ZelcorCorelib
