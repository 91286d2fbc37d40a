// A fresh folder under the system's temporary directory for one test, removed with all its
// contents when the object goes. Tests create one per case so that runs in parallel and
// leftovers of earlier runs never meet. Not shared between threads while being destroyed.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace ZelcorCorelib::test {

class TempDir {
 public:
  explicit TempDir(std::string_view prefix = "zelcor-test")
      : TempDir(prefix, std::filesystem::temp_directory_path()) {}

  // Under another base folder, e.g. one on a different file system.
  TempDir(std::string_view prefix, const std::filesystem::path& base) {
    namespace fs = std::filesystem;
    std::random_device device;
    std::mt19937_64 random(
        (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100; ++attempt) {
      fs::path candidate = base / (std::string(prefix) + "-" + std::to_string(random()));
      std::error_code error;
      // create_directory is false for a name that is already there: then pick another.
      if (fs::create_directory(candidate, error)) {
        folder = candidate;
        return;
      }
    }
    throw std::runtime_error("TempDir: cannot create a folder under " + base.string());
  }

  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::remove_all(folder, error) != static_cast<std::uintmax_t>(-1) && !error) return;
    // A test may have taken permissions away; give them back and try once more.
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      if (!it->is_symlink()) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
      }
    }
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(folder, error);
  }

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return folder; }
  // The folder itself, as a string, with no trailing separator.
  std::string str() const { return folder.string(); }
  // A name inside the folder, as a string.
  std::string file(std::string_view name) const { return (folder / name).string(); }

 private:
  std::filesystem::path folder;
};

}  // namespace ZelcorCorelib::test
