#include "files/ZFile.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "platform/FileSystem.h"

namespace ZelcorCorelib {

void ZFile::StreamCloser::operator()(gzFile_s* file) const {
  if (file != nullptr) gzclose(file);
}

ZFile::ZFile(std::string path) : FileReader(std::move(path)) {}

ZFile::~ZFile() = default;
ZFile::ZFile(ZFile&&) noexcept = default;
ZFile& ZFile::operator=(ZFile&&) noexcept = default;

bool ZFile::noteError() {
  int error = Z_OK;
  gzerror(stream.get(), &error);
  if (error != Z_OK) readFailed = true;
  return error != Z_OK;
}

bool ZFile::openRead() {
  close();
  lineNumber = 1;
  readFailed = false;
  // gzopen's own 'e' flag exists only in newer zlib; the platform opens close-on-exec.
  int descriptor = platform::openReadDescriptor(path);
  if (descriptor < 0) return false;
  gzFile file = gzdopen(descriptor, "rb");
  if (file == nullptr) {
    platform::closeDescriptor(descriptor);
    return false;
  }
  stream.reset(file);
  // gzdirect looks at the header: 1 means no gzip magic (also an empty or one-byte file).
  if (gzdirect(stream.get()) != 0) {
    stream.reset();
    readFailed = true;
    return false;
  }
  return true;
}

bool ZFile::readChar(char& c) {
  if (!stream) return false;
  int value = gzgetc(stream.get());
  if (value < 0) {
    noteError();
    return false;
  }
  c = static_cast<char>(value);
  if (c == '\n') ++lineNumber;
  return true;
}

std::int64_t ZFile::tell() {
  if (!stream) return -1;
  return static_cast<std::int64_t>(gztell(stream.get()));
}

bool ZFile::seek(std::int64_t position) {
  if (!stream || position < 0) return false;
  if (gzrewind(stream.get()) != 0) {
    noteError();
    return false;
  }
  readFailed = false;
  std::vector<char> buffer(4096);
  std::size_t lines = 1;
  std::int64_t remaining = position;
  while (remaining > 0) {
    auto wanted = static_cast<unsigned>(std::min<std::int64_t>(remaining, buffer.size()));
    int got = gzread(stream.get(), buffer.data(), wanted);
    if (got < 0) {
      noteError();
      return false;
    }
    lines += static_cast<std::size_t>(std::count(buffer.data(), buffer.data() + got, '\n'));
    remaining -= got;
    if (static_cast<unsigned>(got) < wanted) {
      // A short read is either damage or the end; a position past the end is refused.
      noteError();
      lineNumber = lines;
      return false;
    }
  }
  lineNumber = lines;
  return true;
}

bool ZFile::close() {
  if (!stream) return true;
  return gzclose(stream.release()) == Z_OK;
}

}  // namespace ZelcorCorelib
