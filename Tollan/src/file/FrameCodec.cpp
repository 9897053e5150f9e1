#include "FrameCodec.h"

#include <lz4.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cstring>
#include <limits>
#include <string>

namespace tollan {
namespace recording {
namespace {

const char* const kNames[] = {"raw", "zlib", "depth", "lz4", "zstd"};

bool Aligned(const void* p) { return reinterpret_cast<uintptr_t>(p) % alignof(uint16_t) == 0; }

}  // namespace

const char* CodecName(Codec codec) {
  return uint32_t(codec) <= kLastCodec ? kNames[uint32_t(codec)] : "unknown";
}

bool CodecFromName(const char* name, Codec* codec) {
  for (uint32_t i = 0; name != nullptr && i <= kLastCodec; ++i) {
    if (std::strcmp(name, kNames[i]) == 0) {
      *codec = Codec(i);
      return true;
    }
  }
  return false;
}

Codec CodecChoice::For(const char* streamType) const {
  const std::string type = streamType != nullptr ? streamType : "";
  return type == "Depth" ? depth : type == "Image" ? image : type == "IR" ? ir : type == "Audio" ? audio : Codec::kRaw;
}

bool ParseCodecChoice(const char* text, CodecChoice* choice) {
  if (text == nullptr || choice == nullptr) return false;
  CodecChoice parsed;
  std::string rest = text;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string item = rest.substr(0, comma);
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    if (comma != std::string::npos && rest.empty()) return false;  // a trailing comma
    const size_t equals = item.find('=');
    if (equals == std::string::npos) return false;
    const std::string type = item.substr(0, equals);
    Codec codec;
    if (!CodecFromName(item.substr(equals + 1).c_str(), &codec)) return false;
    Codec* slot = type == "depth" ? &parsed.depth : type == "image" ? &parsed.image : type == "ir" ? &parsed.ir
                                  : type == "audio" ? &parsed.audio : nullptr;
    if (slot == nullptr) return false;
    *slot = codec;
  }
  *choice = parsed;
  return true;
}

FrameCodec::FrameCodec() : zstdEncoder_(ZSTD_createCCtx()), zstdDecoder_(ZSTD_createDCtx()) {}

FrameCodec::~FrameCodec() {
  ZSTD_freeCCtx(zstdEncoder_);
  ZSTD_freeDCtx(zstdDecoder_);
}

bool FrameCodec::Encode(Codec codec, const void* data, uint32_t size, uint32_t width, std::vector<uint8_t>* out) {
  if (data == nullptr || size == 0) return false;
  switch (codec) {
    case Codec::kZlib: {
      uLongf length = compressBound(size);
      out->resize(length);
      if (compress2(out->data(), &length, static_cast<const Bytef*>(data), size, Z_BEST_SPEED) != Z_OK) return false;
      out->resize(length);
      return true;
    }
    case Codec::kDepth: {
      if (size % 2 != 0) return false;
      const uint16_t* pixels = static_cast<const uint16_t*>(data);
      if (!Aligned(data)) {
        pixels_.resize(size / 2);
        std::memcpy(pixels_.data(), data, size);
        pixels = pixels_.data();
      }
      return depthEncoder_.Encode(pixels, size / 2, width, out);
    }
    case Codec::kLz4: {
      if (size > uint32_t(LZ4_MAX_INPUT_SIZE)) return false;
      out->resize(LZ4_compressBound(int(size)));
      const int length = LZ4_compress_default(static_cast<const char*>(data), reinterpret_cast<char*>(out->data()),
                                              int(size), int(out->size()));
      if (length <= 0) return false;
      out->resize(length);
      return true;
    }
    case Codec::kZstd: {
      if (zstdEncoder_ == nullptr) return false;
      out->resize(ZSTD_compressBound(size));
      const size_t length = ZSTD_compressCCtx(zstdEncoder_, out->data(), out->size(), data, size, 1);
      if (ZSTD_isError(length)) return false;
      out->resize(length);
      return true;
    }
    case Codec::kRaw:
      break;
  }
  return false;
}

DecodeStatus FrameCodec::Decode(Codec codec, const uint8_t* data, size_t size, void* out, uint32_t outSize) {
  if (out == nullptr && outSize != 0) return DecodeStatus::kSizeMismatch;
  if (data == nullptr && size != 0) return DecodeStatus::kTruncated;
  switch (codec) {
    case Codec::kRaw:
      if (size != outSize) return DecodeStatus::kSizeMismatch;
      if (size != 0) std::memcpy(out, data, size);
      return DecodeStatus::kOk;
    case Codec::kZlib: {
      uLongf length = outSize;
      const int result = uncompress(static_cast<Bytef*>(out), &length, data, static_cast<uLong>(size));
      if (result == Z_BUF_ERROR && length == outSize) return DecodeStatus::kSizeMismatch;  // more than the frame
      if (result != Z_OK) return result == Z_BUF_ERROR ? DecodeStatus::kTruncated : DecodeStatus::kEntropyError;
      return length == outSize ? DecodeStatus::kOk : DecodeStatus::kSizeMismatch;
    }
    case Codec::kDepth: {
      if (outSize % 2 != 0) return DecodeStatus::kSizeMismatch;
      if (Aligned(out)) return depthDecoder_.Decode(data, size, static_cast<uint16_t*>(out), outSize / 2);
      pixels_.resize(outSize / 2);
      const DecodeStatus status = depthDecoder_.Decode(data, size, pixels_.data(), outSize / 2);
      if (status == DecodeStatus::kOk) std::memcpy(out, pixels_.data(), outSize);
      return status;
    }
    case Codec::kLz4: {
      if (size > size_t(std::numeric_limits<int>::max()) || outSize > uint32_t(std::numeric_limits<int>::max())) {
        return DecodeStatus::kSizeMismatch;
      }
      const int length = LZ4_decompress_safe(reinterpret_cast<const char*>(data), static_cast<char*>(out), int(size),
                                             int(outSize));
      if (length < 0) return DecodeStatus::kEntropyError;
      return uint32_t(length) == outSize ? DecodeStatus::kOk : DecodeStatus::kSizeMismatch;
    }
    case Codec::kZstd: {
      if (zstdDecoder_ == nullptr) return DecodeStatus::kEntropyError;
      const unsigned long long claimed = ZSTD_getFrameContentSize(data, size);
      if (claimed == ZSTD_CONTENTSIZE_ERROR) return DecodeStatus::kEntropyError;
      if (claimed != ZSTD_CONTENTSIZE_UNKNOWN && claimed != outSize) return DecodeStatus::kSizeMismatch;
      const size_t length = ZSTD_decompressDCtx(zstdDecoder_, out, outSize, data, size);
      if (ZSTD_isError(length)) {
        return ZSTD_getErrorCode(length) == ZSTD_error_dstSize_tooSmall ? DecodeStatus::kSizeMismatch
                                                                         : DecodeStatus::kEntropyError;
      }
      return length == outSize ? DecodeStatus::kOk : DecodeStatus::kSizeMismatch;
    }
  }
  return DecodeStatus::kBadHeader;
}

}  // namespace recording
}  // namespace tollan
