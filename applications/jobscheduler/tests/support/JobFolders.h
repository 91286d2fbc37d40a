// Test fixture base: a fresh folder holding the four job folders of one scheduler installation
// (pending, queued, running, finished), made before the test and removed with everything in it
// after. The test thread owns it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "QueueController.h"
#include "support/Supervision.h"
#include "testsupport/TempDir.h"

namespace Zelcor::test {

class JobFolders : public ::testing::Test {
 protected:
  explicit JobFolders(std::string_view prefix) : dir(prefix) {
    for (const std::string& folder : {pending, queued, running, finished}) {
      std::filesystem::create_directories(folder);
    }
  }

  // The four folders and the run records of this installation.
  void giveFoldersTo(QueueController& controller) const {
    controller.setDirectories(pending, queued, running, finished);
    controller.setRunRecords(records);
  }

  ZelcorCorelib::test::TempDir dir;
  const std::string pending = dir.file("pending");
  const std::string queued = dir.file("queued");
  const std::string running = dir.file("running");
  const std::string finished = dir.file("finished");
  const std::string runs = dir.file("work/runs");
  const RunRecords::Pointer records = openRunRecords(runs);
};

}  // namespace Zelcor::test
