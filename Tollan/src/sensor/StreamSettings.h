// The settings of one simulated-sensor stream ("Depth", "Image", "IR" or
// "Audio"): every property of its module with its current value, checked
// against the modes the sensor offers, plus typed accessors for the frame
// producer.
//
// The table of properties, defaults and rules is in StreamSettings.cpp.
// Values kept in step: "Resolution" with "XRes"/"YRes" (writing either size
// selects the resolution that has it); "BytesPerPixel" and
// "RequiredDataSize" follow resolution, format, rate and channels; "S2D" and
// "D2S" follow the shift parameters (see DepthTables.h).
//
// Combination rules (Validate): the frame rate must be offered at the
// resolution; an enabled cropping window must lie inside the frame (with an
// even offset and width in YUV 4:2:2); MinDepthValue <= MaxDepthValue <=
// DeviceMaxDepth; the shift parameters must describe a table.
//
// Not locked (see ModuleSettings.h); copies are independent and share the
// immutable depth tables.
#pragma once

#include "DepthTables.h"
#include "ModuleSettings.h"
#include "SensorCameras.h"
#include "SensorModes.h"

#include <memory>

namespace tollan {
namespace sensor {

#pragma pack(push, 1)
// The "Cropping" value: a window of the frame.
struct CroppingValue {
  int32_t enabled;
  uint16_t xOffset;
  uint16_t yOffset;
  uint16_t xSize;
  uint16_t ySize;
};
// The "AGCBin" value: the caller names the bin, the sensor fills its range.
struct AgcBinValue {
  uint16_t bin;
  uint16_t minDepth;
  uint16_t maxDepth;
};
#pragma pack(pop)
static_assert(sizeof(CroppingValue) == 12, "the cropping record is 12 bytes");
static_assert(sizeof(AgcBinValue) == 6, "the AGC bin record is 6 bytes");

constexpr uint16_t kAgcBinCount = 4;

class StreamSettings : public ModuleSettings {
 public:
  explicit StreamSettings(StreamKind kind);

  StreamKind Kind() const { return kind_; }

  uint32_t ResolutionCode() const;
  uint32_t XRes() const;  // 0 for audio
  uint32_t YRes() const;
  uint32_t Fps() const;
  uint32_t OutputFormat() const;
  uint32_t BytesPerPixel() const;
  // Capacity of one frame: a full frame of the resolution and format, or the
  // longest audio frame.
  uint32_t RequiredDataSize() const;
  uint32_t SampleRate() const;
  uint32_t Channels() const;
  uint32_t LeftVolume() const;
  uint32_t RightVolume() const;
  bool Mirror() const;   // the stream's own "Mirror"
  bool Enabled() const;  // "State"
  CroppingValue Cropping() const;
  uint16_t MinDepth() const;
  uint16_t MaxDepth() const;
  uint16_t ShadowValue() const;
  uint16_t NoSampleValue() const;
  ShiftParams Shift() const;
  bool Registration() const;  // "Registration" of a depth stream
  bool HoleFilter() const;    // "HoleFilter" of a depth stream
  // The sensor's cameras (the default rig until the device sets its own).
  void SetRig(const CameraRig& rig) { rig_ = rig; }
  const CameraRig& Rig() const { return rig_; }
  // True when the depth frames are mapped into the colour camera's view.
  bool Registers() const { return kind_ == StreamKind::kDepth && rig_.Registers() && Registration(); }
  // The camera of the stream's frames at its resolution (full frame): the
  // depth camera for depth and infra-red, the colour camera for image and
  // for registered depth. "ZPD"/"ZPPS" report it.
  geometry::PinholeCamera FrameCamera() const;
  // From the stream's camera to the colour camera (identity for the colour
  // camera's own frames and for registered depth).
  geometry::RigidMotion ToColour() const;
  // The depth stream's tables; null for other kinds.
  const std::shared_ptr<const DepthTables>& Tables() const { return tables_; }

  KrStatus Validate() const override;

 protected:
  KrStatus StoreByRule(const PropertyRow& row, const StoredValue& in) override;
  KrStatus ReadByRule(const PropertyRow& row, const KrGeneralBuffer* request, StoredValue* out) const override;
  void Refresh() override;

 private:
  StreamKind kind_;
  CameraRig rig_;
  std::shared_ptr<const DepthTables> tables_;  // rebuilt when the shift parameters change
};

}  // namespace sensor
}  // namespace tollan
