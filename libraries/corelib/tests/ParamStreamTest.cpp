#include "values/ParamStream.h"

#include <gtest/gtest.h>

#include <limits>

#include "values/StringStream.h"

namespace ZelcorCorelib {
namespace {

TEST(ParamStream, StoresEscapedTextsAndDisplaysWhatItReceived) {
  ParamStream stream = makeParams(true, 42, std::string("a\\b"));
  const std::vector<Primitive>& p = stream.getPrimitives();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0], (Primitive{kPrimBool, "1"}));
  EXPECT_EQ(p[1], (Primitive{kPrimInt32, "42"}));
  EXPECT_EQ(p[2], (Primitive{kPrimString, "a\\\\b"}));
  EXPECT_EQ(fillPlaceholders("%,%,%", stream), "true,42,a\\b");
}

TEST(ParamStream, DisplayFormOfEveryCode) {
  struct Case {
    Primitive primitive;
    const char* display;
  } cases[] = {
      {{kPrimBool, "0"}, "false"},
      {{kPrimBool, "7"}, "true"},
      {{kPrimInt64, "-9223372036854775808"}, "-9223372036854775808"},
      {{kPrimDouble, "2.5"}, "2.5"},
      {{kPrimDateTime, "2209075200000"}, "1970-01-01T00:00:00.000Z"},
      {{kPrimString, "line\\none"}, "line\none"},
      {{kPrimWideString, wideToBytes(u"w\u00e9")}, "w\xc3\xa9"},
      {{kPrimChar, "x"}, "x"},
      {{kPrimWideChar, "233"}, "\xc3\xa9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(primitiveToText(c.primitive), c.display)
        << c.primitive.code << " " << c.primitive.text;
  }
}

TEST(ParamStream, RefusesEmptyNonStringsAndUnknownCodes) {
  ParamStream stream;
  EXPECT_TRUE(stream.writeString(""));
  EXPECT_TRUE(stream.writeWideString(u""));
  EXPECT_FALSE(stream.writePrimitive({kPrimInt32, ""}));
  EXPECT_FALSE(stream.writePrimitive({kPrimNone, "1"}));
  EXPECT_FALSE(stream.writePrimitive({-1, "1"}));
  EXPECT_EQ(stream.size(), 2u);
}

TEST(ParamStream, TypedValuesReadBackInOrder) {
  ParamStream stream;
  stream.writeInt32(std::numeric_limits<std::int32_t>::min());
  stream.writeUInt32(std::numeric_limits<std::uint32_t>::max());
  stream.writeInt64(std::numeric_limits<std::int64_t>::min());
  stream.writeUInt64(std::numeric_limits<std::uint64_t>::max());
  stream.writeDouble(-0.125);
  stream.writeChar('\n');
  stream.writeWideChar(u'\u20ac');
  stream.writeBool(false);
  stream.writeString("multi\nline \\ text");
  stream.writeWideString(u"wide\n\\");
  stream.writeVariantString(VariantString(std::u16string(u"v")));
  stream.writeDateTimeCount(86400000);

  std::int32_t i32 = 0;
  std::uint32_t u32 = 0;
  std::int64_t i64 = 0;
  std::uint64_t u64 = 0;
  double d = 0;
  char c = 0;
  char16_t wc = 0;
  bool b = true;
  std::string s;
  std::u16string ws;
  VariantString vs;
  std::int64_t count = 0;
  ASSERT_TRUE(stream.readInt32(i32));
  ASSERT_TRUE(stream.readUInt32(u32));
  ASSERT_TRUE(stream.readInt64(i64));
  ASSERT_TRUE(stream.readUInt64(u64));
  ASSERT_TRUE(stream.readDouble(d));
  ASSERT_TRUE(stream.readChar(c));
  ASSERT_TRUE(stream.readWideChar(wc));
  ASSERT_TRUE(stream.readBool(b));
  ASSERT_TRUE(stream.readString(s));
  ASSERT_TRUE(stream.readWideString(ws));
  ASSERT_TRUE(stream.readVariantString(vs));
  ASSERT_TRUE(stream.readDateTimeCount(count));
  EXPECT_EQ(i32, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(u32, std::numeric_limits<std::uint32_t>::max());
  EXPECT_EQ(i64, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(u64, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(d, -0.125);
  EXPECT_EQ(c, '\n');
  EXPECT_EQ(wc, u'\u20ac');
  EXPECT_FALSE(b);
  EXPECT_EQ(s, "multi\nline \\ text");
  EXPECT_EQ(ws, u"wide\n\\");
  EXPECT_EQ(std::get<std::u16string>(vs), u"v");
  EXPECT_EQ(count, 86400000);
}

TEST(ParamStream, WrongCodeConsumesAndEndLeavesTargetUnchanged) {
  ParamStream stream = makeParams(std::string("text"), 5);
  std::int32_t value = 99;
  EXPECT_FALSE(stream.readInt32(value));  // a string is under the cursor
  EXPECT_EQ(value, 99);
  EXPECT_TRUE(stream.readInt32(value));
  EXPECT_EQ(value, 5);
  EXPECT_FALSE(stream.readInt32(value));
  EXPECT_EQ(value, 5);
  stream.rewind();
  std::string text;
  EXPECT_TRUE(stream.readString(text));
  EXPECT_EQ(text, "text");
}

TEST(ParamStream, MalformedTextsDoNotConvert) {
  ParamStream stream;
  stream.writePrimitive({kPrimInt32, "12x"});
  stream.writePrimitive({kPrimInt32, "99999999999"});
  stream.writePrimitive({kPrimUInt64, "-1"});
  stream.writePrimitive({kPrimDateTime, "soon"});
  std::int32_t i = 0;
  std::uint64_t u = 0;
  EXPECT_FALSE(stream.readInt32(i));
  EXPECT_FALSE(stream.readInt32(i));
  EXPECT_FALSE(stream.readUInt64(u));
  EXPECT_EQ(primitiveToText(stream.getPrimitives()[3]), "soon");
}

TEST(StringStream, RoundTripsSeparatorsBackslashesAndEveryCode) {
  ParamStream source;
  source.writeString(
      std::string("a\x1e"
                  "b\\c\x1f"
                  "d",
                  7));
  source.writeString("");
  source.writeWideString(u"\u1e1e");  // its UTF-16 bytes are 0x1E 0x1E
  source.writeChar('\x1e');
  source.writeChar('\\');
  source.writeInt64(-5);
  source.writeBool(true);

  StringStream bytes;
  EXPECT_EQ(bytes.appendFrom(source), 7u);
  ParamStream target;
  EXPECT_EQ(bytes.extractTo(target), 7u);
  EXPECT_EQ(target.getPrimitives(), source.getPrimitives());
  std::string s;
  ASSERT_TRUE(target.readString(s));
  EXPECT_EQ(s, std::string("a\x1e"
                           "b\\c\x1f"
                           "d",
                           7));
}

TEST(StringStream, EncodingIsTypeByteTextSeparator) {
  StringStream stream;
  stream.writeInt32(12);
  stream.writeString("x\x1ey");
  EXPECT_EQ(stream.getBytes(), std::string("\x03"
                                           "12\x1e\x09x\\\x1fy\x1e"));
}

TEST(StringStream, BadBytesEndTheStream) {
  const std::string inputs[] = {
      std::string("\x0e"
                  "1\x1e",
                  3),  // code 14
      std::string("\xff"
                  "1\x1e",
                  3),  // negative code
      std::string("\x03"
                  "12",
                  3),  // no separator
      std::string(),
  };
  for (const std::string& input : inputs) {
    StringStream stream(input);
    Primitive p{kPrimChar, "keep"};
    EXPECT_FALSE(stream.readPrimitive(p));
    EXPECT_EQ(p.text, "keep");
  }
  StringStream trailingBackslash(
      std::string("\x09"
                  "ab\\\x1e",
                  5));
  Primitive p;
  ASSERT_TRUE(trailingBackslash.readPrimitive(p));
  EXPECT_EQ(p.text, "ab\\");
}

}  // namespace
}  // namespace ZelcorCorelib
