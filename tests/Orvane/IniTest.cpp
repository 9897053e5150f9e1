// Tests of Orvane's INI reading, run over the same file with Unix and with Windows line endings.
#include <Orvane/Orvane.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

namespace {

const std::string kLongValue(300, 'v');

const char* const kIniLines[] = {
    "; a comment line", "# another comment line", "Loose=before any section", "[Device]", "Name =   SensorV2   ",
    "Count=42", "Negative = -17", "Plus=+5", "Max=2147483647", "Min=-2147483648", "Overflow=2147483648",
    "Underflow=-2147483649", "Huge=99999999999999999999", "Mixed=12abc", "Hex=0x10", "Blank=", "Sign=+",
    "DoubleSign=+-3", "Inner=4 2", "   Indented = 3", "key=lower", "Key=upper", ";Hidden=1", "#Hidden2=1",
    "Path=./firmware/file.bin ; what it is", "Twice=first", "Twice=second", "this line has no equals sign",
    "[Other]", "Count=7", "[Long]",
};

class OrvaneIni : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::ofstream out(path_, std::ios::binary);
    for (const char* line : kIniLines) out << line << GetParam();
    out << "Value=" << kLongValue << GetParam();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string folder_ = mkdtemp(std::string("/tmp/orvane_ini_XXXXXX").data());
  std::string path_ = folder_ + "/test.ini";
};

TEST_P(OrvaneIni, ReadsStrings) {
  // section, key, status, value (also the untouched buffer on failure)
  const std::tuple<const char*, const char*, KrStatus, const char*> cases[] = {
      {"Device", "Name", KR_STATUS_OK, "SensorV2"},       {"Device", "Blank", KR_STATUS_OK, ""},
      {"Device", "Indented", KR_STATUS_OK, "3"},          {"Device", "Inner", KR_STATUS_OK, "4 2"},
      {"Device", "key", KR_STATUS_OK, "lower"},           {"Device", "Key", KR_STATUS_OK, "upper"},
      {"Device", "Path", KR_STATUS_OK, "./firmware/file.bin"}, {"Device", "Twice", KR_STATUS_OK, "first"},
      {"Other", "Count", KR_STATUS_OK, "7"},              {"", "Loose", KR_STATUS_OK, "before any section"},
      {"Device", "KEY", KR_STATUS_OS_KEY_NOT_FOUND, "untouched"},
      {"Device", "Hidden", KR_STATUS_OS_KEY_NOT_FOUND, "untouched"},
      {"Device", ";Hidden", KR_STATUS_OS_KEY_NOT_FOUND, "untouched"},
      {"Other", "Name", KR_STATUS_OS_KEY_NOT_FOUND, "untouched"},
      {"device", "Name", KR_STATUS_OS_INI_SECTION_NOT_FOUND, "untouched"},
      {"Missing", "Name", KR_STATUS_OS_INI_SECTION_NOT_FOUND, "untouched"},
  };
  for (const auto& [section, key, status, expected] : cases) {
    SCOPED_TRACE(std::string(section) + "/" + key);
    char value[64] = "untouched";
    EXPECT_EQ(krOSReadStringFromINI(path_.c_str(), section, key, value, sizeof(value)), status);
    EXPECT_STREQ(value, expected);
  }
  // A long value is read whole, or cut to the buffer with an overflow.
  char whole[512];
  ASSERT_EQ(krOSReadStringFromINI(path_.c_str(), "Long", "Value", whole, sizeof(whole)), KR_STATUS_OK);
  EXPECT_EQ(std::string(whole), kLongValue);
  char small[10];
  EXPECT_EQ(krOSReadStringFromINI(path_.c_str(), "Long", "Value", small, sizeof(small)),
            KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(std::string(small), kLongValue.substr(0, 9));
}

// Whole decimal 32-bit numbers only; a refused value leaves the number alone.
TEST_P(OrvaneIni, ReadsWholeDecimalIntegers) {
  const std::pair<const char*, int32_t> accepted[] = {{"Count", 42},   {"Negative", -17},     {"Plus", 5},
                  {"Indented", 3}, {"Max", INT32_MAX}, {"Min", INT32_MIN}};
  for (const auto& [key, expected] : accepted) {
    int32_t value = 12345;
    EXPECT_EQ(krOSReadIntFromINI(path_.c_str(), "Device", key, &value), KR_STATUS_OK) << key;
    EXPECT_EQ(value, expected) << key;
  }
  for (const char* key : {"Overflow", "Underflow", "Huge", "Mixed", "Hex", "Blank", "Sign", "DoubleSign", "Inner",
                          "Name", "Absent"}) {
    int32_t value = 12345;
    const KrStatus expected = std::string(key) == "Absent" ? KR_STATUS_OS_KEY_NOT_FOUND : KR_STATUS_OS_BAD_NUMBER;
    EXPECT_EQ(krOSReadIntFromINI(path_.c_str(), "Device", key, &value), expected) << key;
    EXPECT_EQ(value, 12345) << key;
  }
}

TEST_P(OrvaneIni, RejectsNullPointersAndMissingFiles) {
  char value[16] = "untouched";
  int32_t number = 1;
  const std::string missing = folder_ + "/missing.ini";
  // Each argument of both readers null in turn, then a file that is not there.
  for (int null = 0; null < 5; ++null) {
    const char* file = null == 0 ? nullptr : null == 4 ? missing.c_str() : path_.c_str();
    const char* section = null == 1 ? nullptr : "Device";
    const char* key = null == 2 ? nullptr : "Count";
    const KrStatus expected = null == 4 ? KR_STATUS_OS_INI_READ_FAILED : KR_STATUS_OS_NULL_POINTER;
    EXPECT_EQ(krOSReadStringFromINI(file, section, key, null == 3 ? nullptr : value, 16), expected) << null;
    EXPECT_EQ(krOSReadIntFromINI(file, section, key, null == 3 ? nullptr : &number), expected) << null;
  }
  EXPECT_STREQ(value, "untouched");
  EXPECT_EQ(number, 1);
}

INSTANTIATE_TEST_SUITE_P(LineEndings, OrvaneIni, ::testing::Values("\n", "\r\n"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param[0] == '\r' ? "Windows" : "Unix");
                         });

}  // namespace
