// A scheduler started at debug level in a sandbox of its own before each test, for tests that
// feed it hostile input while it runs and check that it keeps working. At that level the log
// shows the start-up line the fixture waits for and every refusal.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "support/SchedulerProcess.h"

namespace Zelcor::e2e {

#ifdef __SANITIZE_ADDRESS__
// The sanitizer keeps freed blocks in quarantine (256 MB) before it gives them back.
inline constexpr long kMemoryLimitKb = 1'200'000;
#else
inline constexpr long kMemoryLimitKb = 300'000;
#endif

std::size_t occurrences(const std::string& text, const std::string& part);

class RunningSchedulerTest : public ::testing::Test {
 protected:
  explicit RunningSchedulerTest(std::string sandboxName) : sandboxName(std::move(sandboxName)) {}
  void SetUp() override;

  std::filesystem::path pending() const { return sandbox->jobFolder("pending"); }
  std::string log() const { return readText(sandbox->logFile()); }
  // A good job, dropped now, must reach the finished folder.
  void expectGoodJobRuns(const std::string& name);

  std::unique_ptr<Sandbox> sandbox;
  std::unique_ptr<SchedulerProcess> scheduler;

 private:
  std::string sandboxName;
};

}  // namespace Zelcor::e2e
