#include "support/SpecFiles.h"

#include <algorithm>
#include <filesystem>

namespace Zelcor::test {

namespace fs = std::filesystem;

ZelcorCorelib::KeyValueMap readSpec(const std::string& path) {
  ZelcorCorelib::KeyValueMap spec;
  ZelcorCorelib::readKeyValueFile(path, spec);
  return spec;
}

std::string valueOf(const ZelcorCorelib::KeyValueMap& spec, const std::string& key) {
  auto it = spec.lower_bound(key);
  return it != spec.end() && it->first == key ? it->second : "<missing>";
}

std::string valueOf(const std::string& specPath, const std::string& key) {
  return valueOf(readSpec(specPath), key);
}

std::vector<std::string> specNames(const std::string& directory) {
  std::vector<std::string> names;
  if (!fs::is_directory(directory)) return names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().extension() == ".spec") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace Zelcor::test
