// Stream and "Device" settings of the simulated sensor, and its S2D/D2S tables.
#include "Tollan/src/sensor/DepthTables.h"
#include "Tollan/src/sensor/DeviceSettings.h"
#include "Tollan/src/sensor/StreamSettings.h"
#include <Tollan/TollanStatus.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace tollan::sensor {
namespace {

uint64_t IntOf(const ModuleSettings& s, const char* name) {
  uint64_t v = 0;
  EXPECT_EQ(s.Get(name, &v), KR_STATUS_OK) << name;
  return v;
}

bool Contains(const std::vector<const char*>& names, const char* name) {
  return std::any_of(names.begin(), names.end(), [name](const char* n) { return std::strcmp(n, name) == 0; });
}

struct SizeRow {
  StreamKind kind;
  const char* property;
  uint64_t value;
  uint64_t requiredSize;
};

TEST(StreamSettingsTest, RequiredDataSizeResolutionAndShiftParametersStayInStepAndReportTheirChanges) {
  const SizeRow rows[] = {
      {StreamKind::kDepth, "Resolution", 0, 320 * 240 * 2},   {StreamKind::kDepth, "OutputFormat", 0, 640 * 480 * 2},
      {StreamKind::kImage, "Resolution", 2, 1280 * 1024 * 3},  // rate 15 set first
      {StreamKind::kImage, "OutputFormat", 6, 640 * 480 * 2}, {StreamKind::kImage, "OutputFormat", 4, 640 * 480},
      {StreamKind::kIR, "OutputFormat", 4, 640 * 480},        {StreamKind::kIR, "XRes", 320, 320 * 240 * 2},
      {StreamKind::kAudio, "NumOfChannels", 1, 1600 * 2},     {StreamKind::kAudio, "SampleRate", 44100, 1470 * 2 * 2},
      {StreamKind::kAudio, "SampleRate", 16000, 534 * 2 * 2},  // 533.3 per frame: room for the longer ones
  };
  for (const SizeRow& r : rows) {
    StreamSettings s(r.kind);
    if (std::string(r.property) == "Resolution" && r.value == 2) {
      ASSERT_EQ(s.Set("FPS", uint64_t{15}), KR_STATUS_OK);
    }
    ASSERT_EQ(s.Set(r.property, r.value), KR_STATUS_OK) << r.property << "=" << r.value;
    EXPECT_EQ(IntOf(s, "RequiredDataSize"), r.requiredSize) << r.property << "=" << r.value;
    EXPECT_EQ(s.RequiredDataSize(), r.requiredSize);
  }
  StreamSettings s(StreamKind::kDepth);
  ASSERT_EQ(s.Set("XRes", uint64_t{320}), KR_STATUS_OK);
  EXPECT_EQ(IntOf(s, "Resolution"), 0u);
  EXPECT_EQ(IntOf(s, "YRes"), 240u);
  ASSERT_EQ(s.Set("YRes", uint64_t{480}), KR_STATUS_OK);
  EXPECT_EQ(IntOf(s, "XRes"), 640u);
  const StreamSettings before = s;
  ASSERT_EQ(s.Set("Resolution", uint64_t{0}), KR_STATUS_OK);
  EXPECT_EQ(IntOf(s, "XRes"), 320u);
  const auto changed = ModuleSettings::Differences(before, s);
  for (const char* name : {"Resolution", "XRes", "YRes", "RequiredDataSize"}) EXPECT_TRUE(Contains(changed, name));
  EXPECT_FALSE(Contains(changed, "BytesPerPixel"));
  EXPECT_FALSE(Contains(changed, "S2D"));
  // Shift parameters reach the tables.
  const StreamSettings unshifted = s;
  ASSERT_EQ(s.Set("ZPD", uint64_t{130}), KR_STATUS_OK);
  const auto shifted = ModuleSettings::Differences(unshifted, s);
  for (const char* name : {"ZPD", "S2D", "D2S"}) EXPECT_TRUE(Contains(shifted, name)) << name;
  EXPECT_FALSE(Contains(shifted, "XRes"));
  EXPECT_EQ(s.Tables()->Params().zpd, 130u);
  EXPECT_EQ(unshifted.Tables()->Params().zpd, 120u);  // copies keep their own tables
  // A larger MaxShift changes the size of S2D.
  ASSERT_EQ(s.Set("MaxShift", uint64_t{4095}), KR_STATUS_OK);
  std::vector<uint16_t> s2d(4096);
  EXPECT_EQ(s.Get("S2D", KrGeneralBuffer{s2d.data(), 8192}), KR_STATUS_OK);
  // DeviceMaxDepth below MaxDepthValue is refused until the range shrinks.
  EXPECT_EQ(s.Set("DeviceMaxDepth", uint64_t{5000}), KR_STATUS_TL_BAD_PROPERTY_VALUE);
  ASSERT_EQ(s.Set("MaxDepthValue", uint64_t{5000}), KR_STATUS_OK);
  EXPECT_EQ(s.Set("DeviceMaxDepth", uint64_t{5000}), KR_STATUS_OK);
  EXPECT_EQ(s.Tables()->D2S().size(), 5001u);
}

// Values not offered and wrong access are refused and change nothing; switches take 0 and 1 only.
TEST(StreamSettingsTest, ModesNotOfferedAndBadAccessAreRefusedAndChangeNothing) {
  const struct {
    StreamKind kind;
    const char* property;
    uint64_t value;
    KrStatus expected = KR_STATUS_TL_BAD_PROPERTY_VALUE;
  } rows[] = {
      {StreamKind::kDepth, "Resolution", 2},  // depth stops at 640x480
      {StreamKind::kDepth, "Resolution", 7},
      {StreamKind::kDepth, "XRes", 800},
      {StreamKind::kImage, "YRes", 1024},  // 1280x1024 runs at 15 only
      {StreamKind::kDepth, "FPS", 25},
      {StreamKind::kImage, "FPS", 60},  // 60 only at 320x240
      {StreamKind::kDepth, "OutputFormat", 5},
      {StreamKind::kImage, "OutputFormat", 9},
      {StreamKind::kIR, "OutputFormat", 6},
      {StreamKind::kAudio, "SampleRate", 12345},
      {StreamKind::kAudio, "NumOfChannels", 3},
      {StreamKind::kDepth, "Mirror", 2},
      {StreamKind::kImage, "Compression", 1},
      {StreamKind::kDepth, "MaxDepthValue", 20000},
      {StreamKind::kDepth, "MaxShift", 200},  // not above ConstShift
      {StreamKind::kDepth, "ShiftScale", 10001},  // the documented range ends at 10000
      {StreamKind::kDepth, "RequiredDataSize", 5, KR_STATUS_TL_PROPERTY_READ_ONLY},
      {StreamKind::kDepth, "ZPPS", 1, KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {StreamKind::kDepth, "SampleRate", 48000, KR_STATUS_TL_PROPERTY_NOT_FOUND},  // audio only
      {StreamKind::kDepth, "Registration", 2},
      {StreamKind::kDepth, "HoleFilter", 2},
      {StreamKind::kDepth, "WhiteBalancedEnabled", 2},
      {StreamKind::kDepth, "GmcMode", 2},
      {StreamKind::kDepth, "GmcDebug", 2},
  };
  for (const auto& r : rows) {
    StreamSettings s(r.kind);
    const StreamSettings before = s;
    EXPECT_EQ(s.Set(r.property, r.value), r.expected) << r.property << "=" << r.value;
    EXPECT_TRUE(ModuleSettings::Differences(before, s).empty()) << r.property;
    EXPECT_TRUE(r.value != 2 || s.Set(r.property, uint64_t{1}) == KR_STATUS_OK) << r.property;
  }
  StreamSettings s(StreamKind::kDepth);
  EXPECT_EQ(s.Set("Resolution", uint64_t{2}, false), KR_STATUS_TL_BAD_PROPERTY_VALUE);  // even before the rate check
  EXPECT_EQ(s.Set("Type", "Image"), KR_STATUS_TL_PROPERTY_READ_ONLY);
  EXPECT_EQ(s.Set("ZPPS", -1.0), KR_STATUS_TL_BAD_PROPERTY_VALUE);
  uint8_t small[4];
  EXPECT_EQ(s.Get("S2D", KrGeneralBuffer{small, sizeof(small)}), KR_STATUS_TL_BAD_PROPERTY_SIZE);
  std::vector<uint16_t> s2d(2048);
  ASSERT_EQ(s.Get("S2D", KrGeneralBuffer{s2d.data(), 4096}), KR_STATUS_OK);
  EXPECT_EQ(s2d, s.Tables()->S2D());
}

// The cropping window must fit the picture and keep YUV pairs whole; AGC bins are answered per request.
TEST(StreamSettingsTest, CroppingWindowAndAgcBins) {
  StreamSettings s(StreamKind::kImage);
  CroppingValue c{1, 600, 0, 100, 100};  // 600 + 100 > 640
  EXPECT_EQ(s.Set("Cropping", KrGeneralBuffer{&c, sizeof(c)}), KR_STATUS_TL_BAD_PROPERTY_VALUE);
  c = CroppingValue{1, 100, 50, 200, 100};
  ASSERT_EQ(s.Set("Cropping", KrGeneralBuffer{&c, sizeof(c)}), KR_STATUS_OK);
  EXPECT_EQ(s.Set("Resolution", uint64_t{0}), KR_STATUS_OK);  // 300 x 150 still fits 320 x 240
  c = CroppingValue{1, 101, 0, 100, 100};
  ASSERT_EQ(s.Set("OutputFormat", uint64_t{6}), KR_STATUS_OK);
  EXPECT_EQ(s.Set("Cropping", KrGeneralBuffer{&c, sizeof(c)}), KR_STATUS_TL_BAD_PROPERTY_VALUE);  // splits a YUV pair
  StreamSettings depth(StreamKind::kDepth);
  AgcBinValue bin{2, 0, 0};
  ASSERT_EQ(depth.Get("AGCBin", KrGeneralBuffer{&bin, sizeof(bin)}), KR_STATUS_OK);
  EXPECT_TRUE(bin.minDepth == 2000 && bin.maxDepth == 4000);
  bin.maxDepth = 4500;
  ASSERT_EQ(depth.Set("AGCBin", KrGeneralBuffer{&bin, sizeof(bin)}), KR_STATUS_OK);
  AgcBinValue other{1, 0, 0};
  ASSERT_EQ(depth.Get("AGCBin", KrGeneralBuffer{&other, sizeof(other)}), KR_STATUS_OK);
  EXPECT_EQ(other.maxDepth, 2000);
  bin = AgcBinValue{2, 0, 0};
  ASSERT_EQ(depth.Get("AGCBin", KrGeneralBuffer{&bin, sizeof(bin)}), KR_STATUS_OK);
  EXPECT_EQ(bin.maxDepth, 4500);
  bin.bin = 4;
  EXPECT_EQ(depth.Set("AGCBin", KrGeneralBuffer{&bin, sizeof(bin)}), KR_STATUS_TL_BAD_PROPERTY_VALUE);
}

TEST(DeviceSettingsTest, PrimaryStreamAccessAndRequestDrivenRecords) {
  DeviceSettings d;
  char text[KR_MAX_NAME_LENGTH];
  ASSERT_EQ(d.Get("PrimaryStream", text), KR_STATUS_OK);
  EXPECT_STREQ(text, "Any");
  for (const char* ok : {"None", "Depth", "Image", "Any"}) EXPECT_EQ(d.Set("PrimaryStream", ok), KR_STATUS_OK) << ok;
  EXPECT_EQ(d.Set("PrimaryStream", "Depth2"), KR_STATUS_TL_BAD_PRIMARY_STREAM);
  d.SetStreamNameCheck([](const char* name) { return std::strcmp(name, "Depth2") == 0; });
  EXPECT_EQ(d.Set("PrimaryStream", "Depth2"), KR_STATUS_OK);
  EXPECT_EQ(d.Set("ReadWriteMode", uint64_t{1}), KR_STATUS_TL_PROPERTY_READ_ONLY);
  uint8_t fault[8] = {};
  EXPECT_EQ(d.Set("ProjectorFault", KrGeneralBuffer{fault, 8}), KR_STATUS_OK);
  EXPECT_EQ(d.Get("ProjectorFault", KrGeneralBuffer{fault, 8}), KR_STATUS_TL_NOT_SUPPORTED);
  CmosBlankingUnitsValue units{1, 0, 42};
  ASSERT_EQ(d.Set("CmosBlankingUnits", KrGeneralBuffer{&units, sizeof(units)}), KR_STATUS_OK);
  CmosBlankingUnitsValue ask{0, 0, 7};
  ASSERT_EQ(d.Get("CmosBlankingUnits", KrGeneralBuffer{&ask, sizeof(ask)}), KR_STATUS_OK);
  EXPECT_EQ(ask.units, 0u);
  ask.cmos = 1;
  ASSERT_EQ(d.Get("CmosBlankingUnits", KrGeneralBuffer{&ask, sizeof(ask)}), KR_STATUS_OK);
  EXPECT_EQ(ask.units, 42u);
  ask.cmos = 2;
  EXPECT_EQ(d.Get("CmosBlankingUnits", KrGeneralBuffer{&ask, sizeof(ask)}), KR_STATUS_TL_BAD_PROPERTY_VALUE);
  I2CWriteValue command{1, 0x20, 0x10, 2, {0xAB, 0xCD}};
  I2CReadValue answer{1, 0x20, 0x10, 2, {}};
  EXPECT_EQ(d.Set("I2C", KrGeneralBuffer{&answer, sizeof(answer)}), KR_STATUS_TL_BAD_PROPERTY_SIZE);
  ASSERT_EQ(d.Set("I2C", KrGeneralBuffer{&command, sizeof(command)}), KR_STATUS_OK);
  ASSERT_EQ(d.Get("I2C", KrGeneralBuffer{&answer, sizeof(answer)}), KR_STATUS_OK);
  EXPECT_TRUE(answer.data[0] == 0xAB && answer.data[1] == 0xCD);
}

// D2S gives each depth a shift of the nearest depth S2D holds; a shift with a depth of its own maps back to itself.
void ExpectInverse(const DepthTables& t) {
  const auto& s2d = t.S2D();
  const auto& d2s = t.D2S();
  ASSERT_LT(t.FarthestDepth(), d2s.size());
  for (uint32_t z = t.NearestDepth(); z <= t.FarthestDepth(); ++z) {
    int best = 1 << 30;
    for (uint16_t d : s2d) {
      if (d != 0) best = std::min(best, std::abs(int(d) - int(z)));
    }
    ASSERT_EQ(std::abs(int(s2d[d2s[z]]) - int(z)), best) << "depth " << z;
  }
  int unique = 0;
  for (size_t s = 1; s + 1 < s2d.size(); ++s) {
    if (s2d[s] == 0 || s2d[s - 1] == s2d[s] || s2d[s + 1] == s2d[s]) continue;
    EXPECT_EQ(d2s[s2d[s]], s) << "shift " << s;
    ++unique;
  }
  EXPECT_GT(unique, 0);
}

TEST(DepthTablesTest, FactoryTablesFollowTheFormulaAreInverseAndEachParameterMovesThemOrIsRefused) {
  const DepthTables t{ShiftParams{}};
  ASSERT_EQ(t.S2D().size(), 2048u);
  ASSERT_EQ(t.D2S().size(), 10001u);
  // K = 10/10 * (120 / 0.1042) * 75 * 4 = 345489.44...
  EXPECT_EQ(t.S2D()[1000], 432);  // 345489.44 / 800
  EXPECT_EQ(t.S2D()[2047], 187);
  EXPECT_EQ(t.S2D()[200], 0);  // at ConstShift: no sample
  EXPECT_EQ(t.S2D()[230], 0);  // 11516 mm is beyond DeviceMaxDepth
  EXPECT_EQ(t.NearestDepth(), 187);
  EXPECT_LE(t.FarthestDepth(), 10000);
  EXPECT_EQ(t.D2S()[100], 0);  // nearer than the sensor can see
  EXPECT_EQ(t.Quantize(t.S2D()[1500]), t.S2D()[1500]);
  EXPECT_EQ(t.Quantize(50.0), 0);
  ExpectInverse(t);
  ShiftParams coarse;
  coarse.paramCoeff = 1;
  coarse.maxShift = 1023;
  coarse.deviceMaxDepth = 4000;
  ExpectInverse(DepthTables{coarse});
  const struct {
    void (*change)(ShiftParams&);
    KrStatus expected;
  } cases[] = {
      {[](ShiftParams& p) { p.zpd = 130; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.zpps = 0.11; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.lddis = 8.0; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.constShift = 250; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.pixelSizeFactor = 2; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.paramCoeff = 8; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.shiftScale = 12; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.zpd = 0; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.zpps = 0.0; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.lddis = NAN; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.paramCoeff = 0; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.constShift = p.maxShift; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.maxShift = 70000; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.deviceMaxDepth = 0; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    ShiftParams p;
    cases[i].change(p);
    ASSERT_EQ(DepthTables::Check(p), cases[i].expected) << "case " << i;
    EXPECT_TRUE(cases[i].expected != KR_STATUS_OK || DepthTables{p}.S2D() != t.S2D()) << "case " << i;
  }
}

}  // namespace
}  // namespace tollan::sensor
