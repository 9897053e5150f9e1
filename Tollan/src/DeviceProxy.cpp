// The exported calls on a device: streams, frames, properties and events.
// Each one enters through TOLLAN_ENTER, checks its pointers, finds the live
// device behind the handle and hands over to tollan::DeviceBase.
#include "DeviceBase.h"
#include "KitInternal.h"
#include "StreamDataInternal.h"

#include <cstring>

namespace {

using tollan::DeviceBase;

// The live device behind a handle, or a status saying why there is none.
#define TOLLAN_DEVICE(variable, handle)                                \
  TOLLAN_REQUIRE(handle);                                              \
  std::shared_ptr<DeviceBase> variable = ::tollan::FindDevice(handle); \
  if (!variable) {                                                     \
    return KR_STATUS_TL_BAD_HANDLE;                                    \
  }

// The device a record belongs to (null device, destroyed record: a status).
KrStatus DeviceOfRecord(KrDeviceHandle device, KrStreamData* record) {
  KrDeviceHandle owner = nullptr;
  uint64_t streamId = 0;
  if (!tollan::GetRecordOwner(record, &owner, &streamId)) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  return owner == device ? KR_STATUS_OK : KR_STATUS_TL_STREAM_NOT_FOUND;
}

KrStatus GetTyped(KrDeviceHandle device, const char* module, const char* property, KrPropertyType type,
                  tollan::Value* value) {
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(property);
  return target->GetValue(module, property, type, value);
}

KrStatus SetTyped(KrDeviceHandle device, const char* module, const char* property, const tollan::Value& value) {
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(property);
  return target->SetValue(module, property, value);
}

}  // namespace

// ---- streams ----

KrStatus KrDeviceProxyGetSupportedStreams(KrDeviceHandle device, const char** types, uint32_t* count) {
  TOLLAN_ENTER("KrDeviceProxyGetSupportedStreams", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(count);
  return target->GetSupportedStreams(types, count);
}

KrStatus KrDeviceProxyGetStreamNames(KrDeviceHandle device, const char** names, uint32_t* count) {
  TOLLAN_ENTER("KrDeviceProxyGetStreamNames", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(count);
  return target->GetStreamNames(names, count);
}

KrStatus KrDeviceProxyCreateStream(KrDeviceHandle device, const char* type, const char* name,
                                   KrPropertySetHandle initialValues) {
  TOLLAN_ENTER("KrDeviceProxyCreateStream", device, type, name);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(type);
  TOLLAN_REQUIRE(name);
  return target->CreateStream(type, name, initialValues);
}

KrStatus KrDeviceProxyDestroyStream(KrDeviceHandle device, const char* name) {
  TOLLAN_ENTER("KrDeviceProxyDestroyStream", device, name);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(name);
  return target->DestroyStream(name);
}

KrStatus KrDeviceProxyOpenStream(KrDeviceHandle device, const char* name) {
  TOLLAN_ENTER("KrDeviceProxyOpenStream", device, name);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(name);
  return target->OpenStream(name);
}

KrStatus KrDeviceProxyCloseStream(KrDeviceHandle device, const char* name) {
  TOLLAN_ENTER("KrDeviceProxyCloseStream", device, name);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(name);
  return target->CloseStream(name);
}

KrStatus KrDeviceProxyOpenAllStreams(KrDeviceHandle device) {
  TOLLAN_ENTER("KrDeviceProxyOpenAllStreams", device);
  TOLLAN_DEVICE(target, device);
  return target->OpenAllStreams();
}

KrStatus KrDeviceProxyCloseAllStreams(KrDeviceHandle device) {
  TOLLAN_ENTER("KrDeviceProxyCloseAllStreams", device);
  TOLLAN_DEVICE(target, device);
  return target->CloseAllStreams();
}

// ---- frames ----

KrStatus KrDeviceProxyRead(KrDeviceHandle device, KrStreamDataSetHandle set) {
  TOLLAN_ENTER("KrDeviceProxyRead", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(set);
  std::vector<KrStreamData*> members;
  TOLLAN_TRY(tollan::GetSetMembers(set, &members));
  return target->Read(members);
}

KrStatus KrDeviceProxyReadStream(KrDeviceHandle device, KrStreamData* data) {
  TOLLAN_ENTER("KrDeviceProxyReadStream", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(data);
  TOLLAN_TRY(DeviceOfRecord(device, data));
  return target->ReadStream(data);
}

KrStatus KrDeviceProxyWrite(KrDeviceHandle device, KrStreamDataSetHandle set) {
  TOLLAN_ENTER("KrDeviceProxyWrite", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(set);
  std::vector<KrStreamData*> members;
  TOLLAN_TRY(tollan::GetSetMembers(set, &members));
  return target->Write(members);
}

KrStatus KrDeviceProxyWriteStream(KrDeviceHandle device, KrStreamData* data) {
  TOLLAN_ENTER("KrDeviceProxyWriteStream", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(data);
  TOLLAN_TRY(DeviceOfRecord(device, data));
  return target->WriteStream(data);
}

KrStatus KrDeviceProxyTell(KrDeviceHandle device, uint64_t* timestamp) {
  TOLLAN_ENTER("KrDeviceProxyTell", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(timestamp);
  return target->Tell(timestamp);
}

KrStatus KrDeviceProxySeek(KrDeviceHandle device, uint64_t timestamp) {
  TOLLAN_ENTER("KrDeviceProxySeek", device);
  TOLLAN_DEVICE(target, device);
  return target->Seek(timestamp);
}

KrStatus KrDeviceProxyTellFrame(KrDeviceHandle device, uint32_t* frame) {
  TOLLAN_ENTER("KrDeviceProxyTellFrame", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(frame);
  return target->TellFrame(frame);
}

KrStatus KrDeviceProxySeekFrame(KrDeviceHandle device, uint32_t frame) {
  TOLLAN_ENTER("KrDeviceProxySeekFrame", device);
  TOLLAN_DEVICE(target, device);
  return target->SeekFrame(frame);
}

// ---- properties ----

KrStatus KrDeviceProxyGetIntProperty(KrDeviceHandle device, const char* module, const char* property, uint64_t* value) {
  TOLLAN_ENTER("KrDeviceProxyGetIntProperty", device, module, property);
  TOLLAN_REQUIRE(value);
  tollan::Value read;
  TOLLAN_TRY(GetTyped(device, module, property, KR_PROPERTY_TYPE_INTEGER, &read));
  *value = read.intValue;
  return KR_STATUS_OK;
}

KrStatus KrDeviceProxySetIntProperty(KrDeviceHandle device, const char* module, const char* property, uint64_t value) {
  TOLLAN_ENTER("KrDeviceProxySetIntProperty", device, module, property);
  return SetTyped(device, module, property, tollan::Value::Int(value));
}

KrStatus KrDeviceProxyGetRealProperty(KrDeviceHandle device, const char* module, const char* property, double* value) {
  TOLLAN_ENTER("KrDeviceProxyGetRealProperty", device, module, property);
  TOLLAN_REQUIRE(value);
  tollan::Value read;
  TOLLAN_TRY(GetTyped(device, module, property, KR_PROPERTY_TYPE_REAL, &read));
  *value = read.realValue;
  return KR_STATUS_OK;
}

KrStatus KrDeviceProxySetRealProperty(KrDeviceHandle device, const char* module, const char* property, double value) {
  TOLLAN_ENTER("KrDeviceProxySetRealProperty", device, module, property);
  return SetTyped(device, module, property, tollan::Value::Real(value));
}

KrStatus KrDeviceProxyGetStringProperty(KrDeviceHandle device, const char* module, const char* property, char* value) {
  TOLLAN_ENTER("KrDeviceProxyGetStringProperty", device, module, property);
  TOLLAN_REQUIRE(value);
  tollan::Value read;
  TOLLAN_TRY(GetTyped(device, module, property, KR_PROPERTY_TYPE_STRING, &read));
  // Stored texts are always shorter than a name buffer; a computed one is cut.
  const size_t length = std::min<size_t>(read.stringValue.size(), KR_MAX_NAME_LENGTH - 1);
  std::memcpy(value, read.stringValue.data(), length);
  value[length] = '\0';
  return KR_STATUS_OK;
}

KrStatus KrDeviceProxySetStringProperty(KrDeviceHandle device, const char* module, const char* property,
                                        const char* value) {
  TOLLAN_ENTER("KrDeviceProxySetStringProperty", device, module, property);
  TOLLAN_REQUIRE(value);
  // Longer texts than a name buffer holds are refused whole rather than cut.
  if (strnlen(value, KR_MAX_NAME_LENGTH) >= KR_MAX_NAME_LENGTH) {
    return KR_STATUS_TL_BAD_PROPERTY_SIZE;
  }
  return SetTyped(device, module, property, tollan::Value::String(value));
}

KrStatus KrDeviceProxyGetGeneralProperty(KrDeviceHandle device, const char* module, const char* property,
                                         const KrGeneralBuffer* value) {
  TOLLAN_ENTER("KrDeviceProxyGetGeneralProperty", device, module, property);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(property);
  TOLLAN_REQUIRE(value);
  return target->GetGeneral(module, property, *value);
}

KrStatus KrDeviceProxySetGeneralProperty(KrDeviceHandle device, const char* module, const char* property,
                                         const KrGeneralBuffer* value) {
  TOLLAN_ENTER("KrDeviceProxySetGeneralProperty", device, module, property);
  TOLLAN_REQUIRE(value);
  if (value->nDataSize > 0 && value->pData == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(property);
  return target->SetGeneral(module, property, *value);
}

KrStatus KrDeviceProxyGetPropertyType(KrDeviceHandle device, const char* module, const char* property,
                                      KrPropertyType* type) {
  TOLLAN_ENTER("KrDeviceProxyGetPropertyType", device, module, property);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(property);
  TOLLAN_REQUIRE(type);
  return target->GetPropertyType(module, property, type);
}

KrStatus KrDeviceProxyDoesModuleExist(KrDeviceHandle device, const char* module, int* exists) {
  TOLLAN_ENTER("KrDeviceProxyDoesModuleExist", device, module);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(exists);
  return target->DoesModuleExist(module, exists);
}

KrStatus KrDeviceProxyDoesPropertyExist(KrDeviceHandle device, const char* module, const char* property, int* exists) {
  TOLLAN_ENTER("KrDeviceProxyDoesPropertyExist", device, module, property);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(property);
  TOLLAN_REQUIRE(exists);
  return target->DoesPropertyExist(module, property, exists);
}

KrStatus KrDeviceProxyGetAllProperties(KrDeviceHandle device, KrPropertySetHandle set, int noStreams,
                                       const char* module) {
  TOLLAN_ENTER("KrDeviceProxyGetAllProperties", device, module);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(set);
  return target->GetAllProperties(set, noStreams, module);
}

KrStatus KrDeviceProxyBatchConfig(KrDeviceHandle device, KrPropertySetHandle set) {
  TOLLAN_ENTER("KrDeviceProxyBatchConfig", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(set);
  return target->BatchConfig(set);
}

// ---- events ----

KrStatus KrDeviceProxyRegisterToPropertyChange(KrDeviceHandle device, const char* module, const char* property,
                                               KrPropertyChangedCallback callback, void* cookie,
                                               KrCallbackHandle* registration) {
  TOLLAN_ENTER("KrDeviceProxyRegisterToPropertyChange", device, module, property);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(property);
  TOLLAN_REQUIRE(callback);
  TOLLAN_REQUIRE(registration);
  return target->RegisterPropertyChange(module, property, callback, cookie, registration);
}

KrStatus KrDeviceProxyUnregisterFromPropertyChange(KrDeviceHandle device, const char* module, const char* property,
                                                   KrCallbackHandle registration) {
  TOLLAN_ENTER("KrDeviceProxyUnregisterFromPropertyChange", device, module, property);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(property);
  TOLLAN_REQUIRE(registration);
  return target->UnregisterPropertyChange(module, property, registration);
}

KrStatus KrDeviceProxyRegisterToNewStreamData(KrDeviceHandle device, KrNewStreamDataCallback callback, void* cookie,
                                              KrCallbackHandle* registration) {
  TOLLAN_ENTER("KrDeviceProxyRegisterToNewStreamData", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(callback);
  TOLLAN_REQUIRE(registration);
  return target->RegisterNewData(callback, cookie, registration);
}

KrStatus KrDeviceProxyUnregisterFromNewStreamData(KrDeviceHandle device, KrCallbackHandle registration) {
  TOLLAN_ENTER("KrDeviceProxyUnregisterFromNewStreamData", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(registration);
  return target->UnregisterNewData(registration);
}

KrStatus KrDeviceProxyRegisterToStreamsChange(KrDeviceHandle device, KrStreamCollectionChangedCallback callback,
                                              void* cookie, KrCallbackHandle* registration) {
  TOLLAN_ENTER("KrDeviceProxyRegisterToStreamsChange", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(callback);
  TOLLAN_REQUIRE(registration);
  return target->RegisterStreamsChange(callback, cookie, registration);
}

KrStatus KrDeviceProxyUnregisterFromStreamsChange(KrDeviceHandle device, KrCallbackHandle registration) {
  TOLLAN_ENTER("KrDeviceProxyUnregisterFromStreamsChange", device);
  TOLLAN_DEVICE(target, device);
  TOLLAN_REQUIRE(registration);
  return target->UnregisterStreamsChange(registration);
}
