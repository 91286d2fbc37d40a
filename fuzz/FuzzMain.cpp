// The driver for builds without libFuzzer: runs the target once over every file named on the
// command line, and over every regular file of each folder named there (in name order, so that
// two runs do the same), as libFuzzer does when it is given a corpus and no time to search.
// CTest uses it to keep every input of the corpus passing. A crash or sanitizer report ends the
// run as it would under libFuzzer; a missing or empty corpus is an error rather than a pass.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool runFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "FuzzMain: cannot read " << path.string() << "\n";
    return false;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    std::cerr << "FuzzMain: cannot read " << path.string() << "\n";
    return false;
  }
  // A copy of exactly the input's size, so that a read past its end is seen by the sanitizers.
  std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return true;
}

// The regular files of folder (or folder itself when it is a file), sorted; false when there
// are none or the folder cannot be listed.
bool collect(const std::filesystem::path& root, std::vector<std::filesystem::path>& files) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::is_regular_file(root, error)) {
    files.push_back(root);
    return true;
  }
  if (!fs::is_directory(root, error)) {
    std::cerr << "FuzzMain: " << root.string() << " is neither a file nor a folder\n";
    return false;
  }
  const std::size_t before = files.size();
  for (auto it = fs::directory_iterator(root, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    if (it->is_regular_file(error)) files.push_back(it->path());
  }
  if (error) {
    std::cerr << "FuzzMain: cannot list " << root.string() << ": " << error.message() << "\n";
    return false;
  }
  if (files.size() == before) {
    std::cerr << "FuzzMain: " << root.string() << " holds no input\n";
    return false;
  }
  std::sort(files.begin() + static_cast<std::ptrdiff_t>(before), files.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: " << argv[0] << " FILE_OR_FOLDER...\n";
    return 2;
  }
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    if (!collect(argv[i], files)) return 1;
  }
  for (const std::filesystem::path& file : files) {
    if (!runFile(file)) return 1;
  }
  std::cerr << "FuzzMain: " << files.size() << " inputs passed\n";
  return 0;
}
