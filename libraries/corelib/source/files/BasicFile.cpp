#include "files/BasicFile.h"

#include <algorithm>
#include <vector>

#include "platform/FileSystem.h"

namespace ZelcorCorelib {

void BasicFile::StreamCloser::operator()(std::FILE* file) const {
  if (file != nullptr) std::fclose(file);
}

BasicFile::BasicFile(std::string path) : FileReader(std::move(path)) {}

BasicFile::~BasicFile() = default;
BasicFile::BasicFile(BasicFile&&) noexcept = default;
BasicFile& BasicFile::operator=(BasicFile&&) noexcept = default;

bool BasicFile::open(bool forAppending) {
  close();
  lineNumber = 1;
  readFailed = false;
  stream.reset(platform::openStream(
      path, forAppending ? platform::StreamMode::append : platform::StreamMode::read));
  appending = forAppending;
  return stream != nullptr;
}

bool BasicFile::openRead() { return open(false); }

bool BasicFile::openAppend() { return open(true); }

bool BasicFile::readChar(char& c) {
  if (!stream || appending) return false;
  int value = std::fgetc(stream.get());
  if (value == EOF) {
    if (std::ferror(stream.get())) readFailed = true;
    return false;
  }
  c = static_cast<char>(value);
  if (c == '\n') ++lineNumber;
  return true;
}

std::int64_t BasicFile::tell() { return platform::streamTell(stream.get()); }

bool BasicFile::seek(std::int64_t position) {
  if (!stream || position < 0) return false;
  if (appending) return platform::streamSeek(stream.get(), position);

  // The line number of an arbitrary position is only known by counting up to it.
  if (!platform::streamSeek(stream.get(), 0)) return false;
  std::vector<char> buffer(4096);
  std::size_t lines = 1;
  std::int64_t remaining = position;
  while (remaining > 0) {
    std::size_t wanted = static_cast<std::size_t>(std::min<std::int64_t>(remaining, buffer.size()));
    std::size_t got = std::fread(buffer.data(), 1, wanted, stream.get());
    lines += static_cast<std::size_t>(std::count(buffer.data(), buffer.data() + got, '\n'));
    remaining -= static_cast<std::int64_t>(got);
    if (got < wanted) {
      if (std::ferror(stream.get())) {
        readFailed = true;
        return false;
      }
      // Past the end: refused, the stream stays at the end with the last line's number.
      lineNumber = lines;
      return false;
    }
  }
  readFailed = false;
  lineNumber = lines;
  return true;
}

bool BasicFile::close() {
  if (!stream) return true;
  std::FILE* file = stream.release();
  bool clean = !std::ferror(file);
  if (std::fclose(file) != 0) clean = false;
  return clean;
}

bool BasicFile::write(char c) {
  if (!stream || !appending) return false;
  return std::fputc(static_cast<unsigned char>(c), stream.get()) != EOF;
}

bool BasicFile::write(const std::string& text) {
  if (!stream || !appending) return false;
  if (text.empty()) return true;
  return std::fwrite(text.data(), 1, text.size(), stream.get()) == text.size();
}

bool BasicFile::flush() {
  if (!stream || !appending) return false;
  return std::fflush(stream.get()) == 0;
}

std::optional<std::uint64_t> BasicFile::getSize() {
  if (stream) return platform::streamSize(stream.get());
  auto status = platform::fileStatus(path);
  if (!status) return std::nullopt;
  return status->size;
}

}  // namespace ZelcorCorelib
