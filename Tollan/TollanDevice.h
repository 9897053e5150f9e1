// Tollan device calls: start and stop the kit, create devices (simulated
// sensors, recordings, devices described by INI files), manage their
// streams, read and write frames, reach their properties and subscribe to
// their events.
//
// Ownership: a device handle belongs to the caller of the Create call and
// goes back through KrDeviceProxyDestroy; the same holds for stream-data
// records and stream-data sets. A set does not own its member records.
// Registrations are cancelled by the matching Unregister call or when the
// device is destroyed.
//
// Threads: every call may be made from any thread; a device serialises
// calls on it. Event callbacks run on the device's producer thread or on the
// thread whose call made the change; a callback may call back into the kit
// for the same device (no call holds the device's lock while raising an
// event), but must not destroy the device from inside the callback.
//
// Conventions: a null handle, or a null pointer where an output is
// expected, gives 0x10004. A list call (stream names, supported streams,
// connection strings, stream-data-set members) called with a null array
// writes the number of entries to *count and returns 0x10007; with an array,
// *count is its capacity on entry, and on return the number written (at most
// the capacity; further entries are left out).
#pragma once

#include <Tollan/TollanTypes.h>

// ---- kit lifecycle ----
// Reads "Tollan.ini" in directory when present (null or "" is the current
// directory). Returns 0x307D2 when the kit is already started.
KrStatus TollanInit(const char* directory);
// Reads the given configuration file, which may also hold device sections.
KrStatus TollanInitFromINIFile(const char* path);
// Stops the kit; devices still open are destroyed. Not started: 0x307D1.
// From inside a device's callback: KR_STATUS_TL_DEVICE_BUSY, nothing stops.
KrStatus TollanShutdown();

// ---- devices ----
// kind is "SensorV2", "File" or (with <Tollan/TollanTesting.h>) "Scripted".
KrStatus KrDeviceProxyCreateDeviceByName(const char* kind, KrDeviceHandle* device, const KrDeviceConfig* config);
// The kind follows from the connection string: "*:N" is simulated sensor
// N, "scripted:NAME" a scripted device, anything else a recording's path.
KrStatus KrDeviceProxyCreate(KrDeviceHandle* device, const KrDeviceConfig* config);
// Creates the device that a section of an INI file describes (key "Kind";
// a section without one is simulated sensor 0, with key "Connection" for
// its connection string) and applies its stream keys.
// Section keys (docs/tollan-configuration.md): "Kind", "Connection" (without
// "Kind" the connection string picks the kind, and without both the section
// is "*:0"), "Mode" (0/1), "Sharing"; one stream per name in
// "Stream.<Name>.Type=<type>", with initial values in
// "Stream.<Name>.<Property>=<value>"; "<Module>.<Property>=<value>" keys are
// settings, applied by KrDeviceProxyLoadConfigFromFile, not here.
KrStatus KrDeviceProxyCreateDeviceByINIFile(const char* path, const char* section, KrDeviceHandle* device,
                                            KrPropertySetHandle initialValues);
// Applies an INI section's settings ("<Module>.<Property>=<value>", typed by
// the existing property) to an existing device, in file order; stops at the
// first failure.
KrStatus KrDeviceProxyLoadConfigFromFile(KrDeviceHandle device, const char* path, const char* section);
// Sets *device to null. Once it returns no callback of the device runs; from
// inside one of the device's own callbacks it gives KR_STATUS_TL_DEVICE_BUSY.
// A file being written that cannot be finished (its index and trailer could
// not be written) gives KR_STATUS_TL_FILE_WRITE_FAILED: the device is
// destroyed and *device null all the same, and the file plays by scanning.
KrStatus KrDeviceProxyDestroy(KrDeviceHandle* device);
KrStatus KrDeviceProxyEnumerate(char (*connectionStrings)[KR_MAX_NAME_LENGTH], uint32_t* count);
// The device's kind name ("SensorV2", "File", "Scripted").
KrStatus KrDeviceProxyGetDeviceName(KrDeviceHandle device, char* name, uint32_t capacity);

// ---- streams ----
// Names point at text the device keeps until it is destroyed.
KrStatus KrDeviceProxyGetSupportedStreams(KrDeviceHandle device, const char** types, uint32_t* count);
KrStatus KrDeviceProxyGetStreamNames(KrDeviceHandle device, const char** names, uint32_t* count);
// Creates a stream of a supported type; initialValues (may be null) holds
// values for a module named after the stream. Raises a stream-added event.
KrStatus KrDeviceProxyCreateStream(KrDeviceHandle device, const char* type, const char* name,
                                   KrPropertySetHandle initialValues);
KrStatus KrDeviceProxyDestroyStream(KrDeviceHandle device, const char* name);  // raises stream-removed
KrStatus KrDeviceProxyOpenStream(KrDeviceHandle device, const char* name);
KrStatus KrDeviceProxyCloseStream(KrDeviceHandle device, const char* name);
KrStatus KrDeviceProxyOpenAllStreams(KrDeviceHandle device);
KrStatus KrDeviceProxyCloseAllStreams(KrDeviceHandle device);

// ---- frames ----
KrStatus KrDeviceProxyCreateStreamData(KrDeviceHandle device, const char* stream, KrStreamData** data);
KrStatus KrDeviceProxyDestroyStreamData(KrStreamData** data);  // sets *data to null
// Makes the record's buffer hold at least size bytes: pData may move (the
// bytes held before are kept, the rest is zero) and the replaced buffer is
// freed unless a hold keeps it. Whoever wraps pData must take the new address. An unknown record:
// KR_STATUS_TL_BAD_HANDLE; no memory: 0x20001 with the record unchanged.
KrStatus KrStreamDataReserve(KrStreamData* data, uint32_t size);
// Keeps the buffer that the record's pData points at now alive, with its
// bytes, until KrStreamDataReleaseBuffer: a record that moves to a larger
// buffer or is destroyed meanwhile leaves the held one to the hold, and no
// later frame is written into a held buffer (the record takes a buffer of
// its own for it, so pData moves). For views that must outlive the read. Call it from the thread that
// reads the record, not during a read. A record pointed at memory of the
// caller's own: KR_STATUS_TL_NOT_SUPPORTED; an unknown record:
// KR_STATUS_TL_BAD_HANDLE. The hold may be released from any thread.
KrStatus KrStreamDataHoldBuffer(const KrStreamData* data, KrBufferHold* hold);
KrStatus KrStreamDataReleaseBuffer(KrBufferHold* hold);  // sets *hold to null; a null *hold is fine
KrStatus KrStreamDataSetCreate(KrStreamDataSetHandle* set);
KrStatus KrStreamDataSetDestroy(KrStreamDataSetHandle* set);  // members are not destroyed
KrStatus KrStreamDataSetAdd(KrStreamDataSetHandle set, KrStreamData* data);
KrStatus KrStreamDataSetRemove(KrStreamDataSetHandle set, KrStreamData* data);  // not a member: 0x1000A
KrStatus KrStreamDataSetCopyToArray(KrStreamDataSetHandle set, KrStreamData** array, uint32_t* count);
// Reads the next frames into every member of the set (see each kind for
// what it waits for); members whose stream has no new frame get bIsNew 0.
KrStatus KrDeviceProxyRead(KrDeviceHandle device, KrStreamDataSetHandle set);
KrStatus KrDeviceProxyReadStream(KrDeviceHandle device, KrStreamData* data);
// Devices opened for writing append the members marked new.
KrStatus KrDeviceProxyWrite(KrDeviceHandle device, KrStreamDataSetHandle set);
KrStatus KrDeviceProxyWriteStream(KrDeviceHandle device, KrStreamData* data);
// Position in a recording, by time stamp or frame number; devices that
// cannot seek return KR_STATUS_TL_NOT_SUPPORTED.
KrStatus KrDeviceProxyTell(KrDeviceHandle device, uint64_t* timestamp);
KrStatus KrDeviceProxySeek(KrDeviceHandle device, uint64_t timestamp);
KrStatus KrDeviceProxyTellFrame(KrDeviceHandle device, uint32_t* frame);
KrStatus KrDeviceProxySeekFrame(KrDeviceHandle device, uint32_t frame);

// ---- properties ----
// module is "Device" or a stream's name (or another module of the kind).
// A missing module is 0x30814, a missing property 0x3080B, a value of
// another type KR_STATUS_TL_BAD_PROPERTY_TYPE. String values fill a buffer
// of KR_MAX_NAME_LENGTH characters. A general get needs a buffer of exactly
// the value's size (else KR_STATUS_TL_BAD_PROPERTY_SIZE) and copies into it;
// some general properties also read their buffer as input (a request).
KrStatus KrDeviceProxyGetIntProperty(KrDeviceHandle device, const char* module, const char* property,
                                     uint64_t* value);
KrStatus KrDeviceProxySetIntProperty(KrDeviceHandle device, const char* module, const char* property,
                                     uint64_t value);
KrStatus KrDeviceProxyGetRealProperty(KrDeviceHandle device, const char* module, const char* property,
                                      double* value);
KrStatus KrDeviceProxySetRealProperty(KrDeviceHandle device, const char* module, const char* property,
                                      double value);
KrStatus KrDeviceProxyGetStringProperty(KrDeviceHandle device, const char* module, const char* property,
                                        char* value);
KrStatus KrDeviceProxySetStringProperty(KrDeviceHandle device, const char* module, const char* property,
                                        const char* value);
KrStatus KrDeviceProxyGetGeneralProperty(KrDeviceHandle device, const char* module, const char* property,
                                         const KrGeneralBuffer* value);
KrStatus KrDeviceProxySetGeneralProperty(KrDeviceHandle device, const char* module, const char* property,
                                         const KrGeneralBuffer* value);
KrStatus KrDeviceProxyGetPropertyType(KrDeviceHandle device, const char* module, const char* property,
                                      KrPropertyType* type);
KrStatus KrDeviceProxyDoesModuleExist(KrDeviceHandle device, const char* module, int* exists);
KrStatus KrDeviceProxyDoesPropertyExist(KrDeviceHandle device, const char* module, const char* property,
                                        int* exists);
// Adds every property (of one module when module is not null) to set;
// noStreams non-zero leaves out the stream modules.
KrStatus KrDeviceProxyGetAllProperties(KrDeviceHandle device, KrPropertySetHandle set, int noStreams,
                                       const char* module);
// Sets every property of set, module by module, in the set's order; stops
// at the first failure.
KrStatus KrDeviceProxyBatchConfig(KrDeviceHandle device, KrPropertySetHandle set);

// ---- events ----
// Property-change registrations need an existing module and property (else
// 0x30814 or 0x3080B). An Unregister call from outside any kit callback
// returns once an invocation of that registration running on another thread
// has ended; an unknown registration is KR_STATUS_TL_BAD_REGISTRATION.
KrStatus KrDeviceProxyRegisterToPropertyChange(KrDeviceHandle device, const char* module, const char* property,
                                               KrPropertyChangedCallback callback, void* cookie,
                                               KrCallbackHandle* registration);
KrStatus KrDeviceProxyUnregisterFromPropertyChange(KrDeviceHandle device, const char* module,
                                                   const char* property, KrCallbackHandle registration);
KrStatus KrDeviceProxyRegisterToNewStreamData(KrDeviceHandle device, KrNewStreamDataCallback callback,
                                              void* cookie, KrCallbackHandle* registration);
KrStatus KrDeviceProxyUnregisterFromNewStreamData(KrDeviceHandle device, KrCallbackHandle registration);
KrStatus KrDeviceProxyRegisterToStreamsChange(KrDeviceHandle device, KrStreamCollectionChangedCallback callback,
                                              void* cookie, KrCallbackHandle* registration);
KrStatus KrDeviceProxyUnregisterFromStreamsChange(KrDeviceHandle device, KrCallbackHandle registration);
