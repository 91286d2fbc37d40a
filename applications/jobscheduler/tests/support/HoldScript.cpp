#include "support/HoldScript.h"

#include <filesystem>
#include <sstream>

#include "testsupport/TextFiles.h"

namespace Zelcor::test {

using ZelcorCorelib::test::readRaw;
using ZelcorCorelib::test::writeRaw;

HoldScript::HoldScript(const ZelcorCorelib::test::TempDir& dir, OnStop onStop)
    : folder(dir.str()), ranFile(dir.file("ran")) {
  path = ZelcorCorelib::test::writeScript(
      dir, "hold.sh",
      std::string(onStop == OnStop::ignore ? "trap '' TERM\n" : "") + "echo \"$1\" >> '" + ranFile +
          "'\nwhile [ -e '" + folder + "/hold-'\"$1\" ]; do sleep 0.02; done");
}

void HoldScript::hold(const std::string& tag) const { writeRaw(folder + "/hold-" + tag, ""); }

void HoldScript::release(const std::string& tag) const {
  std::filesystem::remove(folder + "/hold-" + tag);
}

std::string HoldScript::spec(const std::string& tag, const std::string& extra) const {
  hold(tag);
  return "executable=" + path + "\narguments=" + tag + extra;
}

std::size_t HoldScript::starts(const std::string& tag) const {
  std::istringstream lines(readRaw(ranFile));
  std::size_t n = 0;
  for (std::string line; std::getline(lines, line);) n += line == tag;
  return n;
}

}  // namespace Zelcor::test
