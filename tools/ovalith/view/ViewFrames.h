// The binary messages that carry frames from the viewer's server to its
// page: a fixed 48-byte header, little-endian, then the frame's bytes (depth
// in mm, after the session's filters; the image in its output format; PCM
// samples; a depth frame's colours as RGB). The page (page/viewer.js) reads
// the same layout.
//
//   offset  size  field
//        0     4  "OVF2"
//        4     1  kind: 1 depth, 2 image, 3 IR, 4 audio, 5 colours (the
//                 colour of every second pixel of every second row of the
//                 depth frame of the same id, from pixel (0, 0): the image
//                 pixel that shows its point, RGB; its width and height are
//                 that grid's, its camera the depth grid's; ViewSession.h)
//        5     1  the stream's output format (the kit's code)
//        6     2  bytes per pixel (audio: bytes per sample)
//        8     2  width (audio: channels)
//       10     2  height (audio: 0)
//       12     4  frame id
//       16     8  time stamp, microseconds
//       24     2  depth: no-sample value
//       26     2  depth: shadow value
//       28     4  depth: mm per pixel column at 1 mm (float32); audio: sample rate
//       32    16  depth and colours: the depth grid's camera fx, fy, cx, cy in
//                 pixels (float32 each; 0 when unknown)
//
// Functions here are pure: any thread may call them.
#pragma once

#include <Ovalith/Ovalith.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace ovalith_view {

constexpr size_t kFrameHeaderSize = 48;

enum class FrameKind : uint8_t { kDepth = 1, kImage = 2, kIR = 3, kAudio = 4, kColours = 5 };

// A message's bytes: a vector whose new elements are left uninitialised
// (every message writes all of its bytes), so building one costs no
// clearing pass over a frame's worth of memory.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) {}
  template <typename U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using Bytes = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;

using Message = std::shared_ptr<const Bytes>;

// The pinhole camera of a depth grid (pixels; all 0 when unknown).
struct GridCamera {
  float fx = 0, fy = 0, cx = 0, cy = 0;
};

// The message of the frame the stream holds now; null when the frame holds
// fewer bytes than its resolution needs (it is not sent). camera: a depth
// frame's grid.
Message EncodeFrame(FrameKind kind, const KrVStreamData& frame, const GridCamera& camera = {});

// A filtered depth frame (its camera from the frame itself).
Message EncodeDepth(const KrVDepthImage& depth, uint32_t frameId, uint64_t timestamp);

// A colours message of width * height RGB pixels, header written, pixels
// not initialised: the caller fills every byte from kFrameHeaderSize on.
std::shared_ptr<Bytes> NewColours(uint16_t width, uint16_t height, uint32_t frameId, uint64_t timestamp,
                                                 const GridCamera& camera);

}  // namespace ovalith_view
