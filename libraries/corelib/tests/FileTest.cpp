#include "files/File.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "files/BasicFile.h"
#include "files/ZFile.h"
#include "testsupport/TempDir.h"

namespace ZelcorCorelib {
namespace {

using test::TempDir;

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t linesBefore(const std::string& content, std::size_t position) {
  return 1 +
         static_cast<std::size_t>(std::count(content.begin(), content.begin() + position, '\n'));
}

struct ReadResult {
  std::string text;
  bool failed = false;
};

ReadResult readAll(File& file) {
  ReadResult result;
  char c = 0;
  while (file.readChar(c)) result.text += c;
  result.failed = file.failed();
  return result;
}

// `gzip -n -9` of kSampleText.
const std::string kSampleText =
    "queue = batch\npriority = 5\n\ncommand = /bin/true\nqueue = batch\npriority = 5\n";
const unsigned char kSampleGz[] = {
    0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x03, 0x2b, 0x2c, 0x4d, 0x2d,
    0x4d, 0x55, 0xb0, 0x55, 0x48, 0x4a, 0x2c, 0x49, 0xce, 0xe0, 0x2a, 0x28, 0xca, 0xcc,
    0x2f, 0xca, 0x2c, 0xa9, 0x04, 0x0a, 0x98, 0x72, 0x71, 0x25, 0xe7, 0xe7, 0xe6, 0x26,
    0xe6, 0xa5, 0x00, 0x39, 0xfa, 0x49, 0x99, 0x79, 0xfa, 0x25, 0x45, 0xa5, 0xa9, 0x5c,
    0x85, 0xb8, 0xd5, 0x03, 0x00, 0x30, 0x18, 0x85, 0x37, 0x4b, 0x00, 0x00, 0x00};
const std::string kSampleGzBytes(reinterpret_cast<const char*>(kSampleGz), sizeof kSampleGz);

std::uint32_t crc32(const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void appendLittleEndian(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A gzip file of one stored deflate block (text up to 64 KiB), so that the tests can make
// gzip data of any content without a compressor. Byte 10 is the block header, 11-14 hold
// LEN and NLEN, the text starts at 15.
std::string gzipStored(const std::string& text) {
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
  out += '\x01';  // final block, stored
  const auto length = static_cast<std::uint32_t>(text.size());
  appendLittleEndian(out, length, 2);
  appendLittleEndian(out, ~length & 0xFFFF, 2);
  out += text;
  appendLittleEndian(out, crc32(text), 4);
  appendLittleEndian(out, length, 4);
  return out;
}

std::string numberedLines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "line " + std::to_string(i) + (i % 7 ? "\n" : "\r\n");
  return text;
}

// Every position must give the byte, the offset and the line number found there.
void expectSeekEverywhere(File& file, const std::string& content, std::size_t step) {
  for (std::size_t position = 0; position < content.size(); position += step) {
    ASSERT_TRUE(file.seek(static_cast<std::int64_t>(position))) << position;
    EXPECT_EQ(file.tell(), static_cast<std::int64_t>(position));
    EXPECT_EQ(file.getLineNumber(), linesBefore(content, position)) << position;
    char c = 0;
    ASSERT_TRUE(file.readChar(c));
    EXPECT_EQ(c, content[position]) << position;
  }
  ASSERT_TRUE(file.seek(static_cast<std::int64_t>(content.size())));
  char c = 0;
  EXPECT_FALSE(file.readChar(c));
  EXPECT_FALSE(file.failed());
  EXPECT_EQ(file.getLineNumber(), linesBefore(content, content.size()));

  EXPECT_FALSE(file.seek(static_cast<std::int64_t>(content.size()) + 1));
  EXPECT_FALSE(file.failed());  // past the end, but nothing is damaged
  EXPECT_FALSE(file.seek(-1));
  ASSERT_TRUE(file.seek(0));
  EXPECT_EQ(readAll(file).text, content);
}

TEST(File, ChoosesTheReaderByExtension) {
  const struct {
    const char* path;
    bool compressed;
  } cases[] = {
      {"conf/jobscheduler.conf.gz", true},
      {"A.GZ", true},
      {"a.gz.txt", false},
      {"dir.gz/file", false},
      {"noextension", false},
      {"archive.tgz", false},
  };
  for (const auto& c : cases) EXPECT_EQ(File(c.path).isCompressed(), c.compressed) << c.path;
}

TEST(File, PlainFileCountsLinesAndKeepsBytes) {
  TempDir dir("file");
  const std::string content = std::string("first\nsecond\r\n\n\0\xff", 17) + "last";
  writeBytes(dir.file("plain.txt"), content);

  File file(dir.file("plain.txt"));
  ASSERT_TRUE(file.openRead());
  EXPECT_EQ(file.getLineNumber(), 1u);
  std::string read;
  char c = 0;
  while (file.readChar(c)) {
    read += c;
    ASSERT_EQ(file.getLineNumber(), linesBefore(content, read.size()));
  }
  EXPECT_EQ(read, content);
  EXPECT_EQ(file.getLineNumber(), 4u);
  EXPECT_FALSE(file.readChar(c));  // the end stays the end
  EXPECT_FALSE(file.failed());
  EXPECT_EQ(file.tell(), static_cast<std::int64_t>(content.size()));

  File moved = std::move(file);
  EXPECT_TRUE(moved.isOpen());
  EXPECT_TRUE(moved.close());
  EXPECT_FALSE(moved.isOpen());
}

TEST(File, PlainSeekAndTell) {
  TempDir dir("file");
  const std::string content = numberedLines(900);  // several read buffers long
  writeBytes(dir.file("long.txt"), content);
  File file(dir.file("long.txt"));
  ASSERT_TRUE(file.openRead());
  EXPECT_EQ(file.tell(), 0);
  expectSeekEverywhere(file, content, 97);
}

TEST(File, MissingFilesDoNotOpen) {
  TempDir dir("file");
  for (const char* name : {"missing.txt", "missing.gz"}) {
    File file(dir.file(name));
    EXPECT_FALSE(file.openRead()) << name;
    EXPECT_FALSE(file.isOpen());
    char c = 0;
    EXPECT_FALSE(file.readChar(c));
    EXPECT_FALSE(file.failed());
    EXPECT_EQ(file.tell(), -1);
    EXPECT_FALSE(file.seek(0));
    EXPECT_TRUE(file.close());
  }
}

TEST(BasicFile, AppendWritesBytesAsGivenAndReportsSize) {
  TempDir dir("file");
  const std::string path = dir.file("log.txt");
  const std::string binary("a\0b\r\n\xff\n", 7);

  BasicFile log(path);
  EXPECT_EQ(log.getSize(), std::nullopt);
  ASSERT_TRUE(log.openAppend());
  EXPECT_TRUE(log.isAppending());
  EXPECT_TRUE(log.write("one\n"));
  EXPECT_TRUE(log.write('2'));
  EXPECT_TRUE(log.write(binary));
  EXPECT_TRUE(log.write(std::string()));
  EXPECT_EQ(log.getSize(), 5u + binary.size());  // unflushed bytes count too
  char c = 0;
  EXPECT_FALSE(log.readChar(c));
  EXPECT_TRUE(log.close());
  EXPECT_EQ(log.getSize(), 5u + binary.size());

  ASSERT_TRUE(log.openAppend());  // appends, never truncates
  EXPECT_TRUE(log.seek(0));       // and a seek does not redirect writes
  EXPECT_TRUE(log.write("more"));
  EXPECT_TRUE(log.flush());
  EXPECT_EQ(readBytes(path), "one\n2" + binary + "more");
  log.close();

  ASSERT_TRUE(log.openRead());
  EXPECT_FALSE(log.isAppending());
  EXPECT_FALSE(log.write('x'));
  EXPECT_FALSE(log.write("x"));
  EXPECT_FALSE(log.flush());
  EXPECT_TRUE(log.readChar(c));
  EXPECT_EQ(c, 'o');
  EXPECT_EQ(log.getSize(), 9u + binary.size());
}

TEST(BasicFile, ReopeningStartsAtTheBeginning) {
  TempDir dir("file");
  writeBytes(dir.file("a.txt"), "x\ny\n");
  BasicFile file(dir.file("a.txt"));
  ASSERT_TRUE(file.openRead());
  char c = 0;
  while (file.readChar(c)) {
  }
  EXPECT_EQ(file.getLineNumber(), 3u);
  ASSERT_TRUE(file.openRead());
  EXPECT_EQ(file.getLineNumber(), 1u);
  EXPECT_EQ(file.tell(), 0);
  ASSERT_TRUE(file.readChar(c));
  EXPECT_EQ(c, 'x');
}

TEST(ZFile, ReadsCompressedDataWithLinesAndPositions) {
  TempDir dir("file");
  writeBytes(dir.file("sample.gz"), kSampleGzBytes);
  File sample(dir.file("sample.gz"));
  ASSERT_TRUE(sample.openRead());
  std::string read;
  char c = 0;
  while (sample.readChar(c)) {
    read += c;
    ASSERT_EQ(sample.getLineNumber(), linesBefore(kSampleText, read.size()));
  }
  EXPECT_EQ(read, kSampleText);
  EXPECT_FALSE(sample.failed());
  EXPECT_EQ(sample.tell(), static_cast<std::int64_t>(kSampleText.size()));
  expectSeekEverywhere(sample, kSampleText, 1);
  EXPECT_TRUE(sample.close());

  const std::string content = numberedLines(700);
  writeBytes(dir.file("long.GZ"), gzipStored(content));
  File longer(dir.file("long.GZ"));
  ASSERT_TRUE(longer.openRead());
  EXPECT_EQ(readAll(longer).text, content);
  EXPECT_FALSE(longer.failed());
  expectSeekEverywhere(longer, content, 89);
}

// Every cut of a gzip file, from nothing to one byte short, must end in a failure.
TEST(ZFile, TruncatedDataEndsInFailure) {
  TempDir dir("file");
  for (const std::string& full : {kSampleGzBytes, gzipStored("a\nb\nc\n")}) {
    for (std::size_t length = 0; length < full.size(); ++length) {
      const std::string path = dir.file("cut" + std::to_string(length) + ".gz");
      writeBytes(path, full.substr(0, length));
      File file(path);
      if (file.openRead()) {
        ReadResult result = readAll(file);
        EXPECT_TRUE(result.failed) << "cut at " << length;
        EXPECT_FALSE(file.close()) << "cut at " << length;
      } else {
        EXPECT_TRUE(file.failed()) << "cut at " << length;
      }
    }
  }
}

TEST(ZFile, CorruptDataEndsInFailure) {
  const std::string stored = gzipStored("alpha\nbeta\n");
  const struct {
    const char* what;
    std::string base;
    std::size_t offset;
    char value;
  } cases[] = {
      {"compressed data", kSampleGzBytes, 20, '\x00'}, {"checksum", kSampleGzBytes, 62, '\x00'},
      {"length", kSampleGzBytes, 66, '\x01'},          {"stored text", stored, 16, 'X'},
      {"reserved block type", stored, 10, '\x07'},     {"stored length check", stored, 13, '\x00'},
  };
  TempDir dir("file");
  for (const auto& c : cases) {
    std::string bytes = c.base;
    ASSERT_NE(bytes[c.offset], c.value) << c.what;
    bytes[c.offset] = c.value;
    writeBytes(dir.file("bad.gz"), bytes);
    File file(dir.file("bad.gz"));
    ASSERT_TRUE(file.openRead()) << c.what;
    EXPECT_TRUE(readAll(file).failed) << c.what;
    EXPECT_FALSE(file.seek(1000)) << c.what;
    EXPECT_TRUE(file.failed()) << c.what;
    ASSERT_TRUE(file.openRead()) << c.what;  // a fresh start clears the failure
    EXPECT_FALSE(file.failed()) << c.what;
  }
}

TEST(ZFile, ContentThatIsNotGzipIsRefused) {
  TempDir dir("file");
  for (const std::string& content : {std::string("queue = batch\n"), std::string()}) {
    writeBytes(dir.file("plain.gz"), content);
    ZFile file(dir.file("plain.gz"));
    EXPECT_FALSE(file.openRead());
    EXPECT_TRUE(file.failed());
    EXPECT_FALSE(file.isOpen());
  }
}

}  // namespace
}  // namespace ZelcorCorelib
