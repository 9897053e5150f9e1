// Kestrane's number parsing (version order and fixed-width fields are checked by whole runs).
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace kestrane
