// Kestrane's pure helpers: number parsing, version order, fixed-width fields.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "Utils.h"

namespace kestrane {
namespace {

TEST(ParseNumberTest, AcceptsDecimalAndLowerCaseXHexadecimalWrappingAt32Bits) {
  const std::pair<const char*, uint32_t> accepted[] = {
      {"0", 0},        {"", 0},          {"0x", 0},         {"12", 12},        {"007", 7},
      {"0x1A", 26},    {"0x1a", 26},     {"0xFFFFFFFF", 0xFFFFFFFF},           {"4294967295", 4294967295u},
      {"4294967296", 0}, {"0x100000000", 0}, {"0x100000", 0x100000}};
  for (const auto& [text, expected] : accepted) {
    uint32_t value = 12345;
    EXPECT_TRUE(ParseNumber(text, &value)) << '"' << text << '"';
    EXPECT_EQ(value, expected) << '"' << text << '"';
  }
  // Refused texts leave the value alone; "x" alone is decimal (the prefix needs more text).
  for (const char* text : {"0X10", "-1", "12h", " 1", "1 ", "x", "0xg", "1a", "0x1.5", "+3", "0xx1"}) {
    uint32_t value = 12345;
    EXPECT_FALSE(ParseNumber(text, &value)) << '"' << text << '"';
    EXPECT_EQ(value, 12345u) << '"' << text << '"';
  }
}

TEST(VersionAtLeastTest, ComparesMajorThenMinorThenBuild) {
  const std::tuple<uint8_t, uint8_t, uint16_t, bool> rows[] = {{5, 8, 15, false}, {5, 8, 16, true}, {5, 8, 17, true},
                                                              {5, 7, 999, false}, {5, 9, 0, true},  {6, 0, 0, true},
                                                              {4, 99, 999, false}};
  for (const auto& [major, minor, build, atLeast5816] : rows) {
    VersionRecord version = {};
    version.major = major;
    version.minor = minor;
    version.build = build;
    EXPECT_EQ(VersionAtLeast(version, 5, 8, 16), atLeast5816) << int{major} << "." << int{minor} << "." << build;
  }
}

TEST(FixedBufferTest, FieldsZeroFillOrCutAndFormattedTextMustFit) {
  char field[8];
  std::memset(field, 'x', sizeof(field));
  CopyIntoField(field, 6, "abc");
  EXPECT_EQ(std::string(field, 8), std::string("abc\0\0\0xx", 8));
  CopyIntoField(field, 6, "abcdefgh");
  EXPECT_EQ(std::string(field, 8), std::string("abcdefxx", 8));  // full: no terminator, nothing past it
  char buffer[8];
  EXPECT_TRUE(FormatInto(buffer, sizeof(buffer), "%s/%s", "ab", "cdef"));  // 7 characters fit
  EXPECT_STREQ(buffer, "ab/cdef");
  EXPECT_FALSE(FormatInto(buffer, sizeof(buffer), "%s/%s", "ab", "cdefg"));
}

}  // namespace
}  // namespace kestrane
