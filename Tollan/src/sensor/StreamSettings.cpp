#include "StreamSettings.h"

#include "../KitInternal.h"

#include <Tollan/TollanStatus.h>

#include <cstring>

namespace tollan {
namespace sensor {
namespace {

constexpr uint8_t D = kDepthBit;
constexpr uint8_t I = kImageBit;
constexpr uint8_t R = kIRBit;
constexpr uint8_t A = kAudioBit;
constexpr uint8_t P = kPixelBits;
constexpr uint8_t ALL = kAllStreamBits;
constexpr Access RO = Access::kReadOnly;
constexpr Access RW = Access::kReadWrite;
// "ExtrinsicsToImage": nine doubles of R (row-major), three of t in mm.
constexpr uint32_t kExtrinsicsBytes = 12 * sizeof(double);

// Current compression codes each stream accepts (the legacy bridge maps its
// own codes onto these).
const uint64_t kDepthCompressions[] = {0, 1, 2};
const uint64_t kImageCompressions[] = {0, 3, 4, 5};
const uint64_t kFlickerValues[] = {0, 50, 60};

// Every property of a stream module. A name may have one row per kind when
// the kinds differ in default or rule; the first row whose kinds include
// the stream's kind is the one that counts.
const PropertyRow kStreamRows[] = {
    TextRow("Type", ALL, nullptr, RO, Rule::kTypeName, kDerived),
    // Geometry and format.
    IntRule("Resolution", P, 1, Rule::kResolution, kGeometry),
    IntRow("XRes", P, 0, RW, Rule::kXRes, 0, UINT64_MAX, kDerived | kGeometry),
    IntRow("YRes", P, 0, RW, Rule::kYRes, 0, UINT64_MAX, kDerived | kGeometry),
    IntRule("FPS", ALL, 30, Rule::kFps, kGeometry),
    IntRule("OutputFormat", D, KR_OUTPUT_FORMAT_DEPTH_VALUES, Rule::kOutputFormat, kGeometry),
    IntRule("OutputFormat", I, KR_OUTPUT_FORMAT_RGB24, Rule::kOutputFormat, kGeometry),
    IntRule("OutputFormat", R, KR_OUTPUT_FORMAT_GRAYSCALE16, Rule::kOutputFormat, kGeometry),
    IntRule("OutputFormat", A, KR_OUTPUT_FORMAT_PCM, Rule::kOutputFormat, kGeometry),
    IntDerived("BytesPerPixel", P, Rule::kBytesPerPixel),
    IntDerived("RequiredDataSize", ALL, Rule::kRequiredDataSize),
    GeneralRow("Cropping", P, sizeof(CroppingValue), RW, Rule::kCropping, kGeometry),
    // Stream state and picture controls.
    IntRange("State", ALL, 1, 0, 1),
    IntFixed("NumberOfFrames", ALL, 0),
    IntRange("Mirror", P, 0, 0, 1),
    IntRange("InputFormat", D, 1, 0, 3),
    IntRange("InputFormat", I, 1, 0, 7),
    IntRange("Gain", P, 0, 0, 0xFFFF),
    IntList("Compression", D, 0, kDepthCompressions),
    IntList("Compression", I, 0, kImageCompressions),
    IntRange("Compression", R | A, 0, 0, 0),
    // Depth range and the values of pixels without a measurement.
    IntRange("MinDepthValue", D, 0, 0, 0xFFFF),
    IntRange("MaxDepthValue", D, 10000, 1, 0xFFFF),
    IntFixed("ShadowValue", D, 1),
    IntFixed("NoSampleValue", D, 0),
    // Calibration: the inputs of "S2D" and "D2S".
    IntRange("ZPD", D, 120, 1, 0xFFFF, kShiftParam),
    // Derived on reads: registered depth reports the colour camera's value.
    RealPositive("ZPPS", D, 0.1042, kShiftParam | kDerived),
    RealPositive("LDDIS", D, 7.5, kShiftParam),
    IntRange("ConstShift", D, 200, 0, 0xFFFE, kShiftParam),
    IntRange("PixelSizeFactor", D, 1, 1, 16, kShiftParam),
    IntRange("ParamCoeff", D, 4, 1, 1024, kShiftParam),
    IntRange("ShiftScale", D, 10, 1, 10000, kShiftParam),
    IntRange("MaxShift", D, 2047, 1, 0xFFFF, kShiftParam),
    IntRange("DeviceMaxDepth", D, 10000, 1, 0xFFFF, kShiftParam),
    GeneralRow("S2D", D, 0, RO, Rule::kS2D, kDerived),
    GeneralRow("D2S", D, 0, RO, Rule::kD2S, kDerived),
    // The cameras of image and infra-red frames, and where the colour camera
    // sits (CameraGeometry.h).
    IntDerived("ZPD", I | R, Rule::kCameraZpd),
    RealDerived("ZPPS", I | R, Rule::kCameraZpps),
    GeneralRow("ExtrinsicsToImage", D | R, kExtrinsicsBytes, RO, Rule::kExtrinsics, kDerived),
    // Depth processing switches.
    IntRange("Registration", D, 0, 0, 1),
    IntRange("HoleFilter", D, 1, 0, 1),
    IntRange("WhiteBalancedEnabled", D, 0, 0, 1),
    IntRange("GmcMode", D, 1, 0, 1),
    IntRange("GmcDebug", D, 0, 0, 1),
    GeneralRow("AGCBin", D, sizeof(AgcBinValue), RW, Rule::kAgcBin, kUnlisted | kRequest),
    // Colour camera.
    IntList("Flicker", I, 0, kFlickerValues),
    IntRange("Quality", I, 90, 0, 100),
    GeneralRow("LastRawFrame", I | R, 0, RO, Rule::kLastFrame, kDerived | kUnlisted),
    // Audio.
    IntRule("SampleRate", A, 48000, Rule::kSampleRate, kGeometry),
    IntRange("NumOfChannels", A, 2, 1, 2, kGeometry),
    IntRange("LeftChannelVolume", A, 100, 0, 100),
    IntRange("RightChannelVolume", A, 100, 0, 100),
    IntRange("ReadChunkSize", A, 0, 0, 1u << 20),
};

// Factory ranges of the four AGC bins: {min, max} in mm.
const uint16_t kDefaultAgcBins[kAgcBinCount][2] = {{0, 1000}, {1000, 2000}, {2000, 4000}, {4000, 10000}};

KrStatus BadValueUnless(bool ok) { return ok ? KR_STATUS_OK : KR_STATUS_TL_BAD_PROPERTY_VALUE; }

StoredValue TableBytes(const std::vector<uint16_t>& table) {
  StoredValue v;
  v.g.resize(table.size() * sizeof(uint16_t));
  if (!table.empty()) std::memcpy(v.g.data(), table.data(), v.g.size());  // little-endian host
  return v;
}

}  // namespace

StreamSettings::StreamSettings(StreamKind kind)
    : ModuleSettings(kStreamRows, sizeof(kStreamRows) / sizeof(kStreamRows[0]), KindBit(kind)), kind_(kind) {
  if (const PropertyRow* row = Find("AGCBin")) {
    std::vector<uint8_t>& state = MutableValue(*row).g;  // {min, max} of each bin
    state.assign(sizeof(kDefaultAgcBins), 0);
    std::memcpy(state.data(), kDefaultAgcBins, sizeof(kDefaultAgcBins));
  }
  Refresh();
}

uint32_t StreamSettings::ResolutionCode() const { return static_cast<uint32_t>(IntValue("Resolution")); }

uint32_t StreamSettings::XRes() const {
  const Resolution* r = kind_ == StreamKind::kAudio ? nullptr : FindResolution(ResolutionCode());
  return r ? r->xRes : 0;
}

uint32_t StreamSettings::YRes() const {
  const Resolution* r = kind_ == StreamKind::kAudio ? nullptr : FindResolution(ResolutionCode());
  return r ? r->yRes : 0;
}

uint32_t StreamSettings::Fps() const { return static_cast<uint32_t>(IntValue("FPS")); }
uint32_t StreamSettings::OutputFormat() const { return static_cast<uint32_t>(IntValue("OutputFormat")); }
uint32_t StreamSettings::BytesPerPixel() const { return sensor::BytesPerPixel(OutputFormat()); }
uint32_t StreamSettings::SampleRate() const { return static_cast<uint32_t>(IntValue("SampleRate")); }
uint32_t StreamSettings::Channels() const { return static_cast<uint32_t>(IntValue("NumOfChannels")); }
uint32_t StreamSettings::LeftVolume() const { return static_cast<uint32_t>(IntValue("LeftChannelVolume")); }
uint32_t StreamSettings::RightVolume() const { return static_cast<uint32_t>(IntValue("RightChannelVolume")); }
bool StreamSettings::Mirror() const { return IntValue("Mirror") != 0; }
bool StreamSettings::Enabled() const { return IntValue("State") != 0; }
uint16_t StreamSettings::MinDepth() const { return static_cast<uint16_t>(IntValue("MinDepthValue")); }
uint16_t StreamSettings::MaxDepth() const { return static_cast<uint16_t>(IntValue("MaxDepthValue")); }
uint16_t StreamSettings::ShadowValue() const { return static_cast<uint16_t>(IntValue("ShadowValue")); }
uint16_t StreamSettings::NoSampleValue() const { return static_cast<uint16_t>(IntValue("NoSampleValue")); }

uint32_t StreamSettings::RequiredDataSize() const {
  if (kind_ == StreamKind::kAudio) {
    return MaxSamplesPerFrame(SampleRate(), Fps()) * Channels() * sensor::BytesPerPixel(OutputFormat());
  }
  return XRes() * YRes() * BytesPerPixel();
}

CroppingValue StreamSettings::Cropping() const {
  CroppingValue c{};
  const PropertyRow* row = Find("Cropping");
  if (row != nullptr && Value(*row).g.size() == sizeof(c)) std::memcpy(&c, Value(*row).g.data(), sizeof(c));
  return c;
}

ShiftParams StreamSettings::Shift() const {
  ShiftParams p;
  if (kind_ != StreamKind::kDepth) return p;
  p.zpd = IntValue("ZPD");
  p.zpps = Value(*Find("ZPPS")).r;
  p.lddis = Value(*Find("LDDIS")).r;
  p.constShift = IntValue("ConstShift");
  p.pixelSizeFactor = IntValue("PixelSizeFactor");
  p.paramCoeff = IntValue("ParamCoeff");
  p.shiftScale = IntValue("ShiftScale");
  p.maxShift = IntValue("MaxShift");
  p.deviceMaxDepth = IntValue("DeviceMaxDepth");
  return p;
}

bool StreamSettings::Registration() const { return kind_ == StreamKind::kDepth && IntValue("Registration") != 0; }
bool StreamSettings::HoleFilter() const { return kind_ == StreamKind::kDepth && IntValue("HoleFilter") != 0; }

geometry::PinholeCamera StreamSettings::FrameCamera() const {
  if (kind_ == StreamKind::kImage || Registers()) return rig_.ColourCamera(XRes(), YRes());
  return rig_.DepthCamera(XRes(), YRes());
}

geometry::RigidMotion StreamSettings::ToColour() const {
  if (kind_ == StreamKind::kImage || Registers()) return geometry::RigidMotion();
  return rig_.DepthToColour();
}

KrStatus StreamSettings::Validate() const {
  if (kind_ == StreamKind::kAudio) return BadValueUnless(IsFpsOffered(kind_, 0, Fps()));
  TOLLAN_TRY(BadValueUnless(IsFpsOffered(kind_, ResolutionCode(), Fps())));

  const CroppingValue c = Cropping();
  if (c.enabled != 0) {
    const bool fits = c.xSize > 0 && c.ySize > 0 && uint32_t{c.xOffset} + c.xSize <= XRes() &&
                      uint32_t{c.yOffset} + c.ySize <= YRes();
    // YUV 4:2:2 shares colour between pixel pairs, so a window may not split one.
    const bool pairs = OutputFormat() != KR_OUTPUT_FORMAT_YUV422 || (c.xOffset % 2 == 0 && c.xSize % 2 == 0);
    TOLLAN_TRY(BadValueUnless(fits && pairs));
  }
  if (kind_ == StreamKind::kDepth) {
    const ShiftParams p = Shift();
    TOLLAN_TRY(DepthTables::Check(p));
    TOLLAN_TRY(BadValueUnless(MinDepth() <= MaxDepth() && MaxDepth() <= p.deviceMaxDepth));
  }
  return KR_STATUS_OK;
}

void StreamSettings::Refresh() {
  if (kind_ != StreamKind::kDepth) return;
  const ShiftParams p = Shift();
  if ((tables_ == nullptr || tables_->Params() != p) && DepthTables::Check(p) == KR_STATUS_OK) {
    tables_ = std::make_shared<const DepthTables>(p);
  }
}

KrStatus StreamSettings::StoreByRule(const PropertyRow& row, const StoredValue& in) {
  switch (row.rule) {
    case Rule::kResolution:
      TOLLAN_TRY(BadValueUnless(in.i <= UINT32_MAX && IsResolutionOffered(kind_, uint32_t(in.i))));
      MutableValue(row).i = in.i;
      return KR_STATUS_OK;
    case Rule::kXRes:
    case Rule::kYRes: {
      const bool x = row.rule == Rule::kXRes;
      const Resolution* r = in.i > UINT32_MAX ? nullptr
                            : x               ? FindResolutionByXRes(uint32_t(in.i))
                                              : FindResolutionByYRes(uint32_t(in.i));
      TOLLAN_TRY(BadValueUnless(r != nullptr && IsResolutionOffered(kind_, r->code)));
      MutableValue(*Find("Resolution")).i = r->code;
      return KR_STATUS_OK;
    }
    case Rule::kFps: {
      // Offered at some resolution here; at the current one in Validate, so
      // initial values may name rate and resolution in either order.
      bool offered = false;
      for (uint32_t code = 0; code < 3 && !offered; ++code) offered = IsFpsOffered(kind_, code, uint32_t(in.i));
      TOLLAN_TRY(BadValueUnless(in.i <= UINT32_MAX && offered));
      MutableValue(row).i = in.i;
      return KR_STATUS_OK;
    }
    case Rule::kOutputFormat:
      TOLLAN_TRY(BadValueUnless(in.i <= UINT32_MAX && IsFormatOffered(kind_, uint32_t(in.i))));
      MutableValue(row).i = in.i;
      return KR_STATUS_OK;
    case Rule::kSampleRate:
      TOLLAN_TRY(BadValueUnless(in.i <= UINT32_MAX && IsSampleRateOffered(uint32_t(in.i))));
      MutableValue(row).i = in.i;
      return KR_STATUS_OK;
    case Rule::kAgcBin: {
      if (in.g.size() != sizeof(AgcBinValue)) return KR_STATUS_TL_BAD_PROPERTY_SIZE;
      AgcBinValue bin;
      std::memcpy(&bin, in.g.data(), sizeof(bin));
      TOLLAN_TRY(BadValueUnless(bin.bin < kAgcBinCount));
      uint16_t range[2] = {bin.minDepth, bin.maxDepth};
      std::memcpy(MutableValue(row).g.data() + bin.bin * sizeof(range), range, sizeof(range));
      return KR_STATUS_OK;
    }
    default:  // kCropping and plain values: size and type checks only
      return ModuleSettings::StoreByRule(row, in);
  }
}

KrStatus StreamSettings::ReadByRule(const PropertyRow& row, const KrGeneralBuffer* request, StoredValue* out) const {
  switch (row.rule) {
    case Rule::kTypeName:
      out->s = StreamKindName(kind_);
      return KR_STATUS_OK;
    case Rule::kXRes:
      out->i = XRes();
      return KR_STATUS_OK;
    case Rule::kYRes:
      out->i = YRes();
      return KR_STATUS_OK;
    case Rule::kBytesPerPixel:
      out->i = BytesPerPixel();
      return KR_STATUS_OK;
    case Rule::kRequiredDataSize:
      out->i = RequiredDataSize();
      return KR_STATUS_OK;
    case Rule::kS2D:
    case Rule::kD2S:
      if (tables_ == nullptr) return KR_STATUS_TL_BAD_PROPERTY_VALUE;
      *out = TableBytes(row.rule == Rule::kS2D ? tables_->S2D() : tables_->D2S());
      return KR_STATUS_OK;
    case Rule::kAgcBin: {
      AgcBinValue bin{};
      if (request != nullptr && request->pData != nullptr && request->nDataSize >= sizeof(bin.bin)) {
        std::memcpy(&bin.bin, request->pData, sizeof(bin.bin));
      }
      TOLLAN_TRY(BadValueUnless(bin.bin < kAgcBinCount));
      uint16_t range[2];
      std::memcpy(range, Value(row).g.data() + bin.bin * sizeof(range), sizeof(range));
      bin.minDepth = range[0];
      bin.maxDepth = range[1];
      out->g.resize(sizeof(bin));
      std::memcpy(out->g.data(), &bin, sizeof(bin));
      return KR_STATUS_OK;
    }
    case Rule::kLastFrame:
      return KR_STATUS_TL_NOT_SUPPORTED;  // the device serves frames, not the settings
    case Rule::kCameraZpd:
      out->i = kind_ == StreamKind::kImage ? CameraRig::ColourZpd() : ShiftParams().zpd;
      return KR_STATUS_OK;
    case Rule::kCameraZpps:
      out->r = kind_ == StreamKind::kImage ? rig_.ColourZpps() : ShiftParams().zpps;
      return KR_STATUS_OK;
    case Rule::kExtrinsics: {
      const geometry::RigidMotion m = ToColour();
      double values[12];
      std::memcpy(values, m.r, sizeof(m.r));
      std::memcpy(values + 9, m.t, sizeof(m.t));
      out->g.resize(sizeof(values));
      std::memcpy(out->g.data(), values, sizeof(values));  // little-endian host
      return KR_STATUS_OK;
    }
    default:
      if (Registers() && std::strcmp(row.name, "ZPPS") == 0) {
        // Registered depth is the colour camera's view: its "ZPPS" with the
        // stream's "ZPD" gives that camera's focal length.
        out->r = static_cast<double>(IntValue("ZPD")) / (2.0 * rig_.colourFocal);
        return KR_STATUS_OK;
      }
      return ModuleSettings::ReadByRule(row, request, out);
  }
}

}  // namespace sensor
}  // namespace tollan
