#include <Tollan/src/file/RecordingFormat.h>

#include <zlib.h>

#include <Tollan/src/file/FrameCodec.h>

#include <cstring>

namespace tollan {
namespace recording {

namespace {

// Least encoded size of one property (two empty names, type, empty text),
// used to refuse a count that the payload cannot hold.
constexpr size_t kMinPropertySize = 2 + 2 + 4 + 2;

void PutU32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out[i] = uint8_t(value >> (8 * i));
  }
}

void PutU64(uint8_t* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    out[i] = uint8_t(value >> (8 * i));
  }
}

uint32_t GetU32(const uint8_t* in) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | in[i];
  }
  return value;
}

uint64_t GetU64(const uint8_t* in) { return uint64_t(GetU32(in)) | uint64_t(GetU32(in + 4)) << 32; }

bool ValidText(const std::string& text) {
  return text.size() <= kMaxNameLength && text.find('\0') == std::string::npos;
}

void EncodeProperty(const Property& property, ByteWriter* out) {
  out->Text(property.module);
  out->Text(property.name);
  out->U32(property.value.type);
  switch (property.value.type) {
    case KR_PROPERTY_TYPE_INTEGER:
      out->U64(property.value.intValue);
      break;
    case KR_PROPERTY_TYPE_REAL: {
      uint64_t bits = 0;
      std::memcpy(&bits, &property.value.realValue, sizeof(bits));
      out->U64(bits);
      break;
    }
    case KR_PROPERTY_TYPE_STRING:
      out->Text(property.value.stringValue);
      break;
    case KR_PROPERTY_TYPE_GENERAL:
      out->U32(uint32_t(property.value.generalValue.size()));
      out->Bytes(property.value.generalValue.data(), property.value.generalValue.size());
      break;
  }
}

bool DecodeProperty(ByteReader* in, Property* property) {
  uint32_t type = 0;
  if (!in->Text(&property->module) || !in->Text(&property->name) || !in->U32(&type) ||
      property->module.empty() || property->name.empty()) {
    return false;
  }
  property->value = Value();
  property->value.type = KrPropertyType(type);
  switch (type) {
    case KR_PROPERTY_TYPE_INTEGER:
      return in->U64(&property->value.intValue);
    case KR_PROPERTY_TYPE_REAL: {
      uint64_t bits = 0;
      if (!in->U64(&bits)) {
        return false;
      }
      std::memcpy(&property->value.realValue, &bits, sizeof(bits));
      return true;
    }
    case KR_PROPERTY_TYPE_STRING:
      return in->Text(&property->value.stringValue);
    case KR_PROPERTY_TYPE_GENERAL: {
      uint32_t size = 0;
      return in->U32(&size) && in->Bytes(&property->value.generalValue, size);
    }
    default:
      return false;
  }
}

bool DecodePropertyList(ByteReader* in, std::vector<Property>* properties) {
  uint32_t count = 0;
  if (!in->U32(&count) || count > in->Remaining() / kMinPropertySize) {
    return false;
  }
  properties->clear();
  properties->resize(count);
  for (Property& property : *properties) {
    if (!DecodeProperty(in, &property)) {
      return false;
    }
  }
  return true;
}

// A payload decoder succeeded only if it used every byte.
KrStatus Finished(const ByteReader& in, bool decoded) {
  return decoded && in.ok() && in.Remaining() == 0 ? KR_STATUS_OK : KR_STATUS_TL_FILE_CORRUPT;
}

}  // namespace

// ---- ByteWriter / ByteReader ----

void ByteWriter::U16(uint16_t value) {
  out_->push_back(uint8_t(value));
  out_->push_back(uint8_t(value >> 8));
}

void ByteWriter::U32(uint32_t value) {
  uint8_t bytes[4];
  PutU32(bytes, value);
  Bytes(bytes, sizeof(bytes));
}

void ByteWriter::U64(uint64_t value) {
  uint8_t bytes[8];
  PutU64(bytes, value);
  Bytes(bytes, sizeof(bytes));
}

void ByteWriter::Bytes(const void* data, size_t size) {
  if (size > 0) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    out_->insert(out_->end(), bytes, bytes + size);
  }
}

void ByteWriter::Text(const std::string& text) {
  U16(uint16_t(text.size()));
  Bytes(text.data(), text.size());
}

bool ByteReader::Take(size_t size, const uint8_t** bytes) {
  if (!ok_ || size > size_ - position_) {
    ok_ = false;
    return false;
  }
  *bytes = data_ + position_;
  position_ += size;
  return true;
}

bool ByteReader::U16(uint16_t* value) {
  const uint8_t* bytes = nullptr;
  if (!Take(2, &bytes)) {
    return false;
  }
  *value = uint16_t(bytes[0] | bytes[1] << 8);
  return true;
}

bool ByteReader::U32(uint32_t* value) {
  const uint8_t* bytes = nullptr;
  if (!Take(4, &bytes)) {
    return false;
  }
  *value = GetU32(bytes);
  return true;
}

bool ByteReader::U64(uint64_t* value) {
  const uint8_t* bytes = nullptr;
  if (!Take(8, &bytes)) {
    return false;
  }
  *value = GetU64(bytes);
  return true;
}

bool ByteReader::Text(std::string* text) {
  uint16_t length = 0;
  const uint8_t* bytes = nullptr;
  if (!U16(&length) || length > kMaxNameLength || !Take(length, &bytes)) {
    ok_ = false;
    return false;
  }
  text->assign(reinterpret_cast<const char*>(bytes), length);
  if (text->find('\0') != std::string::npos) {
    ok_ = false;
    return false;
  }
  return true;
}

bool ByteReader::Bytes(std::vector<uint8_t>* bytes, size_t size) {
  const uint8_t* source = nullptr;
  if (!Take(size, &source)) {
    return false;
  }
  bytes->assign(source, source + size);
  return true;
}

// ---- headers ----

void EncodeFileHeader(uint8_t (&out)[kFileHeaderSize]) {
  std::memcpy(out, kMagic, sizeof(kMagic));
  PutU32(out + 8, kFormatVersion);
  PutU32(out + 12, 0);  // flags
  PutU32(out + 16, Crc32(out, 16));
}

KrStatus CheckFileHeader(const uint8_t* data, size_t size) {
  if (size < sizeof(kMagic) || std::memcmp(data, kMagic, sizeof(kMagic)) != 0) {
    return KR_STATUS_TL_NOT_A_RECORDING;
  }
  if (size < 12) {
    return KR_STATUS_TL_FILE_CORRUPT;
  }
  // The version is looked at before the CRC: a newer version may have laid
  // out the rest of its header differently.
  const uint32_t version = GetU32(data + 8);
  if (version > kFormatVersion) {
    return KR_STATUS_TL_FILE_VERSION_UNSUPPORTED;
  }
  if (size < kFileHeaderSize || version == 0 || GetU32(data + 16) != Crc32(data, 16)) {
    return KR_STATUS_TL_FILE_CORRUPT;
  }
  return KR_STATUS_OK;
}

void EncodeChunkHeader(const ChunkHeader& header, uint8_t (&out)[kChunkHeaderSize]) {
  PutU32(out, header.type);
  PutU32(out + 4, header.length);
  PutU32(out + 8, header.payloadCrc);
  PutU32(out + 12, Crc32(out, 12));
}

bool DecodeChunkHeader(const uint8_t (&in)[kChunkHeaderSize], ChunkHeader* header) {
  if (GetU32(in + 12) != Crc32(in, 12)) {
    return false;
  }
  header->type = GetU32(in);
  header->length = GetU32(in + 4);
  header->payloadCrc = GetU32(in + 8);
  return true;
}

uint32_t MaxPayloadLength(uint32_t type) {
  switch (type) {
    case kChunkFrame:
      return kMaxFramePayload;
    case kChunkIndex:
      return kMaxIndexPayload;
    case kChunkTrailer:
      return kTrailerPayloadSize;
    case kChunkDeviceProperties:
    case kChunkStreamDefined:
    case kChunkStreamRemoved:
    case kChunkPropertyChange:
      return kMaxMetadataPayload;
    default:
      return kMaxFramePayload;  // a later writer's chunk: skipped, never loaded
  }
}

// ---- payloads ----

void EncodeProperties(const std::vector<Property>& properties, std::vector<uint8_t>* out) {
  ByteWriter writer(out);
  writer.U32(uint32_t(properties.size()));
  for (const Property& property : properties) {
    EncodeProperty(property, &writer);
  }
}

KrStatus DecodeProperties(const uint8_t* data, size_t size, std::vector<Property>* properties) {
  ByteReader in(data, size);
  const bool decoded = DecodePropertyList(&in, properties);
  return Finished(in, decoded);
}

void EncodeStreamDefinition(const StreamDefinition& stream, std::vector<uint8_t>* out) {
  ByteWriter writer(out);
  writer.U32(stream.id);
  writer.Text(stream.name);
  writer.Text(stream.type);
  writer.U32(uint32_t(stream.compression));
  EncodeProperties(stream.properties, out);
}

KrStatus DecodeStreamDefinition(const uint8_t* data, size_t size, StreamDefinition* stream) {
  ByteReader in(data, size);
  uint32_t compression = 0;
  bool decoded = in.U32(&stream->id) && in.Text(&stream->name) && in.Text(&stream->type) &&
                 in.U32(&compression) && !stream->name.empty() &&
                 compression <= kLastEncoding && DecodePropertyList(&in, &stream->properties);
  stream->compression = Compression(compression);
  return Finished(in, decoded);
}

void EncodeStreamRemoved(uint32_t streamId, std::vector<uint8_t>* out) { ByteWriter(out).U32(streamId); }

KrStatus DecodeStreamRemoved(const uint8_t* data, size_t size, uint32_t* streamId) {
  ByteReader in(data, size);
  const bool decoded = in.U32(streamId);
  return Finished(in, decoded);
}

void EncodePropertyChange(const PropertyChange& change, std::vector<uint8_t>* out) {
  ByteWriter writer(out);
  writer.U64(change.framesBefore);
  writer.U64(change.timestamp);
  EncodeProperty(change.property, &writer);
}

KrStatus DecodePropertyChange(const uint8_t* data, size_t size, PropertyChange* change) {
  ByteReader in(data, size);
  const bool decoded =
      in.U64(&change->framesBefore) && in.U64(&change->timestamp) && DecodeProperty(&in, &change->property);
  return Finished(in, decoded);
}

// A frame's encoding is the number of the codec that stored it.
static_assert(uint32_t(FrameEncoding::kZlib) == uint32_t(Codec::kZlib) &&
                  uint32_t(FrameEncoding::kDepth) == uint32_t(Codec::kDepth) &&
                  uint32_t(FrameEncoding::kLz4) == uint32_t(Codec::kLz4) &&
                  uint32_t(FrameEncoding::kZstd) == uint32_t(Codec::kZstd) && kLastEncoding == kLastCodec,
              "frame encodings are the codec numbers");

void EncodeFrameHeader(const FrameInfo& frame, FrameEncoding encoding, uint8_t (&out)[kFrameHeaderSize]) {
  PutU32(out, frame.streamId);
  PutU32(out + 4, frame.frameId);
  PutU64(out + 8, frame.timestamp);
  PutU32(out + 16, frame.size);
  PutU32(out + 20, uint32_t(encoding));
}

KrStatus DecodeFrameHeader(const uint8_t (&in)[kFrameHeaderSize], uint32_t payloadLength, FrameInfo* frame,
                           FrameEncoding* encoding) {
  if (payloadLength < kFrameHeaderSize) {
    return KR_STATUS_TL_FILE_CORRUPT;
  }
  const uint64_t stored = payloadLength - kFrameHeaderSize;
  frame->streamId = GetU32(in);
  frame->frameId = GetU32(in + 4);
  frame->timestamp = GetU64(in + 8);
  frame->size = GetU32(in + 16);
  const uint32_t code = GetU32(in + 20);
  if (frame->size > kMaxFrameDataSize) {
    return KR_STATUS_TL_FILE_CORRUPT;
  }
  if (code == uint32_t(FrameEncoding::kRaw) && stored == frame->size) {
    *encoding = FrameEncoding::kRaw;
    return KR_STATUS_OK;
  }
  if (code == uint32_t(FrameEncoding::kZlib) && stored > 0 && frame->size <= stored * kMaxInflateRatio) {
    *encoding = FrameEncoding::kZlib;
    return KR_STATUS_OK;
  }
  if (code > uint32_t(FrameEncoding::kZlib) && code <= kLastEncoding && stored > 0 && stored < frame->size &&
      frame->size <= stored * kMaxCodecRatio) {
    *encoding = FrameEncoding(code);
    return KR_STATUS_OK;
  }
  return KR_STATUS_TL_FILE_CORRUPT;
}

KrStatus CheckProperty(const Property& property) {
  const bool namesOk = !property.module.empty() && !property.name.empty() && ValidText(property.module) &&
                       ValidText(property.name);
  const bool valueOk = property.value.type <= KR_PROPERTY_TYPE_GENERAL &&
                       (property.value.type != KR_PROPERTY_TYPE_STRING || ValidText(property.value.stringValue)) &&
                       property.value.generalValue.size() <= kMaxMetadataPayload;
  return namesOk && valueOk ? KR_STATUS_OK : KR_STATUS_OS_BAD_ARGUMENT;
}

}  // namespace recording
}  // namespace tollan
