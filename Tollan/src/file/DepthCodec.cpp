#include "DepthCodec.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_c_literalCompressionMode
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>

namespace tollan {
namespace recording {
namespace {

constexpr uint8_t kVersion = 1;
constexpr uint8_t kRanked = 1;
constexpr size_t kHeaderSize = 16;
constexpr uint8_t kEscape = 255;  // a residual of 255 or more: its u16 is in the escapes
constexpr int kZstdLevel = -100;  // see Encode

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t GetU32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// Each pixel is predicted by the one above it (the first row: by the one on
// its left). Rows then depend only on the row before, so both directions run
// as straight loops the compiler vectorises; the entropy stage recovers most
// of what a neighbourhood predictor would gain.
template <typename Step>
inline void ForEachRow(uint32_t count, uint32_t width, Step step) {
  for (uint64_t start = 0; start < count; start += width) {
    step(uint32_t(start), uint32_t(std::min<uint64_t>(count, start + width)));
  }
}

inline uint16_t ZigZag(int residual) {
  const int16_t s = int16_t(uint16_t(residual));
  return uint16_t((uint16_t(s) << 1) ^ uint16_t(s >> 15));
}
inline uint16_t UnZigZag(uint16_t z) { return uint16_t((z >> 1) ^ uint16_t(-(z & 1))); }

}  // namespace

const char* DescribeDecodeStatus(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kOk:
      return "ok";
    case DecodeStatus::kTruncated:
      return "truncated input";
    case DecodeStatus::kBadHeader:
      return "malformed header";
    case DecodeStatus::kSizeMismatch:
      return "decodes to another size than the frame";
    case DecodeStatus::kEntropyError:
      return "damaged compressed data";
    case DecodeStatus::kValueOutOfRange:
      return "value outside the frame's alphabet";
  }
  return "unknown";
}

// ---- encoder ----

DepthEncoder::DepthEncoder() : context_(ZSTD_createCCtx()), used_(65536), rank_(65536) {}
DepthEncoder::~DepthEncoder() { ZSTD_freeCCtx(context_); }

bool DepthEncoder::Encode(const uint16_t* pixels, uint32_t count, uint32_t width, std::vector<uint8_t>* out) {
  if (context_ == nullptr) return false;
  width = std::clamp<uint32_t>(width == 0 ? count : width, 1, 65535);

  // The alphabet: mark the values in use, then number them in order.
  // Through a local pointer: a byte store through used_ itself could alias
  // its data pointer, which the compiler would then reload on every pixel.
  uint8_t* used = used_.data();
  std::fill(used, used + 65536, uint8_t(0));
  uint32_t i = 0;
  for (; i + 4 <= count; i += 4) {  // four at a time: fewer loop steps around the scattered stores
    used[pixels[i]] = 1;
    used[pixels[i + 1]] = 1;
    used[pixels[i + 2]] = 1;
    used[pixels[i + 3]] = 1;
  }
  for (; i < count; ++i) used[pixels[i]] = 1;
  uint32_t alphabet = 0;
  for (uint32_t value = 0; value < 65536; ++value) alphabet += used[value];
  // Ranks pay off while the alphabet costs less than the pixels it helps.
  const bool ranked = alphabet > 0 && alphabet * 4ull <= count;
  const uint32_t stored = ranked ? alphabet : 0;

  planes_.resize(2ull * stored + count);
  uint8_t* gaps = planes_.data();
  uint8_t* small = gaps + 2ull * stored;
  escapes_.clear();
  uint16_t* rank = rank_.data();
  if (ranked) {
    uint32_t next = 0;
    int previous = -1;
    for (uint32_t value = 0; value < 65536; ++value) {
      if (used[value] == 0) continue;
      PutU16(gaps + 2 * next, uint16_t(int(value) - previous - 1));
      previous = int(value);
      rank[value] = uint16_t(next++);
    }
  } else {
    for (uint32_t value = 0; value < 65536; ++value) rank[value] = uint16_t(value);
  }
  // Row by row: the row's ranks (a table look-up), then residuals against
  // the prediction as bytes, clamped at the escape marker, in a loop without
  // branches that the compiler vectorises; escapes are rare, so only a row
  // that holds one is walked again to collect them in pixel order.
  const uint32_t rowLength = std::min(width, count);
  above_.assign(rowLength, 0);
  current_.resize(rowLength);
  ForEachRow(count, width, [&](uint32_t start, uint32_t end) {
    const uint32_t length = end - start;
    uint16_t* row = current_.data();
    uint16_t* above = above_.data();
    for (uint32_t k = 0; k < length; ++k) row[k] = rank[pixels[start + k]];
    if (start == 0) {  // the first row is predicted from the left
      for (uint32_t k = length; k-- > 1;) above[k] = row[k - 1];
      above[0] = 0;
    }
    uint8_t* bytes = small + start;
    uint32_t escaped = 0;
    for (uint32_t k = 0; k < length; ++k) {
      const uint16_t z = ZigZag(int(row[k]) - int(above[k]));
      bytes[k] = uint8_t(z < kEscape ? z : kEscape);
      escaped |= uint32_t(z >= kEscape);
    }
    for (uint32_t k = 0; escaped != 0 && k < length; ++k) {
      const void* marker = std::memchr(bytes + k, kEscape, length - k);
      if (marker == nullptr) break;
      k = uint32_t(static_cast<const uint8_t*>(marker) - bytes);
      escapes_.push_back(ZigZag(int(row[k]) - int(above[k])));
    }
    above_.swap(current_);
  });
  const size_t bytes = planes_.size();
  planes_.resize(bytes + 2 * escapes_.size());
  for (size_t k = 0; k < escapes_.size(); ++k) PutU16(&planes_[bytes + 2 * k], escapes_[k]);

  out->resize(kHeaderSize + ZSTD_compressBound(planes_.size()));
  uint8_t* head = out->data();
  head[0] = kVersion;
  head[1] = ranked ? kRanked : 0;
  PutU16(head + 2, uint16_t(width));
  PutU32(head + 4, count);
  PutU32(head + 8, stored);
  PutU32(head + 12, uint32_t(escapes_.size()));
  // The residual bytes are mostly 0 to 4 with few long repeats: their
  // Huffman coding does nearly all the work, and a match search at every
  // position costs more than it saves. So: Zstandard's fastest match search
  // (a strongly negative level skips ahead where nothing matches, yet still
  // takes the long runs of no-sample pixels), with the literals always
  // Huffman-coded (negative levels would store them as they are). A library
  // that refuses the literal setting still writes a valid, larger frame.
  ZSTD_CCtx_reset(context_, ZSTD_reset_session_and_parameters);
  ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, kZstdLevel);
  ZSTD_CCtx_setParameter(context_, ZSTD_c_windowLog, 17);
  ZSTD_CCtx_setParameter(context_, ZSTD_c_hashLog, 10);
  ZSTD_CCtx_setParameter(context_, ZSTD_c_minMatch, 7);
  ZSTD_CCtx_setParameter(context_, ZSTD_c_literalCompressionMode, ZSTD_ps_enable);
  const size_t packed =
      ZSTD_compress2(context_, head + kHeaderSize, out->size() - kHeaderSize, planes_.data(), planes_.size());
  if (ZSTD_isError(packed)) return false;
  out->resize(kHeaderSize + packed);
  return true;
}

// ---- decoder ----

DepthDecoder::DepthDecoder() : context_(ZSTD_createDCtx()) {}
DepthDecoder::~DepthDecoder() { ZSTD_freeDCtx(context_); }

DecodeStatus DepthDecoder::Decode(const uint8_t* data, size_t size, uint16_t* out, uint32_t count) {
  if (data == nullptr || size < kHeaderSize) return DecodeStatus::kTruncated;
  if (context_ == nullptr) return DecodeStatus::kEntropyError;
  const uint8_t flags = data[1];
  const uint32_t width = GetU16(data + 2);
  const uint32_t pixels = GetU32(data + 4);
  const uint32_t alphabet = GetU32(data + 8);
  const uint32_t escapes = GetU32(data + 12);
  const bool ranked = (flags & kRanked) != 0;
  if (data[0] != kVersion || (flags & ~kRanked) != 0 || width == 0 || escapes > pixels ||
      (ranked ? alphabet == 0 || alphabet > 65536 : alphabet != 0)) {
    return DecodeStatus::kBadHeader;
  }
  if (pixels != count || (count > 0 && out == nullptr)) return DecodeStatus::kSizeMismatch;
  // Cheap checks before anything is sized: the encoder ranks only while the
  // alphabet is at most a quarter of the pixels, and ranks below 128 give
  // residuals below the escape marker, so such a frame has no escapes.
  // That keeps the planes at most 1.75 times the frame's own size.
  if (ranked && (alphabet * 4ull > count || (alphabet <= 128 && escapes != 0))) return DecodeStatus::kBadHeader;

  // The planes' size follows from the header alone, and is bounded by the
  // caller's frame, so a forged header cannot make us allocate much.
  const size_t expected = 2ull * alphabet + count + 2ull * escapes;
  const unsigned long long claimed = ZSTD_getFrameContentSize(data + kHeaderSize, size - kHeaderSize);
  if (claimed == ZSTD_CONTENTSIZE_ERROR) return DecodeStatus::kEntropyError;
  if (claimed != ZSTD_CONTENTSIZE_UNKNOWN && claimed != expected) return DecodeStatus::kSizeMismatch;
  planes_.resize(expected);
  const size_t unpacked =
      ZSTD_decompressDCtx(context_, planes_.data(), planes_.size(), data + kHeaderSize, size - kHeaderSize);
  if (ZSTD_isError(unpacked)) {
    return ZSTD_getErrorCode(unpacked) == ZSTD_error_dstSize_tooSmall ? DecodeStatus::kSizeMismatch
                                                                       : DecodeStatus::kEntropyError;
  }
  if (unpacked != expected) return DecodeStatus::kSizeMismatch;

  const uint8_t* gaps = planes_.data();
  const uint8_t* small = gaps + 2ull * alphabet;
  const uint8_t* escaped = small + count;
  if (ranked) {
    alphabet_.resize(alphabet);
    uint32_t value = 0;
    for (uint32_t k = 0; k < alphabet; ++k) {
      value += GetU16(gaps + 2ull * k) + (k > 0 ? 1u : 0u);
      if (value > 65535) return DecodeStatus::kValueOutOfRange;
      alphabet_[k] = uint16_t(value);
    }
  }
  uint32_t used = 0;  // escapes taken so far
  auto residual = [&](uint32_t i) -> uint16_t {
    if (small[i] != kEscape) return UnZigZag(small[i]);
    if (used == escapes) return 0;  // one escape too many: refused below
    return UnZigZag(GetU16(escaped + 2ull * used++));
  };
  ForEachRow(count, width, [&](uint32_t start, uint32_t end) {
    if (start == 0) {
      for (uint32_t i = 0; i < end; ++i) out[i] = uint16_t((i > 0 ? out[i - 1] : 0) + residual(i));
    } else {
      for (uint32_t i = start; i < end; ++i) out[i] = uint16_t(out[i - width] + residual(i));
    }
  });
  // Every escape marker takes one escape value, and every value is taken.
  const uint32_t markers = uint32_t(std::count(small, small + count, kEscape));
  if (markers != escapes || used != escapes) return DecodeStatus::kBadHeader;
  if (!ranked) return DecodeStatus::kOk;
  // Ranks to values, a row behind the ranks' last use as predictions; a rank
  // past the alphabet is refused (the frame is then left partly mapped).
  const uint16_t* values = alphabet_.data();
  bool outside = false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint16_t rank = out[i];
    outside |= rank >= alphabet;
    out[i] = values[rank < alphabet ? rank : 0];
  }
  return outside ? DecodeStatus::kValueOutOfRange : DecodeStatus::kOk;
}

}  // namespace recording
}  // namespace tollan
