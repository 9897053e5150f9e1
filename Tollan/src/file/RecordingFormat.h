// The recording file format of the kit's "File" device: its on-disk layout,
// limits, what it carries in memory, and the encoding of each chunk.
// docs/recording-format.md describes the same layout for users.
//
// A recording is a 20-byte file header followed by chunks. Every chunk is a
// 16-byte chunk header (type, payload length, CRC-32 of the payload, CRC-32
// of the three fields before it) and its payload. All numbers are
// little-endian; CRC-32 is zlib's crc32. Chunks appear in the order they
// were written, which is the order of playback:
//
//   header | DEVP | STRD... | (FRAM | PCHG | STRD | STRR)... | INDX | TRLR
//
// INDX and TRLR are written when the recording is closed; a file without
// them (a crash, a full disk) is read by scanning its chunks.
//
// Internal to the kit. The helpers here are plain functions on values and
// are safe from any thread.
#pragma once

#include <Tollan/TollanStatus.h>
#include <Tollan/TollanTypes.h>
#include <Tollan/src/KitInternal.h>
#include <Tollan/src/PropertySetInternal.h>
#include <Tollan/src/Value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tollan {
namespace recording {

// ---- file header ----
constexpr uint8_t kMagic[8] = {'O', 'V', 'L', 'R', 'E', 'C', '\r', '\n'};
// Raised only for changes that an older reader cannot skip over; new chunk
// types do not need a new version (readers skip types they do not know).
// Version 2 added the depth, LZ4 and Zstandard frame encodings; a reader
// plays every version from 1 up to this one.
constexpr uint32_t kFormatVersion = 2;
// magic, version (u32), flags (u32, none defined yet), CRC-32 of the 16
// bytes before it. The magic and version keep their place in every version,
// so a reader can always tell "newer" from "not a recording".
constexpr uint32_t kFileHeaderSize = 20;

// ---- chunks ----
constexpr uint32_t kChunkHeaderSize = 16;

constexpr uint32_t FourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}

// Chunk types; the bytes read as text in a hex dump.
enum ChunkType : uint32_t {
  kChunkDeviceProperties = FourCC('D', 'E', 'V', 'P'),  // properties of the device at creation
  kChunkStreamDefined = FourCC('S', 'T', 'R', 'D'),     // a stream joins: name, type, properties, compression
  kChunkStreamRemoved = FourCC('S', 'T', 'R', 'R'),     // a stream leaves
  kChunkPropertyChange = FourCC('P', 'C', 'H', 'G'),    // one property changed at this place
  kChunkFrame = FourCC('F', 'R', 'A', 'M'),             // one frame of one stream
  kChunkIndex = FourCC('I', 'N', 'D', 'X'),             // every chunk's place, written at close
  kChunkTrailer = FourCC('T', 'R', 'L', 'R'),           // last chunk: where the index is
};

// Upper bounds on payload lengths. A reader refuses larger lengths before it
// allocates anything; the writer refuses to produce them. Every length is
// also checked against the bytes the file really has.
constexpr uint32_t kMaxFrameDataSize = 256u << 20;             // one frame, uncompressed
constexpr uint32_t kMaxMetadataPayload = 16u << 20;            // DEVP, STRD, STRR, PCHG
constexpr uint32_t kMaxIndexPayload = 1u << 30;                // INDX
constexpr uint32_t kMaxNameLength = KR_MAX_NAME_LENGTH - 1;    // names and text values
// Deflate never expands data by more than this factor, so a compressed
// frame that claims more is damaged (and cannot make us allocate much).
constexpr uint64_t kMaxInflateRatio = 1032;
// The same for the codecs of version 2: Zstandard stores a run of 128 KiB in
// 4 bytes, LZ4 shrinks by at most 255, so 65536 leaves room for every frame
// they make while bounding what a tiny damaged frame can claim.
constexpr uint64_t kMaxCodecRatio = 65536;

// Frame payload: stream id (u32), frame id (u32), timestamp (u64, µs), data
// size before compression (u32), encoding (u32), then the stored bytes.
constexpr uint32_t kFrameHeaderSize = 24;
// Compressed frames that would not shrink are stored raw, so stored bytes
// never exceed the frame's size.
constexpr uint32_t kMaxFramePayload = kFrameHeaderSize + kMaxFrameDataSize;

// Index payload: entry count (u64), then one 32-byte entry per chunk in file
// order: offset (u64), timestamp (u64), type (u32), stream id (u32), frame
// id (u32), payload length (u32).
constexpr uint32_t kIndexEntrySize = 32;
// Trailer payload: index chunk offset (u64), index entry count (u64).
constexpr uint32_t kTrailerPayloadSize = 16;
constexpr uint32_t kTrailerChunkSize = kChunkHeaderSize + kTrailerPayloadSize;

// How a stream's frames are stored (chosen per stream, in its definition);
// the numbers are FrameCodec.h's codecs. Frames that do not shrink stay raw.
enum class Compression : uint32_t {
  kNone = 0,
  kZlib = 1,   // deflate (version 1)
  kDepth = 2,  // the depth codec, for 16-bit depth (version 2)
  kLz4 = 3,    // LZ4 (version 2)
  kZstd = 4,   // Zstandard level 1 (version 2)
};

// How one frame's bytes are stored (chosen per frame): raw, or the codec of
// its stream.
enum class FrameEncoding : uint32_t {
  kRaw = 0,
  kZlib = 1,
  kDepth = 2,
  kLz4 = 3,
  kZstd = 4,
};
constexpr uint32_t kLastEncoding = uint32_t(FrameEncoding::kZstd);

// ---- values carried by a recording ----

// Property values are the kit's own typed values (Tollan/src/Value.h); the
// name is visible here too for code that works in this namespace.
using tollan::Value;

// One property of one module ("Device", a stream's name, ...).
struct Property {
  std::string module;
  std::string name;
  Value value;

  bool operator==(const Property& other) const {
    return module == other.module && name == other.name && value == other.value;
  }
};

// A stream as it was created: its id in this file (0, 1, ... in order of
// creation), name, type ("Depth", "Image", "IR", "Audio" or other) and the
// properties it was created with.
struct StreamDefinition {
  uint32_t id = 0;
  std::string name;
  std::string type;
  Compression compression = Compression::kNone;
  std::vector<Property> properties;
};

// A property change and where it happened: after framesBefore frames (all
// streams together) had been written; timestamp is that of the last of
// them (0 before the first frame).
struct PropertyChange {
  uint64_t framesBefore = 0;
  uint64_t timestamp = 0;
  Property property;
};

// What a frame chunk says about its frame.
struct FrameInfo {
  uint32_t streamId = 0;
  uint32_t frameId = 0;
  uint64_t timestamp = 0;  // microseconds
  uint32_t size = 0;       // bytes of the frame as written (before compression)
};

// ---- encoding ----

// The fixed header of a chunk.
struct ChunkHeader {
  uint32_t type = 0;
  uint32_t length = 0;      // payload bytes
  uint32_t payloadCrc = 0;  // CRC-32 of the payload
};

// Appends numbers and texts to a byte buffer, little-endian.
class ByteWriter {
 public:
  explicit ByteWriter(std::vector<uint8_t>* out) : out_(out) {}
  void U16(uint16_t value);
  void U32(uint32_t value);
  void U64(uint64_t value);
  void Bytes(const void* data, size_t size);
  void Text(const std::string& text);  // u16 length, then the characters

 private:
  std::vector<uint8_t>* out_;
};

// Reads numbers and texts from a byte range. Every read checks what is
// left; after a failed read the reader stays failed (ok() is false).
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool U16(uint16_t* value);
  bool U32(uint32_t* value);
  bool U64(uint64_t* value);
  // A text of at most kMaxNameLength characters without zero bytes.
  bool Text(std::string* text);
  bool Bytes(std::vector<uint8_t>* bytes, size_t size);
  size_t Remaining() const { return ok_ ? size_ - position_ : 0; }
  bool ok() const { return ok_; }

 private:
  bool Take(size_t size, const uint8_t** bytes);
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
  bool ok_ = true;
};

// zlib's crc32, computed by the fastest kernel of Crc32.h.
uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);

// File header of this version.
void EncodeFileHeader(uint8_t (&out)[kFileHeaderSize]);
// Checks a file header (size bytes of it are available): magic, version
// and CRC, in that order. Statuses: KR_STATUS_TL_NOT_A_RECORDING,
// KR_STATUS_TL_FILE_VERSION_UNSUPPORTED, KR_STATUS_TL_FILE_CORRUPT.
KrStatus CheckFileHeader(const uint8_t* data, size_t size);

void EncodeChunkHeader(const ChunkHeader& header, uint8_t (&out)[kChunkHeaderSize]);
// False when the header's own CRC does not match.
bool DecodeChunkHeader(const uint8_t (&in)[kChunkHeaderSize], ChunkHeader* header);
// The largest payload a chunk of this type may have (unknown types: as a
// frame's).
uint32_t MaxPayloadLength(uint32_t type);

// Payload encoders append to out; decoders return KR_STATUS_TL_FILE_CORRUPT
// when the payload is not exactly one well-formed value.
void EncodeProperties(const std::vector<Property>& properties, std::vector<uint8_t>* out);
KrStatus DecodeProperties(const uint8_t* data, size_t size, std::vector<Property>* properties);
void EncodeStreamDefinition(const StreamDefinition& stream, std::vector<uint8_t>* out);
KrStatus DecodeStreamDefinition(const uint8_t* data, size_t size, StreamDefinition* stream);
void EncodeStreamRemoved(uint32_t streamId, std::vector<uint8_t>* out);
KrStatus DecodeStreamRemoved(const uint8_t* data, size_t size, uint32_t* streamId);
void EncodePropertyChange(const PropertyChange& change, std::vector<uint8_t>* out);
KrStatus DecodePropertyChange(const uint8_t* data, size_t size, PropertyChange* change);

// Frame header inside a frame payload.
void EncodeFrameHeader(const FrameInfo& frame, FrameEncoding encoding, uint8_t (&out)[kFrameHeaderSize]);
// Checks the encoding and that the stored length (payload minus header)
// fits the size it claims: equal when raw, within deflate's ratio when
// deflated, smaller (and not empty) for the codecs of version 2.
KrStatus DecodeFrameHeader(const uint8_t (&in)[kFrameHeaderSize], uint32_t payloadLength, FrameInfo* frame,
                           FrameEncoding* encoding);

// Checks a property before it is written: names and texts fit the kit's
// text buffers, a type the kit knows.
KrStatus CheckProperty(const Property& property);

}  // namespace recording
}  // namespace tollan
