// Test helper: "hold.sh", a job program for tests of the scheduling loop. Each start appends
// its first argument, the job's tag, to the file "ran"; the job then runs for as long as the
// hold file of its tag exists, so a test decides when each job ends. The hold files live in the
// test's folder, so a job still held when a test fails ends by itself when the folder goes.
// Used from the test thread; the scripts it starts only read and append.
#pragma once

#include <cstddef>
#include <string>

#include "testsupport/TempDir.h"

namespace Zelcor::test {

class HoldScript {
 public:
  enum class OnStop { end, ignore };

  // ignore: the script ignores the stop request (SIGTERM), as the job of a scheduler that was
  // killed is never asked to stop.
  HoldScript(const ZelcorCorelib::test::TempDir& dir, OnStop onStop);

  const std::string& getPath() const { return path; }
  const std::string& getRanFile() const { return ranFile; }

  // Creates the hold file of tag.
  void hold(const std::string& tag) const;
  void release(const std::string& tag) const;
  // Spec text that runs the script with tag, extra appended; the hold file of tag is made.
  std::string spec(const std::string& tag, const std::string& extra = "") const;
  // How often a job with tag has started.
  std::size_t starts(const std::string& tag) const;

 private:
  std::string folder;
  std::string path;
  std::string ranFile;
};

}  // namespace Zelcor::test
