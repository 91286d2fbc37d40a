// Test helpers that read job spec files and job folders the way a test checks them. No state;
// any thread.
#pragma once

#include <string>
#include <vector>

#include "files/KeyValueFile.h"

namespace Zelcor::test {

// The entries of the spec file; none when it cannot be read.
ZelcorCorelib::KeyValueMap readSpec(const std::string& path);

// The first value of key, or "<missing>".
std::string valueOf(const ZelcorCorelib::KeyValueMap& spec, const std::string& key);
std::string valueOf(const std::string& specPath, const std::string& key);

// The names of the *.spec files directly in directory, sorted; none when it is no folder.
std::vector<std::string> specNames(const std::string& directory);

}  // namespace Zelcor::test
