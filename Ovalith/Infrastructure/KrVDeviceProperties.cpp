// Device properties and events: typed access with the stream-first lookup,
// existence and type questions, whole-set queries, module handles, event
// subscription and the static callbacks handed to the kit.
#include <Ovalith/Infrastructure/KrVDevice.h>

#include <Orvane/OrvaneLog.h>
#include <Ovalith/Infrastructure/KrVDeviceStream.h>
#include <Ovalith/framedata/KrVStreamData.h>
#include <Ovalith/properties/KrVCheckInternal.h>
#include <Ovalith/properties/KrVModule.h>
#include <Ovalith/properties/KrVPropertySet.h>

#include <cstring>
#include <mutex>

namespace {

// Log source of the device's messages.
constexpr const char* kLogSource = "Infrastructure/KrVDevice";

// Offers the request to the stream's per-stream module first (when the
// module name is a stream's); whatever it does not know goes to the kit.
template <typename StreamCall, typename KitCall>
KrStatus StreamFirst(KrVDeviceStream* stream, StreamCall streamCall, KitCall kitCall) {
  if (stream != nullptr) {
    const KrStatus status = streamCall(*stream);
    if (status != KR_STATUS_TL_PROPERTY_NOT_FOUND) {
      return status;
    }
  }
  return kitCall();
}

// The modules of the older interface.
const char* const kLegacyModules[] = {"Depth", "Image", "IR", "Audio", "Shifts", "FixedParams", "Device"};

// The older interface's properties that exist outside the stream modules.
struct LegacyPropertyRow {
  const char* module;
  const char* property;
};
const LegacyPropertyRow kLegacyProperties[] = {
    {"Shifts", "ConstShift"},
    {"Shifts", "PixelSizeFactor"},
    {"Shifts", "MaxShift"},
    {"Shifts", "ParamCoeff"},
    {"Shifts", "ShiftScale"},
    {"Shifts", "S2D"},
    {"Shifts", "D2S"},
    {"FixedParams", "ZPD"},
    {"FixedParams", "ZPPS"},
    {"FixedParams", "LDDIS"},
    {"Device", "PrimaryStream"},
    {"Device", "FrameDelay"},
    {"Device", "CmosBlankingUnits"},
    {"Device", "CmosBlankingTime"},
    {"Device", "FrameSync"},
};

bool Equal(const char* a, const char* b) { return a != nullptr && b != nullptr && std::strcmp(a, b) == 0; }

}  // namespace

KrVDeviceStream* KrVDevice::FindStream(const char* name) const {
  if (name == nullptr) {
    return nullptr;
  }
  const auto found = streams.find(name);
  return found != streams.end() ? found->second : nullptr;
}

// ---- typed access ----

KrStatus KrVDevice::GetProperty(const char* module, const char* property, uint64_t& value) {
  KrVDeviceStream* stream = FindStream(module);
  return Record(StreamFirst(
      stream, [&](KrVDeviceStream& own) { return own.GetProperty(property, &value); },
      [&] {
        KRV_RETURN_IF_FAILED(KrDeviceProxyGetIntProperty(deviceHandle, module, property, &value));
        // A stream's "RequiredDataSize" is the capacity that copies and
        // frame views size themselves by: the buffer behind "Buffer" is made
        // to hold it before anyone can act on the answer.
        return stream != nullptr && Equal(property, "RequiredDataSize") ? ReserveFrameBuffer(*stream, value)
                                                                        : KR_STATUS_OK;
      }));
}

KrStatus KrVDevice::ReserveFrameBuffer(KrVDeviceStream& stream, uint64_t size) {
  if (size > UINT32_MAX) {
    return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;  // sizes are handled in 32 bits
  }
  // Handlers of "Buffer" run inside Reserve, as those of the frame fields
  // run inside a read: a stream they remove goes once this is done with it.
  std::lock_guard<std::recursive_mutex> guard(frameMutex);
  ++publishing;
  bool moved = false;
  const KrStatus status = stream.Reserve(static_cast<uint32_t>(size), &moved);
  // The device's own frame object heard of the new "Buffer" (a deferred one
  // only marked itself); it re-wraps now, not at the next read, so that it
  // never shows the freed buffer.
  if (status == KR_STATUS_OK && moved) {
    TellFrameObject(stream);
  }
  if (--publishing == 0) {
    ApplyDeferredStreamChanges();
  }
  return status;
}

KrStatus KrVDevice::GetProperty40(const char* module, const char* property, double& value) {
  return StreamFirst(
      FindStream(module), [&](KrVDeviceStream& stream) { return stream.GetProperty(property, &value); },
      [&] { return KrDeviceProxyGetRealProperty(deviceHandle, module, property, &value); });
}

KrStatus KrVDevice::GetProperty36(const char* module, const char* property, double& value) {
  // The older interface kept the fixed calibration values in a module of
  // their own; they live in "Depth" now.
  return GetProperty40(Equal(module, "FixedParams") ? "Depth" : module, property, value);
}

KrStatus KrVDevice::GetProperty(const char* module, const char* property, double& value) {
  return Record(compatibility != 0 ? GetProperty36(module, property, value) : GetProperty40(module, property, value));
}

KrStatus KrVDevice::GetProperty(const char* module, const char* property, char* value) {
  return Record(StreamFirst(
      FindStream(module), [&](KrVDeviceStream& stream) { return stream.GetProperty(property, value); },
      [&] { return KrDeviceProxyGetStringProperty(deviceHandle, module, property, value); }));
}

KrStatus KrVDevice::GetProperty(const char* module, const char* property, const KrGeneralBuffer& value) {
  return Record(StreamFirst(
      FindStream(module), [&](KrVDeviceStream& stream) { return stream.GetProperty(property, value); },
      [&] { return KrDeviceProxyGetGeneralProperty(deviceHandle, module, property, &value); }));
}

KrStatus KrVDevice::SetProperty(const char* module, const char* property, uint64_t value) {
  return Record(StreamFirst(
      FindStream(module), [&](KrVDeviceStream& stream) { return stream.SetProperty(property, value); },
      [&] { return KrDeviceProxySetIntProperty(deviceHandle, module, property, value); }));
}

KrStatus KrVDevice::SetProperty(const char* module, const char* property, double value) {
  return Record(StreamFirst(
      FindStream(module), [&](KrVDeviceStream& stream) { return stream.SetProperty(property, value); },
      [&] { return KrDeviceProxySetRealProperty(deviceHandle, module, property, value); }));
}

KrStatus KrVDevice::SetProperty(const char* module, const char* property, const char* value) {
  return Record(StreamFirst(
      FindStream(module), [&](KrVDeviceStream& stream) { return stream.SetProperty(property, value); },
      [&] { return KrDeviceProxySetStringProperty(deviceHandle, module, property, value); }));
}

KrStatus KrVDevice::SetProperty(const char* module, const char* property, const KrGeneralBuffer& value) {
  return Record(StreamFirst(
      FindStream(module), [&](KrVDeviceStream& stream) { return stream.SetProperty(property, value); },
      [&] { return KrDeviceProxySetGeneralProperty(deviceHandle, module, property, &value); }));
}

KrStatus KrVDevice::GetPropertyType(const char* module, const char* property, KrPropertyType& type) {
  return Record(StreamFirst(
      FindStream(module), [&](KrVDeviceStream& stream) { return stream.GetPropertyType(property, &type); },
      [&] { return KrDeviceProxyGetPropertyType(deviceHandle, module, property, &type); }));
}

// ---- existence and whole sets ----

KrStatus KrVDevice::DoesModuleExist(const char* module, int* exists) {
  if (exists == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  if (compatibility != 0) {
    *exists = IsModuleExist(module);
    return Record(KR_STATUS_OK);
  }
  return Record(KrDeviceProxyDoesModuleExist(deviceHandle, module, exists));
}

KrStatus KrVDevice::DoesPropertyExist(const char* module, const char* property, int* exists) {
  if (exists == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  *exists = 0;
  KrVDeviceStream* stream = FindStream(module);
  if (stream != nullptr && stream->DoesPropertyExist(property, exists) == KR_STATUS_OK) {
    return Record(KR_STATUS_OK);
  }
  return Record(KrDeviceProxyDoesPropertyExist(deviceHandle, module, property, exists));
}

int KrVDevice::IsModuleExist(const char* module) {
  for (const char* known : kLegacyModules) {
    if (Equal(module, known)) {
      return 1;
    }
  }
  return 0;
}

int KrVDevice::IsPropertyExist(const char* module, const char* property) {
  for (const LegacyPropertyRow& row : kLegacyProperties) {
    if (Equal(module, row.module) && Equal(property, row.property)) {
      return 1;
    }
  }
  return 0;
}

KrStatus KrVDevice::GetAllProperties(KrVPropertySet& set, const char* module) {
  return Record(GetAllProperties(set, 0, module));
}

KrStatus KrVDevice::GetAllProperties(KrVPropertySet& set, int noStreams, const char* module) {
  return Record(KrDeviceProxyGetAllProperties(deviceHandle, set.GetHandle(), noStreams, module));
}

KrStatus KrVDevice::BatchConfig(KrVPropertySet& set) {
  return Record(KrDeviceProxyBatchConfig(deviceHandle, set.GetHandle()));
}

KrStatus KrVDevice::GetModule(const char* module, KrVModule& handle) { return Record(handle.Attach(this, module)); }

// ---- events ----

KrStatus KrVDevice::RegisterForPropertyChangedEvent(const char* module, const char* property,
                                                    KrVModulePropertyChangedHandler* handler, void*& cookie) {
  if (handler == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  return Record(StreamFirst(
      FindStream(module),
      [&](KrVDeviceStream& stream) {
        return stream.RegisterForOnPropertyValueChanged(property, OnKrVDevicePropertyChanged, handler, &cookie);
      },
      [&] {
        return KrDeviceProxyRegisterToPropertyChange(deviceHandle, module, property, OnPropertyChangedCallback, handler,
                                                     &cookie);
      }));
}

KrStatus KrVDevice::UnregisterFromPropertyChangedEvent(const char* module, const char* property, void* cookie) {
  if (module == nullptr || property == nullptr || cookie == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  return Record(StreamFirst(
      FindStream(module),
      [&](KrVDeviceStream& stream) { return stream.UnregisterFromOnPropertyValueChanged(property, cookie); },
      [&] {
        // Without a kit device there is no kit registration left to cancel
        // (frame objects released at close end up here).
        if (deviceHandle == nullptr) {
          return KR_STATUS_OS_NULL_POINTER;
        }
        return KrDeviceProxyUnregisterFromPropertyChange(deviceHandle, module, property, cookie);
      }));
}

KrStatus KrVDevice::RegisterForNewDataFromStreamEvent(KrVNewDataFromStreamHandler* handler, void*& cookie) {
  if (handler == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  return Record(KrDeviceProxyRegisterToNewStreamData(deviceHandle, OnNewStreamDataCallback, handler, &cookie));
}

KrStatus KrVDevice::UnregisterFromNewDataFromStreamEvent(void* cookie) {
  return Record(KrDeviceProxyUnregisterFromNewStreamData(deviceHandle, cookie));
}

KrStatus KrVDevice::RegisterForStreamCollectionChangedEvent(KrVStreamCollectionChangedHandler* handler, void*& cookie) {
  if (handler == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  return Record(KrDeviceProxyRegisterToStreamsChange(deviceHandle, OnStreamsChangedCallback, handler, &cookie));
}

KrStatus KrVDevice::UnregisterFromStreamCollectionChangedEvent(void* cookie) {
  return Record(KrDeviceProxyUnregisterFromStreamsChange(deviceHandle, cookie));
}

// ---- static callbacks ----

void KrVDevice::OnPropertyChangedCallback(KrDeviceHandle /*device*/, const char* module, const char* property,
                                          void* cookie) {
  static_cast<KrVModulePropertyChangedHandler*>(cookie)->OnModulePropertyChanged(module, property);
}

KrStatus KrVDevice::OnKrVDevicePropertyChanged(const KrProperty& property, void* cookie) {
  static_cast<KrVModulePropertyChangedHandler*>(cookie)->OnModulePropertyChanged(property.GetModule(),
                                                                                 property.GetName());
  return KR_STATUS_OK;
}

void KrVDevice::OnNewStreamDataCallback(const KrNewStreamDataEventArgs& args, void* cookie) {
  static_cast<KrVNewDataFromStreamHandler*>(cookie)->OnNewData(args.strStreamName);
}

void KrVDevice::OnStreamsChangedCallback(const KrStreamCollectionChangedEventArgs& args, void* cookie) {
  KrVStreamCollectionChangedHandler* handler = static_cast<KrVStreamCollectionChangedHandler*>(cookie);
  switch (args.eventType) {
    case KR_STREAM_ADDED:
      handler->OnStreamAdded(args.strStreamName);
      break;
    case KR_STREAM_REMOVED:
      handler->OnStreamRemoved(args.strStreamName);
      break;
    default:
      krLogWrite("QMCore", KR_LOG_SEVERITY_ERROR, kLogSource, __LINE__,
                 "Internal error: unknown stream collection event type: %d", static_cast<int>(args.eventType));
      break;
  }
}
