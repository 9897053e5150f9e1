// Types of the Tollan device kit: handles, records, event arguments and
// callback signatures shared by every kit call.
//
// Handles are opaque and owned by whoever created them (the caller of the
// matching Create call), and go back through the matching Destroy call.
// Records marked "packed" have the exact size stated beside them.
#pragma once

#include <Orvane/OrvaneTypes.h>

#include <cstdint>

// Capacity of every text buffer for names, connection strings and text
// property values, terminator included.
#define KR_MAX_NAME_LENGTH 200

#pragma pack(push, 1)
// The value of a general (structured) property: the caller's bytes. Packed:
// data pointer, then the unsigned 32-bit byte size.
struct KrGeneralBuffer {
  void* pData;
  uint32_t nDataSize;
};
#pragma pack(pop)
static_assert(sizeof(KrGeneralBuffer) == sizeof(void*) + 4, "KrGeneralBuffer is packed");

enum KrPropertyType : uint32_t {
  KR_PROPERTY_TYPE_INTEGER = 0,  // unsigned 64-bit
  KR_PROPERTY_TYPE_REAL = 1,     // double
  KR_PROPERTY_TYPE_STRING = 2,   // null-terminated 8-bit text, at most 199 characters
  KR_PROPERTY_TYPE_GENERAL = 3,  // KrGeneralBuffer
};

enum KrDeviceMode : uint32_t {
  KR_DEVICE_MODE_READ = 0,
  KR_DEVICE_MODE_WRITE = 1,
};

// Passed through to the device kind; 0 is used for files.
typedef uint32_t KrDeviceSharingMode;
#define KR_DEVICE_SHARING_EXCLUSIVE ((KrDeviceSharingMode)0)
#define KR_DEVICE_SHARING_SHARED ((KrDeviceSharingMode)1)

// Current output formats (the "OutputFormat" stream property).
enum KrOutputFormats : uint32_t {
  KR_OUTPUT_FORMAT_SHIFT_VALUES = 0,
  KR_OUTPUT_FORMAT_DEPTH_VALUES = 1,  // depth in mm, 16-bit
  KR_OUTPUT_FORMAT_GRAYSCALE8 = 4,
  KR_OUTPUT_FORMAT_RGB24 = 5,
  KR_OUTPUT_FORMAT_YUV422 = 6,
  KR_OUTPUT_FORMAT_PCM = 7,  // 16-bit samples
  KR_OUTPUT_FORMAT_GRAYSCALE16 = 8,
  KR_OUTPUT_FORMAT_JPEG = 9,
};

// Opaque handles.
typedef struct KrDeviceProxyImpl* KrDeviceHandle;
typedef struct KrPropertySetImpl* KrPropertySetHandle;
typedef struct KrPropertySetEnumeratorImpl* KrPropertySetEnumeratorHandle;
typedef struct KrStreamDataSetImpl* KrStreamDataSetHandle;
typedef struct KrBufferHoldImpl* KrBufferHold;  // a share of a record's buffer
// Identifies one event registration; written by a Register call and given
// back to the matching Unregister call.
typedef void* KrCallbackHandle;

// How a device is created.
struct KrDeviceConfig {
  KrDeviceMode deviceMode;
  const char* strConnectionString;    // "*:N" = simulated sensor N; a file device's path
  KrPropertySetHandle initialValues;  // may be null
  KrDeviceSharingMode sharingMode;
};

// The kit's record of one stream's current frame. Created by
// KrDeviceProxyCreateStreamData and owned by its creator. pData points at a
// buffer owned by the record, of the stream's "RequiredDataSize" at creation
// (reads fill it, writes take from it); a reader may also see pData moved
// to a larger kit buffer when the stream's frames grow.
struct KrStreamData {
  char strStreamName[KR_MAX_NAME_LENGTH];
  uint64_t nTimestamp;  // microseconds
  uint32_t nFrameID;    // 1 for the first frame after the stream opened
  void* pData;
  uint32_t nDataSize;  // valid bytes at pData
  int32_t bIsNew;      // 1 when the last read brought a new frame
  void* pInternal;     // the kit's own bookkeeping
};

// Event records as the kit delivers them. Pointers are valid during the call.
struct KrNewStreamDataEventArgs {
  KrDeviceHandle hDevice;
  const char* strStreamName;
};

enum KrStreamCollectionEventType : uint32_t {
  KR_STREAM_ADDED = 0,
  KR_STREAM_REMOVED = 1,
};

struct KrStreamCollectionChangedEventArgs {
  KrDeviceHandle hDevice;
  const char* strStreamName;
  uint32_t eventType;  // KrStreamCollectionEventType; other numbers can arrive
};

// Callbacks run on the thread that raised the event (a device's producer
// thread, or the caller of the operation that made the change).
typedef void (*KrPropertyChangedCallback)(KrDeviceHandle device, const char* module, const char* property,
                                          void* cookie);
typedef void (*KrNewStreamDataCallback)(const KrNewStreamDataEventArgs& args, void* cookie);
typedef void (*KrStreamCollectionChangedCallback)(const KrStreamCollectionChangedEventArgs& args, void* cookie);
