#include "DeviceSettings.h"

#include "../KitInternal.h"

#include <Tollan/TollanStatus.h>

#include <cstring>

namespace tollan {
namespace sensor {
namespace {

constexpr uint8_t M = kAnyModule;
constexpr Access RO = Access::kReadOnly;
constexpr Access RW = Access::kReadWrite;
constexpr Access WO = Access::kWriteOnly;

// Every property of the "Device" module, with its default and rule.
const PropertyRow kDeviceRows[] = {
    // How KrDeviceProxyRead waits: "Any" new frame, the next frame of a named
    // stream, or "None" (return at once with whatever is there).
    TextRow("PrimaryStream", M, "Any", RW, Rule::kPrimaryStream),
    IntFixed("ReadWriteMode", M, 0),
    IntRange("Mirror", M, 0, 0, 1),
    IntRange("FrameSync", M, 0, 0, 1),
    IntRange("FrameDelay", M, 0, 0, 1000000),
    IntRange("ResetSensorOnStartup", M, 1, 0, 1),
    IntRange("LeanInit", M, 0, 0, 1),
    IntRange("HighResTimestamps", M, 1, 0, 1),
    IntRange("APCEnabled", M, 1, 0, 1),
    IntRange("FirmwareLogFilter", M, 0, 0, UINT32_MAX),
    IntRange("FirmwareLogInterval", M, 0, 0, UINT32_MAX),
    IntRange("FirmwareLogPrint", M, 0, 0, UINT32_MAX),
    // Camera-head controls and status records.
    GeneralRow("CmosBlankingUnits", M, sizeof(CmosBlankingUnitsValue), RW, Rule::kCmosBlanking, kUnlisted | kRequest),
    GeneralRow("CmosBlankingTime", M, sizeof(CmosBlankingTimeValue), RW, Rule::kCmosBlanking, kUnlisted | kRequest),
    GeneralRow("ImageControl", M, 4, RW, Rule::kAny),
    GeneralRow("DepthControl", M, 4, RW, Rule::kAny),
    GeneralRow("FirmwareParam", M, 4, RW, Rule::kAny),
    GeneralRow("AHB", M, 12, RW, Rule::kAny),
    GeneralRow("I2C", M, sizeof(I2CReadValue), RW, Rule::kI2C, kUnlisted | kRequest),
    GeneralRow("TecStatus", M, 22, RO, Rule::kAny),
    GeneralRow("EmitterStatus", M, 24, RO, Rule::kAny),
    GeneralRow("ProjectorFault", M, 8, WO, Rule::kAny),
};

const char* const kFixedPrimaryNames[] = {"Any", "None", "Depth", "Image", "IR", "Audio"};

KrStatus BadValueUnless(bool ok) { return ok ? KR_STATUS_OK : KR_STATUS_TL_BAD_PROPERTY_VALUE; }

// The cmos id at the start of a request or value; kCmosCount when absent.
uint16_t CmosOf(const void* data, size_t size) {
  uint16_t cmos = kCmosCount;
  if (data != nullptr && size >= sizeof(cmos)) std::memcpy(&cmos, data, sizeof(cmos));
  return cmos;
}

}  // namespace

DeviceSettings::DeviceSettings()
    : ModuleSettings(kDeviceRows, sizeof(kDeviceRows) / sizeof(kDeviceRows[0]), kAnyModule) {
  // Request-driven rows keep state of another shape than the value they
  // exchange: one entry per image sensor, and the last I2C command.
  MutableValue(*Find("CmosBlankingUnits")).g.assign(kCmosCount * sizeof(uint32_t), 0);
  MutableValue(*Find("CmosBlankingTime")).g.assign(kCmosCount * sizeof(double), 0);
  MutableValue(*Find("I2C")).g.assign(sizeof(I2CWriteValue), 0);
}

void DeviceSettings::SetStreamNameCheck(std::function<bool(const char*)> isStreamName) {
  isStreamName_ = std::move(isStreamName);
}

std::string DeviceSettings::PrimaryStream() const { return Value(*Find("PrimaryStream")).s; }
bool DeviceSettings::Mirror() const { return IntValue("Mirror") != 0; }
bool DeviceSettings::FrameSync() const { return IntValue("FrameSync") != 0; }
uint64_t DeviceSettings::FrameDelay() const { return IntValue("FrameDelay"); }
bool DeviceSettings::HighResTimestamps() const { return IntValue("HighResTimestamps") != 0; }

KrStatus DeviceSettings::StoreByRule(const PropertyRow& row, const StoredValue& in) {
  switch (row.rule) {
    case Rule::kPrimaryStream: {
      bool known = isStreamName_ && isStreamName_(in.s.c_str());
      for (const char* name : kFixedPrimaryNames) known = known || in.s == name;
      if (!known) return KR_STATUS_TL_BAD_PRIMARY_STREAM;
      MutableValue(row).s = in.s;
      return KR_STATUS_OK;
    }
    case Rule::kCmosBlanking: {
      if (in.g.size() != row.generalSize) return KR_STATUS_TL_BAD_PROPERTY_SIZE;
      const uint16_t cmos = CmosOf(in.g.data(), in.g.size());
      TOLLAN_TRY(BadValueUnless(cmos < kCmosCount));
      uint8_t* slots = MutableValue(row).g.data();
      if (row.generalSize == sizeof(CmosBlankingUnitsValue)) {
        CmosBlankingUnitsValue v;
        std::memcpy(&v, in.g.data(), sizeof(v));
        std::memcpy(slots + cmos * sizeof(v.units), &v.units, sizeof(v.units));
      } else {
        CmosBlankingTimeValue v;
        std::memcpy(&v, in.g.data(), sizeof(v));
        TOLLAN_TRY(BadValueUnless(v.milliseconds >= 0.0 && v.milliseconds < 1000.0));
        std::memcpy(slots + cmos * sizeof(v.milliseconds), &v.milliseconds, sizeof(v.milliseconds));
      }
      return KR_STATUS_OK;
    }
    case Rule::kI2C: {
      if (in.g.size() != sizeof(I2CWriteValue)) return KR_STATUS_TL_BAD_PROPERTY_SIZE;
      I2CWriteValue command;
      std::memcpy(&command, in.g.data(), sizeof(command));
      TOLLAN_TRY(BadValueUnless(command.length <= sizeof(command.data)));
      MutableValue(row).g = in.g;
      return KR_STATUS_OK;
    }
    default:
      return ModuleSettings::StoreByRule(row, in);
  }
}

KrStatus DeviceSettings::ReadByRule(const PropertyRow& row, const KrGeneralBuffer* request, StoredValue* out) const {
  const void* requestData = request ? request->pData : nullptr;
  const size_t requestSize = request ? request->nDataSize : 0;
  switch (row.rule) {
    case Rule::kCmosBlanking: {
      const uint16_t cmos = CmosOf(requestData, requestSize);
      TOLLAN_TRY(BadValueUnless(cmos < kCmosCount));
      const uint8_t* slots = Value(row).g.data();
      out->g.assign(row.generalSize, 0);
      if (row.generalSize == sizeof(CmosBlankingUnitsValue)) {
        CmosBlankingUnitsValue v{cmos, 0, 0};
        std::memcpy(&v.units, slots + cmos * sizeof(v.units), sizeof(v.units));
        std::memcpy(out->g.data(), &v, sizeof(v));
      } else {
        CmosBlankingTimeValue v{cmos, 0.0};
        std::memcpy(&v.milliseconds, slots + cmos * sizeof(v.milliseconds), sizeof(v.milliseconds));
        std::memcpy(out->g.data(), &v, sizeof(v));
      }
      return KR_STATUS_OK;
    }
    case Rule::kI2C: {
      // The answer echoes the request; its data is what the last command
      // wrote to the same register (a bus of plain registers), else zeros.
      I2CReadValue answer{};
      if (requestData != nullptr && requestSize >= 8) std::memcpy(&answer, requestData, 8);
      I2CWriteValue last;
      std::memcpy(&last, Value(row).g.data(), sizeof(last));
      if (last.bus == answer.bus && last.address == answer.address && last.reg == answer.reg) {
        std::memcpy(answer.data, last.data, last.length);
      }
      out->g.resize(sizeof(answer));
      std::memcpy(out->g.data(), &answer, sizeof(answer));
      return KR_STATUS_OK;
    }
    default:
      return ModuleSettings::ReadByRule(row, request, out);
  }
}

}  // namespace sensor
}  // namespace tollan
