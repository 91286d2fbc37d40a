// Typed write and read operations over a primitive stream. Each write appends one primitive
// of the matching code; each read takes the next primitive and converts it back. A read that
// meets another code returns false and still consumes the primitive.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "values/PrimitiveStream.h"

namespace ZelcorCorelib {

// A string that is either narrow (UTF-8) or wide (UTF-16).
using VariantString = std::variant<std::string, std::u16string>;

class StreamBase : public PrimitiveStream {
 public:
  bool writeVariantString(const VariantString& value);
  bool writeWideString(const std::u16string& value);
  bool writeString(const std::string& value);
  bool writeCString(const char* value);
  bool writeWideCString(const char16_t* value);
  bool writeDouble(double value);
  bool writeInt64(std::int64_t value);
  bool writeUInt64(std::uint64_t value);
  bool writeInt32(std::int32_t value);
  bool writeUInt32(std::uint32_t value);
  bool writeWideChar(char16_t value);
  bool writeChar(char value);
  bool writeBool(bool value);
  // A point in time as its millisecond count (see DateTime).
  bool writeDateTimeCount(std::int64_t count);

  bool readVariantString(VariantString& value);
  bool readWideString(std::u16string& value);
  bool readString(std::string& value);
  bool readDouble(double& value);
  bool readInt64(std::int64_t& value);
  bool readUInt64(std::uint64_t& value);
  bool readInt32(std::int32_t& value);
  bool readUInt32(std::uint32_t& value);
  bool readWideChar(char16_t& value);
  bool readChar(char& value);
  bool readBool(bool& value);
  bool readDateTimeCount(std::int64_t& count);

  // Overloads so that generic code (makeParams) can write any supported value.
  bool write(bool value) { return writeBool(value); }
  bool write(char value) { return writeChar(value); }
  bool write(char16_t value) { return writeWideChar(value); }
  bool write(std::int32_t value) { return writeInt32(value); }
  bool write(std::uint32_t value) { return writeUInt32(value); }
  bool write(long value) { return writeInt64(value); }
  bool write(unsigned long value) { return writeUInt64(value); }
  bool write(long long value) { return writeInt64(value); }
  bool write(unsigned long long value) { return writeUInt64(value); }
  bool write(double value) { return writeDouble(value); }
  bool write(const std::string& value) { return writeString(value); }
  bool write(const char* value) { return writeCString(value); }
  bool write(const std::u16string& value) { return writeWideString(value); }
  bool write(const char16_t* value) { return writeWideCString(value); }

 private:
  bool readCode(Primitive& primitive, int code);
};

}  // namespace ZelcorCorelib
