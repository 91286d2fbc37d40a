// A fresh folder under the system's temporary directory for one test, removed with its
// contents when the object goes; and waitFor, which polls a condition instead of sleeping for
// a guessed time. For jsctl's tests only; header-only.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace Zelcor::test {

class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "jsctl-test") {
    namespace fs = std::filesystem;
    std::random_device device;
    std::mt19937_64 random((static_cast<std::uint64_t>(device()) << 32) ^ device());
    for (int attempt = 0; attempt < 100; ++attempt) {
      fs::path candidate =
          fs::temp_directory_path() / (prefix + "-" + std::to_string(random()));
      std::error_code error;
      if (fs::create_directory(candidate, error)) {
        folder = candidate;
        return;
      }
    }
    throw std::runtime_error("TempFolder: cannot create a folder");
  }
  ~TempFolder() {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string path() const { return folder.string(); }
  std::string file(const std::string& name) const { return (folder / name).string(); }

 private:
  std::filesystem::path folder;
};

inline std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void writeWhole(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

template <typename Predicate>
bool waitFor(Predicate&& predicate,
             std::chrono::milliseconds deadline = std::chrono::milliseconds(10'000)) {
  const auto giveUp = std::chrono::steady_clock::now() + deadline;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= giveUp) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace Zelcor::test
