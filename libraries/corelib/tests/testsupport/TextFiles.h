// Test helpers for whole files: write and read them byte for byte, and write the tiny shell
// scripts that tests run as child processes. For tests only; header-only; no state.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "TempDir.h"

namespace ZelcorCorelib::test {

// Replaces the file's content; no line ending is added.
inline void writeRaw(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// The whole file, or empty when it cannot be read.
inline std::string readRaw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// An executable /bin/sh script named name inside dir, running body; gives its path.
inline std::string writeScript(const TempDir& dir, const std::string& name,
                               const std::string& body) {
  const std::string path = dir.file(name);
  writeRaw(path, "#!/bin/sh\n" + body + "\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

}  // namespace ZelcorCorelib::test
