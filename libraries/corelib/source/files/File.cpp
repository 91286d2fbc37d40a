#include "files/File.h"

#include "base/StringUtils.h"
#include "files/BasicFile.h"
#include "files/FileUtils.h"
#include "files/ZFile.h"

namespace ZelcorCorelib {

File::File(const std::string& path) : compressed(lowerCopy(fileExtension(path)) == "gz") {
  if (compressed) {
    reader = std::make_unique<ZFile>(path);
  } else {
    reader = std::make_unique<BasicFile>(path);
  }
}

File::~File() = default;
File::File(File&&) noexcept = default;
File& File::operator=(File&&) noexcept = default;

}  // namespace ZelcorCorelib
