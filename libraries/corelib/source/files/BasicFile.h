// A plain file on a C stream, opened either for reading or for appending. File uses it for
// every file that is not gzip-compressed; the file logger uses it directly to append log
// lines and to learn the size at which it rotates.
// Binary in both directions: bytes are read and written exactly as they are (a line feed
// stays one 0x0A). The stream is opened close-on-exec, so job processes never inherit it,
// and closed in the destructor. One object belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "files/File.h"

namespace ZelcorCorelib {

class BasicFile : public FileReader {
 public:
  explicit BasicFile(std::string path);
  ~BasicFile() override;
  BasicFile(BasicFile&&) noexcept;
  BasicFile& operator=(BasicFile&&) noexcept;

  bool openRead() override;
  // Creates the file when it is missing; every write goes to its end.
  bool openAppend();
  bool readChar(char& c) override;
  std::int64_t tell() override;
  // Reading: the line number follows to the new position; a position past the end fails
  // and leaves the stream at the end. Appending: writes still go to the end.
  bool seek(std::int64_t position) override;
  bool close() override;
  bool isOpen() const override { return stream != nullptr; }
  bool isAppending() const { return isOpen() && appending; }

  // Only while open for appending.
  bool write(char c);
  bool write(const std::string& text);
  bool flush();

  // The size in bytes including everything written so far (flushes first); when the file
  // is not open, the size of the file on disk. nullopt when it cannot be learnt.
  std::optional<std::uint64_t> getSize();

 private:
  struct StreamCloser {
    void operator()(std::FILE* file) const;
  };

  bool open(bool forAppending);

  std::unique_ptr<std::FILE, StreamCloser> stream;
  bool appending = false;
};

}  // namespace ZelcorCorelib
