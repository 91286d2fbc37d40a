// The framework's read access to text files, plain or gzip-compressed. The configuration
// loader and the key-value reader open a File by path and read it character by character,
// keeping the line number for their messages; the extension decides the reader: "gz" (in
// any case) is read through ZFile, anything else through BasicFile.
// One object belongs to one thread at a time; the file is closed in the destructor.
// File owns its reader; a moved-from File may only be assigned to or destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ZelcorCorelib {

// What every file reader offers. Reading ends with false both at the end of the data and on
// a read error; failed() tells the two apart. Line numbers count from 1 and go up with each
// line feed read; after a seek they are those of the new position.
class FileReader {
 public:
  explicit FileReader(std::string path) : path(std::move(path)) {}
  virtual ~FileReader() = default;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Reopens from the start when already open.
  virtual bool openRead() = 0;
  virtual bool readChar(char& c) = 0;
  // -1 when no position can be given.
  virtual std::int64_t tell() = 0;
  virtual bool seek(std::int64_t position) = 0;
  // False when data could not be written out or the file system reported an error.
  virtual bool close() = 0;
  virtual bool isOpen() const = 0;

  // The last read or seek hit a read error or damaged data (not just the end).
  bool failed() const { return readFailed; }
  std::size_t getLineNumber() const { return lineNumber; }
  const std::string& getPath() const { return path; }

 protected:
  FileReader(FileReader&&) = default;
  FileReader& operator=(FileReader&&) = default;

  std::string path;
  std::size_t lineNumber = 1;
  bool readFailed = false;
};

class File {
 public:
  explicit File(const std::string& path);
  ~File();
  File(File&&) noexcept;
  File& operator=(File&&) noexcept;

  bool openRead() { return reader->openRead(); }
  bool readChar(char& c) { return reader->readChar(c); }
  std::int64_t tell() { return reader->tell(); }
  bool seek(std::int64_t position) { return reader->seek(position); }
  bool close() { return reader->close(); }
  bool isOpen() const { return reader->isOpen(); }
  bool failed() const { return reader->failed(); }
  std::size_t getLineNumber() const { return reader->getLineNumber(); }
  const std::string& getPath() const { return reader->getPath(); }
  bool isCompressed() const { return compressed; }

 private:
  std::unique_ptr<FileReader> reader;
  bool compressed = false;
};

}  // namespace ZelcorCorelib
