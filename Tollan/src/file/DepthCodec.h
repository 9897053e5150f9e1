// DepthCodec: lossless compression of 16-bit depth frames, fast enough to
// record 640x480 at full rate with time to spare.
//
// A depth frame holds few distinct values (a structured-light sensor
// reports a few hundred to a few thousand depths out of 65536), and
// neighbouring pixels are close in the order of those values even where
// they are far apart in millimetres. So the encoder:
//   1. ranks the values the frame uses (its alphabet) and replaces each
//      pixel by its rank, when the alphabet is small enough to pay off;
//   2. predicts each rank by the one above it (the first row: by the one on
//      its left) and keeps the residual, zig-zag mapped to an unsigned
//      16-bit number; rows depend only on the row before, so both ways run
//      as vectorised loops;
//   3. stores the alphabet (as gaps), one byte per residual (255 marks a
//      residual of 255 or more, whose 16-bit value follows in a list of
//      escapes), and hands them to Zstandard (its fastest match search,
//      literals always Huffman-coded), whose matches take care of runs of
//      no-sample pixels and whose entropy stage codes the small residuals in
//      about two bits.
//
// Encoded layout (little-endian):
//   0  u8   version, 1
//   1  u8   flags: bit 0 set when pixels are ranks into the alphabet
//   2  u16  row width in pixels (a prediction hint; any width round-trips)
//   4  u32  pixel count
//   8  u32  alphabet size (0 when not ranked, else 1 .. 65536)
//   12 u32  escape count (at most the pixel count)
//   16      one Zstandard frame of exactly 2 * alphabet + pixels + 2 * escapes
//           bytes: alphabet gaps (u16 each: first value, then value -
//           previous - 1), one byte per pixel (its zig-zag residual, or 255),
//           the escapes (u16 each, in pixel order).
//
// The decoder reads untrusted bytes: every field is checked against the
// output the caller holds before anything is allocated (a ranked frame's
// alphabet is at most a quarter of its pixels, as the encoder ranks, and a
// ranked frame of at most 128 values has no escapes, so the planes stay
// within 1.75 times the frame's size), Zstandard checks
// its own frame, and every decoded value is checked against the alphabet.
// It never reads or writes outside the buffers it was given.
//
// Threads: an encoder or decoder object is used by one thread at a time; it
// keeps its Zstandard context and scratch buffers between frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace tollan {
namespace recording {

// Why a decoder refused its input (kOk when it did not).
enum class DecodeStatus {
  kOk = 0,
  kTruncated,       // shorter than its own header says
  kBadHeader,       // unknown version, flags or codec; zero width; sizes that do not add up
  kSizeMismatch,    // decodes to another size than the caller's frame
  kEntropyError,    // the compressed data is damaged (zlib, LZ4 or Zstandard said so)
  kValueOutOfRange  // a decoded value outside the frame's alphabet
};

// A short text for a status ("truncated input", ...).
const char* DescribeDecodeStatus(DecodeStatus status);

class DepthEncoder {
 public:
  DepthEncoder();
  ~DepthEncoder();
  DepthEncoder(const DepthEncoder&) = delete;
  DepthEncoder& operator=(const DepthEncoder&) = delete;

  // Encodes pixels values (width a hint: the frame's row length) into *out,
  // replacing its contents. False only when Zstandard fails (out of memory).
  bool Encode(const uint16_t* pixels, uint32_t count, uint32_t width, std::vector<uint8_t>* out);

 private:
  ZSTD_CCtx_s* context_;
  std::vector<uint8_t> used_;     // which of the 65536 values the frame being encoded holds
  std::vector<uint16_t> rank_;    // rank of each value (the value itself when not ranked)
  std::vector<uint16_t> above_;   // ranks of the row above the one being encoded
  std::vector<uint16_t> current_; // ranks of the row being encoded
  std::vector<uint8_t> planes_;   // what goes to Zstandard
  std::vector<uint16_t> escapes_; // residuals of 255 or more, in pixel order
};

class DepthDecoder {
 public:
  DepthDecoder();
  ~DepthDecoder();
  DepthDecoder(const DepthDecoder&) = delete;
  DepthDecoder& operator=(const DepthDecoder&) = delete;

  // Decodes size bytes at data into exactly count pixels at out. On any
  // failure out may hold a partial frame; nothing outside it is written.
  DecodeStatus Decode(const uint8_t* data, size_t size, uint16_t* out, uint32_t count);

 private:
  ZSTD_DCtx_s* context_;
  std::vector<uint8_t> planes_;     // Zstandard's output
  std::vector<uint16_t> alphabet_;  // the frame's values by rank
};

}  // namespace recording
}  // namespace tollan
