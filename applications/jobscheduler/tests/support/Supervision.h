// Jobs in tests run as they do in the scheduler: under the supervisor program built beside it,
// recorded in a folder of run records that each test makes for itself.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ChildProcess.h"
#include "RunRecords.h"

namespace Zelcor::test {

// The records folder at folder (made when missing) with the built supervisor; fails the test
// when it cannot be had.
inline RunRecords::Pointer openRunRecords(const std::string& folder) {
  std::string error;
  RunRecords::Pointer records = RunRecords::open(folder, JOBSCHEDULER_RUN_BINARY, error);
  EXPECT_TRUE(records) << error;
  return records;
}

// What run needs for one start: a fresh run id in records, named after spec.
inline ChildProcess::Launch launchIn(const RunRecords::Pointer& records,
                                     const std::string& spec = "test.spec") {
  ChildProcess::Launch launch;
  launch.records = records;
  launch.runId = records ? records->newRunId() : std::string();
  launch.spec = spec;
  launch.queue = "queue_normal";
  launch.started = 0;
  return launch;
}

}  // namespace Zelcor::test
