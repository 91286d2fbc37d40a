// Test helper: a configuration store holding Zelcor.directories.<name> entries and the "dirs"
// keyword, as the scheduler registers them, so that "%name%" references resolve, or fail, for
// real. The store answers on the process's bus for the life of the object; one per test.
#pragma once

#include <string>
#include <vector>

#include "config/ConfAgent.h"
#include "config/ConfBase.h"

namespace Zelcor::test {

class DirectoryStore {
 public:
  struct Entry {
    std::string name;
    int type;  // a ZelcorCorelib configuration type code, kConfString or kConfDir
    std::string value;
  };

  explicit DirectoryStore(const std::vector<Entry>& entries);

  // False when an entry could not be made or the store did not take the tree.
  bool isLoaded() const { return loaded; }

 private:
  ZelcorCorelib::ConfBase store;
  ZelcorCorelib::ConfAgent agent;
  bool loaded = false;
};

}  // namespace Zelcor::test
