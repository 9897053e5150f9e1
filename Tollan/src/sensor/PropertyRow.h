// One row of a simulated-sensor property table: a property's name, which
// stream kinds carry it, its type, access, default and the rule its values
// follow. The stream table (StreamSettings.cpp) and the "Device" table
// (DeviceSettings.cpp) are arrays of these rows, built with the constexpr
// helpers below so that each row reads as one line.
//
// Constant data; any thread.
#pragma once

#include <Tollan/TollanTypes.h>

#include <cstddef>
#include <cstdint>

namespace tollan {
namespace sensor {

enum class Access : uint8_t { kReadWrite, kReadOnly, kWriteOnly };

// How values of a property are checked (on write) or computed (on read)
// beyond plain storage. The first four are handled by every module; the
// others by the module kind that owns them.
enum class Rule : uint8_t {
  kAny,       // any value of the type
  kRange,     // integer within [min, max]
  kList,      // integer in the row's list
  kPositive,  // finite real above 0
  // stream rules
  kTypeName,          // the stream's type text
  kResolution,        // a "Resolution" code the stream offers
  kXRes,              // width of an offered resolution; stored as "Resolution"
  kYRes,              // height, likewise
  kFps,               // a rate offered at the stream's resolution
  kOutputFormat,      // a format the stream kind offers
  kSampleRate,        // an offered audio sample rate
  kBytesPerPixel,     // from the output format
  kRequiredDataSize,  // from resolution, format, rate and channels
  kCropping,          // CroppingRecord; the window must fit the resolution
  kAgcBin,            // DepthAgcBinRecord; the bin index is the request
  kS2D,               // shift-to-depth table
  kD2S,               // depth-to-shift table
  kLastFrame,         // the stream's last frame, served by the device
  kCameraZpd,         // "ZPD" of the camera that made the stream's frames
  kCameraZpps,        // "ZPPS" of that camera
  kExtrinsics,        // the motion from the stream's camera to the colour camera
  // "Device" rules
  kPrimaryStream,  // "Any", "None" or a stream name
  kCmosBlanking,   // per-sensor record; the sensor id is the request
  kI2C,            // written as a 26-byte command, read as a 48-byte answer
};

// Row flags.
constexpr uint8_t kDerived = 1;     // computed on every read, not stored
constexpr uint8_t kGeometry = 2;    // shapes the frames: cannot change while the stream is open
constexpr uint8_t kUnlisted = 4;    // left out of property lists (served on request only)
constexpr uint8_t kShiftParam = 8;  // an input of "S2D" and "D2S"
constexpr uint8_t kRequest = 16;    // a read takes the caller's buffer as its request

struct PropertyRow {
  const char* name;
  uint8_t kinds;  // stream kinds carrying it (bits of SensorModes.h); all bits for "Device"
  KrPropertyType type;
  Access access;
  Rule rule;
  uint8_t flags;
  uint64_t intDefault;
  uint64_t min;
  uint64_t max;
  double realDefault;
  const char* textDefault;
  uint32_t generalSize;  // bytes exchanged by a general get and set
  const uint64_t* list;  // Rule::kList
  uint32_t listSize;
};

constexpr uint8_t kAnyModule = 0xFF;

// ---- row builders ----

constexpr PropertyRow IntRow(const char* name, uint8_t kinds, uint64_t def, Access access, Rule rule, uint64_t min,
                             uint64_t max, uint8_t flags) {
  return PropertyRow{name,    kinds, KR_PROPERTY_TYPE_INTEGER, access, rule, flags, def, min, max, 0.0, nullptr, 0,
                     nullptr, 0};
}

// A writable integer within [min, max].
constexpr PropertyRow IntRange(const char* name, uint8_t kinds, uint64_t def, uint64_t min, uint64_t max,
                               uint8_t flags = 0) {
  return IntRow(name, kinds, def, Access::kReadWrite, Rule::kRange, min, max, flags);
}

// A writable integer checked by a rule of its module kind.
constexpr PropertyRow IntRule(const char* name, uint8_t kinds, uint64_t def, Rule rule, uint8_t flags = 0) {
  return IntRow(name, kinds, def, Access::kReadWrite, rule, 0, UINT64_MAX, flags);
}

// A writable integer taking one of the listed values.
template <size_t N>
constexpr PropertyRow IntList(const char* name, uint8_t kinds, uint64_t def, const uint64_t (&list)[N]) {
  PropertyRow row = IntRow(name, kinds, def, Access::kReadWrite, Rule::kList, 0, UINT64_MAX, 0);
  row.list = list;
  row.listSize = static_cast<uint32_t>(N);
  return row;
}

// A read-only integer: a stored value (set by the device, for example from
// configuration) or, with a rule, a computed one.
constexpr PropertyRow IntFixed(const char* name, uint8_t kinds, uint64_t def) {
  return IntRow(name, kinds, def, Access::kReadOnly, Rule::kAny, 0, UINT64_MAX, 0);
}
constexpr PropertyRow IntDerived(const char* name, uint8_t kinds, Rule rule) {
  return IntRow(name, kinds, 0, Access::kReadOnly, rule, 0, UINT64_MAX, kDerived);
}

// A writable real above 0.
constexpr PropertyRow RealPositive(const char* name, uint8_t kinds, double def, uint8_t flags = 0) {
  return PropertyRow{
      name,    kinds, KR_PROPERTY_TYPE_REAL, Access::kReadWrite, Rule::kPositive, flags, 0, 0, 0, def, nullptr, 0,
      nullptr, 0};
}

// A read-only real computed by a rule.
constexpr PropertyRow RealDerived(const char* name, uint8_t kinds, Rule rule) {
  return PropertyRow{name,    kinds, KR_PROPERTY_TYPE_REAL, Access::kReadOnly, rule, kDerived, 0, 0, 0, 0.0, nullptr, 0,
                     nullptr, 0};
}

constexpr PropertyRow TextRow(const char* name, uint8_t kinds, const char* def, Access access, Rule rule,
                              uint8_t flags = 0) {
  return PropertyRow{name, kinds, KR_PROPERTY_TYPE_STRING, access, rule, flags, 0, 0, 0, 0.0, def, 0, nullptr, 0};
}

constexpr PropertyRow GeneralRow(const char* name, uint8_t kinds, uint32_t size, Access access, Rule rule,
                                 uint8_t flags = 0) {
  return PropertyRow{name,    kinds, KR_PROPERTY_TYPE_GENERAL, access, rule, flags, 0, 0, 0, 0.0, nullptr, size,
                     nullptr, 0};
}

}  // namespace sensor
}  // namespace tollan
