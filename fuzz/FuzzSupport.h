// What the fuzz targets share: a folder of the process's own for inputs that the code under
// test only reads from a file, and the check that turns a broken property into a crash that
// libFuzzer (or the corpus driver) reports with the input that caused it.
// Targets run single-threaded; the folder lives until the process exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ZelcorFuzz {

// A property that every input must keep; on failure names it on standard error and aborts.
void require(bool holds, const char* property);

// Writes bytes to name in the process's temporary folder (made at first use, removed at exit)
// and returns the file's path. Aborts when the file cannot be written: a target that silently
// tested an empty file would prove nothing.
std::string writeInputFile(const std::string& name, std::string_view bytes);

// The path of the process's temporary folder.
const std::string& inputFolder();

// Keeps the loggers from building records: nothing listens, and the work would only slow
// every run down. Call at the start of each run; code under test may raise the ceiling.
void silenceLogging();

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace ZelcorFuzz
