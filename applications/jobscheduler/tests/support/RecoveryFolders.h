// Test fixture base for start-up recovery: the job folders of one scheduler installation,
// shared by the run that "crashes" and the run that recovers. The hold script ignores the stop
// request, as a job of a killed scheduler is never asked to stop, and records every start.
// The hold files go with the folder, so a job still held when a test fails ends by itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "CorePool.h"
#include "QueueController.h"
#include "support/HoldScript.h"
#include "support/JobFolders.h"
#include "testsupport/WaitFor.h"

namespace Zelcor::test {

// Unix seconds, as the scheduler stamps "started", moved by offset.
inline std::string unixNow(std::int64_t offset = 0) {
  return std::to_string(static_cast<std::int64_t>(std::time(nullptr)) + offset);
}

class RecoveryFolders : public JobFolders {
 protected:
  explicit RecoveryFolders(std::string_view prefix) : JobFolders(prefix) {}

  std::unique_ptr<QueueController> scheduler(CorePool& pool) {
    auto controller = std::make_unique<QueueController>(&quit, pool);
    giveFoldersTo(*controller);
    controller->initQueues();
    return controller;
  }
  // Passes until nothing is left in any queue, every hold released.
  void drain(QueueController& controller) {
    ASSERT_TRUE(ZelcorCorelib::testing::waitFor([&] {
      controller.runOnce();
      for (const JobQueue& queue : controller.getQueues()) {
        if (!queue.isEmpty()) return false;
      }
      return true;
    }));
  }

  const std::string normalQueue = queued + "/queue_normal";
  const HoldScript holds{dir, HoldScript::OnStop::ignore};
  std::atomic<std::uint8_t> quit{0};
};

}  // namespace Zelcor::test
