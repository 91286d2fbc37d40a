// A gzip-compressed file read through zlib's gzip stream interface. File uses it for files
// whose extension is "gz"; it only reads, and tell and seek count uncompressed bytes.
// Damaged data ends reading with failed() set: a truncated stream, a bad checksum or bad
// compressed data, and content that is not gzip at all (zlib would hand such a file through
// unchanged, which would pass a damaged or misnamed file off as its text), which already
// makes openRead fail. Data after the end of a complete gzip stream is ignored, as gzip
// itself does.
// The descriptor is opened close-on-exec and closed in the destructor. One object belongs to
// one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "files/File.h"

struct gzFile_s;

namespace ZelcorCorelib {

class ZFile : public FileReader {
 public:
  explicit ZFile(std::string path);
  ~ZFile() override;
  ZFile(ZFile&&) noexcept;
  ZFile& operator=(ZFile&&) noexcept;

  bool openRead() override;
  bool readChar(char& c) override;
  std::int64_t tell() override;
  // zlib seeks in compressed data by decompressing from the start, which also counts the
  // lines on the way. A position past the end fails and leaves the stream at the end.
  bool seek(std::int64_t position) override;
  bool close() override;
  bool isOpen() const override { return stream != nullptr; }

 private:
  struct StreamCloser {
    void operator()(gzFile_s* file) const;
  };

  // Records a zlib error of the stream; true when there was one.
  bool noteError();

  std::unique_ptr<gzFile_s, StreamCloser> stream;
};

}  // namespace ZelcorCorelib
