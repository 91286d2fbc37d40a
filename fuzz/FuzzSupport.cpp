#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "bus/Logger.h"
#include "testsupport/TempDir.h"

namespace ZelcorFuzz {

namespace {

ZelcorCorelib::test::TempDir& folder() {
  // A static: removed by its destructor when the fuzzer or the driver exits normally.
  static ZelcorCorelib::test::TempDir dir("zelcor-fuzz");
  return dir;
}

}  // namespace

void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "fuzz property broken: %s\n", property);
  std::abort();
}

const std::string& inputFolder() {
  static const std::string path = folder().path().string();
  return path;
}

std::string writeInputFile(const std::string& name, std::string_view bytes) {
  std::string path = inputFolder();
  path.append("/").append(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  require(static_cast<bool>(out), "the input file can be written");
  return path;
}

void silenceLogging() { ZelcorCorelib::setLevelCeiling(ZelcorCorelib::kLogNone); }

}  // namespace ZelcorFuzz
