// The older interface's 16-bit, 32-bit and pointer property overloads,
// until the legacy property bridge (KrVDeviceBC36) provides them: each
// records and returns KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY. This file goes
// away when the bridge lands.
#include <Ovalith/Infrastructure/KrVDevice.h>

KrStatus KrVDevice::GetProperty(const char* /*module*/, const char* /*property*/, void*& /*value*/) {
  return Record(KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY);
}

KrStatus KrVDevice::GetProperty(const char* /*module*/, const char* /*property*/, uint32_t& /*value*/) {
  return Record(KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY);
}

KrStatus KrVDevice::GetProperty(const char* /*module*/, const char* /*property*/, uint16_t& /*value*/) {
  return Record(KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY);
}

KrStatus KrVDevice::SetProperty(const char* /*module*/, const char* /*property*/, void* /*value*/) {
  return Record(KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY);
}

KrStatus KrVDevice::SetProperty(const char* /*module*/, const char* /*property*/, uint32_t /*value*/) {
  return Record(KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY);
}

KrStatus KrVDevice::SetProperty(const char* /*module*/, const char* /*property*/, uint16_t /*value*/) {
  return Record(KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY);
}
