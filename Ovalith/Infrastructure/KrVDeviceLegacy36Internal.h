// Private pieces shared by the older interface's open operations (INI files
// and init stream properties): the stream layout they build before adding
// streams, seeded from defaults, a source device and the caller's settings.
#pragma once

#include <Ovalith/Infrastructure/KrVDevice.h>

#include <cstdint>

namespace krv36 {

// One pixel stream ("Depth" or "Image") as the legacy opens add it.
struct PixelLayout {
  int wanted = 1;  // added to the device
  int open = 0;    // opened after adding (legacy open of a sensor)
  uint64_t outputFormat = 0;
  uint64_t fps = 30;
  uint64_t xRes = 320;
  uint64_t yRes = 240;
  uint64_t inputFormat = 1;
};

struct AudioLayout {
  int wanted = 1;
  int open = 0;
  uint64_t outputFormat = 7;
  uint64_t channels = 2;
  uint64_t sampleRate = 48000;
};

struct StreamLayout {
  PixelLayout depth;
  PixelLayout image;
  AudioLayout audio;
  const char* imageType = "Image";  // "IR" puts an infra-red stream under the name "Image"
};

// Replaces the layout's values with those of source's "Depth", "Image" and
// "Audio" streams; a stream source lacks becomes unwanted. A source that is
// not a KrVDevice gives notADevice; a failed query its status.
KrStatus SeedFromSource(KrVStreamContainer& source, KrStatus notADevice, StreamLayout* layout);

// Adds the wanted streams in the order depth, image, audio, each with its
// values as initial values. withInputFormat also passes "InputFormat" to
// the depth stream and to an image stream of type "Image".
KrStatus AddStreams(KrVDevice& device, const StreamLayout& layout, bool withInputFormat);

}  // namespace krv36
