// KrVInitStreamProperties: the older interface's list of streams to start,
// with their initial settings, handed to KrVDevice::OpenSensor and
// KrVDevice::OpenFile. It knows four streams, "Depth", "Image", "IR" and
// "Audio" (exact names); each has a table of named unsigned 32-bit values.
// A stream is requested when its "State" is non-zero. The other names are
// free-form; the legacy open reads "XRes", "YRes", "FPS", "OutputFormat" (a
// legacy format code), "InputFormat", "SampleRate" and "NumOfChannels".
// It also carries a configure flag (1 at construction) for the client's own
// use. It never talks to a device.
//
// Statuses: a stream name other than the four gives 0x10001 (the Is*
// queries answer 0); reading or removing a missing property gives 0x1000A
// with the output untouched; an entry that cannot be stored gives 0x20001
// and leaves the object unchanged.
//
// Ownership: the object owns its tables and its copies of the names. Copy
// construction and assignment copy every table, so copies are independent.
// Threads: an object is used from one thread at a time; const members may
// be called from several threads at once.
#pragma once

#include <Orvane/OrvaneTypes.h>

#include <cstdint>

class KrVInitStreamProperties {
 public:
  KrVInitStreamProperties();
  ~KrVInitStreamProperties();
  KrVInitStreamProperties(const KrVInitStreamProperties& other);
  KrVInitStreamProperties& operator=(const KrVInitStreamProperties& other);

  int GetConfigure() const;
  void SetConfigure(int configure);

  // "State" := 1 (request) or 0 (withdraw); other entries stay.
  KrStatus AddStream(const char* stream);
  KrStatus RemoveStream(const char* stream);
  // The stream's "State", or 0 without one.
  int IsStream(const char* stream) const;

  // Inserts the property or overwrites its value.
  KrStatus AddProperty(const char* stream, const char* property, uint32_t value);
  KrStatus RemoveProperty(const char* stream, const char* property);
  KrStatus GetProperty(const char* stream, const char* property, uint32_t& value) const;
  // 1 when the stream's table holds the property, else 0.
  int IsProperty(const char* stream, const char* property) const;

 private:
  struct Table;
  struct Storage;

  // The table of a stream name, or null for any other name (or no storage).
  Table* FindTable(const char* stream) const;

  Storage* storage;  // owned; null only when the constructor ran out of memory
};
