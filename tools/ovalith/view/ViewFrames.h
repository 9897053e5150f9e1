// The binary messages that carry frames from the viewer's server to its
// page: a fixed 32-byte header, little-endian, then the frame's bytes as
// the device holds them (depth in mm, the image in its output format, PCM
// samples). The page (page/viewer.js) reads the same layout.
//
//   offset  size  field
//        0     4  "OVF1"
//        4     1  kind: 1 depth, 2 image, 3 IR, 4 audio
//        5     1  the stream's output format (the kit's code)
//        6     2  bytes per pixel (audio: bytes per sample)
//        8     2  width (audio: channels)
//       10     2  height (audio: 0)
//       12     4  frame id
//       16     8  time stamp, microseconds
//       24     2  depth: no-sample value
//       26     2  depth: shadow value
//       28     4  depth: mm per pixel column at 1 mm (float32); audio: sample rate
//
// Functions here are pure: any thread may call them.
#pragma once

#include <Ovalith/Ovalith.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace ovalith_view {

constexpr size_t kFrameHeaderSize = 32;

enum class FrameKind : uint8_t { kDepth = 1, kImage = 2, kIR = 3, kAudio = 4 };

using Message = std::shared_ptr<const std::vector<uint8_t>>;

// The message of the frame the stream holds now; null when the frame holds
// fewer bytes than its resolution needs (it is not sent).
Message EncodeFrame(FrameKind kind, const KrVStreamData& frame);

}  // namespace ovalith_view
