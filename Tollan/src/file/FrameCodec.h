// FrameCodec: the lossless codecs a recording may store frames with, behind
// one encode and one decode call.
//
//   raw    the bytes as they are
//   zlib   deflate (format version 1; kept for reading and for old callers)
//   depth  DepthCodec: 16-bit depth, ranks + prediction + Zstandard
//   lz4    LZ4 block, for colour, infra-red and audio when speed matters most
//   zstd   Zstandard level 1 frame, for colour, infra-red and audio
//
// The numbers are those a recording stores (a stream's compression and a
// frame's encoding), so they never change.
//
// Decoding reads untrusted bytes: each codec checks that its input decodes
// to exactly the frame's size, writes nothing outside the output it is
// given, and reports a DecodeStatus saying why it refused.
//
// Threads: one FrameCodec per thread (it keeps contexts and scratch).
#pragma once

#include "DepthCodec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tollan {
namespace recording {

enum class Codec : uint32_t {
  kRaw = 0,
  kZlib = 1,
  kDepth = 2,
  kLz4 = 3,
  kZstd = 4,
};
constexpr uint32_t kLastCodec = uint32_t(Codec::kZstd);

// Lower-case name ("raw", "zlib", "depth", "lz4", "zstd"); "unknown" otherwise.
const char* CodecName(Codec codec);
// The codec of a name; false when no codec has it.
bool CodecFromName(const char* name, Codec* codec);

// Which codec each kind of stream is recorded with, as a text such as
// "depth=depth,image=lz4,ir=zstd,audio=raw": comma-separated stream type
// (lower case: depth, image, ir, audio) = codec name. Types not named are
// stored raw; an empty text stores everything raw.
struct CodecChoice {
  Codec depth = Codec::kRaw;
  Codec image = Codec::kRaw;
  Codec ir = Codec::kRaw;
  Codec audio = Codec::kRaw;
  // The codec for a stream type ("Depth", "Image", "IR", "Audio"); raw for others.
  Codec For(const char* streamType) const;
};
// False (and *choice unchanged) for an unknown type or codec, or a malformed text.
bool ParseCodecChoice(const char* text, CodecChoice* choice);

class FrameCodec {
 public:
  FrameCodec();
  ~FrameCodec();
  FrameCodec(const FrameCodec&) = delete;
  FrameCodec& operator=(const FrameCodec&) = delete;

  // Encodes size bytes into *out. width: pixels per row, a hint for the
  // depth codec. False when the codec cannot take these bytes (depth with
  // an odd size, raw) or fails; the caller then stores them raw.
  bool Encode(Codec codec, const void* data, uint32_t size, uint32_t width, std::vector<uint8_t>* out);
  // Decodes size bytes into exactly outSize bytes at out.
  DecodeStatus Decode(Codec codec, const uint8_t* data, size_t size, void* out, uint32_t outSize);

 private:
  DepthEncoder depthEncoder_;
  DepthDecoder depthDecoder_;
  ZSTD_CCtx_s* zstdEncoder_;
  ZSTD_DCtx_s* zstdDecoder_;
  std::vector<uint16_t> pixels_;  // an unaligned depth frame, copied for the depth codec
};

}  // namespace recording
}  // namespace tollan
