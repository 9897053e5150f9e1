#include "DepthCodec.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>

namespace tollan {
namespace recording {
namespace {

constexpr uint8_t kVersion = 1;
constexpr uint8_t kRanked = 1;
constexpr size_t kHeaderSize = 12;
constexpr int kZstdLevel = 1;

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t GetU32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// The median edge detector: the smaller neighbour above an edge, the larger
// below one, the plane through the three neighbours elsewhere.
inline int Predict(int a, int b, int c) {
  const int hi = std::max(a, b), lo = std::min(a, b);
  return c >= hi ? lo : c <= lo ? hi : a + b - c;
}

// Walks the frame row by row and calls step(i, prediction) for every pixel,
// where the prediction uses only pixels before i.
template <typename Step>
inline void ForEachPrediction(const uint16_t* v, uint32_t count, uint32_t width, Step step) {
  for (uint32_t row = 0; row * uint64_t(width) < count; ++row) {
    const uint32_t start = row * width;
    const uint32_t end = std::min<uint64_t>(count, uint64_t(start) + width);
    if (row == 0) {
      step(start, 0);
      for (uint32_t i = start + 1; i < end; ++i) step(i, v[i - 1]);
      continue;
    }
    step(start, v[start - width]);
    for (uint32_t i = start + 1; i < end; ++i) step(i, Predict(v[i - 1], v[i - width], v[i - width - 1]));
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

DepthEncoder::DepthEncoder() : context_(ZSTD_createCCtx()), rank_(65536) {}
DepthEncoder::~DepthEncoder() { ZSTD_freeCCtx(context_); }

bool DepthEncoder::Encode(const uint16_t* pixels, uint32_t count, uint32_t width, std::vector<uint8_t>* out) {
  if (context_ == nullptr) return false;
  width = std::clamp<uint32_t>(width == 0 ? count : width, 1, 65535);

  // The alphabet: mark the values in use, then number them in order.
  std::fill(rank_.begin(), rank_.end(), 0);
  for (uint32_t i = 0; i < count; ++i) rank_[pixels[i]] = 1;
  uint32_t alphabet = 0;
  for (uint32_t value = 0; value < 65536; ++value) alphabet += rank_[value];
  // Ranks pay off while the alphabet costs less than the pixels it helps.
  const bool ranked = alphabet > 0 && alphabet * 4ull <= count;
  const uint32_t stored = ranked ? alphabet : 0;

  planes_.resize(2ull * stored + 2ull * count);
  uint8_t* gaps = planes_.data();
  uint8_t* low = gaps + 2ull * stored;
  uint8_t* high = low + count;
  const uint16_t* v = pixels;
  if (ranked) {
    uint32_t next = 0;
    int previous = -1;
    for (uint32_t value = 0; value < 65536; ++value) {
      if (rank_[value] == 0) continue;
      PutU16(gaps + 2 * next, uint16_t(int(value) - previous - 1));
      previous = int(value);
      rank_[value] = uint16_t(next++);
    }
    values_.resize(count);
    for (uint32_t i = 0; i < count; ++i) values_[i] = rank_[pixels[i]];
    v = values_.data();
  }
  ForEachPrediction(v, count, width, [&](uint32_t i, int prediction) {
    const uint16_t z = ZigZag(int(v[i]) - prediction);
    low[i] = uint8_t(z);
    high[i] = uint8_t(z >> 8);
  });

  out->resize(kHeaderSize + ZSTD_compressBound(planes_.size()));
  uint8_t* head = out->data();
  head[0] = kVersion;
  head[1] = ranked ? kRanked : 0;
  PutU16(head + 2, uint16_t(width));
  PutU32(head + 4, count);
  PutU32(head + 8, stored);
  const size_t packed = ZSTD_compressCCtx(context_, head + kHeaderSize, out->size() - kHeaderSize, planes_.data(),
                                          planes_.size(), kZstdLevel);
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
  const bool ranked = (flags & kRanked) != 0;
  if (data[0] != kVersion || (flags & ~kRanked) != 0 || width == 0 || (ranked ? alphabet == 0 || alphabet > 65536
                                                                              : alphabet != 0)) {
    return DecodeStatus::kBadHeader;
  }
  if (pixels != count || (count > 0 && out == nullptr)) return DecodeStatus::kSizeMismatch;

  // The planes' size follows from the header alone, and is bounded by the
  // caller's frame, so a forged header cannot make us allocate much.
  const size_t expected = 2ull * alphabet + 2ull * count;
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
  const uint8_t* low = gaps + 2ull * alphabet;
  const uint8_t* high = low + count;
  if (ranked) {
    alphabet_.resize(alphabet);
    uint32_t value = 0;
    for (uint32_t k = 0; k < alphabet; ++k) {
      value += GetU16(gaps + 2ull * k) + (k > 0 ? 1u : 0u);
      if (value > 65535) return DecodeStatus::kValueOutOfRange;
      alphabet_[k] = uint16_t(value);
    }
  }
  ForEachPrediction(out, count, width, [&](uint32_t i, int prediction) {
    out[i] = uint16_t(prediction + UnZigZag(uint16_t(low[i] | high[i] << 8)));
  });
  if (ranked) {
    // Ranks first, values after: predictions above need the ranks.
    for (uint32_t i = 0; i < count; ++i) {
      if (out[i] >= alphabet) return DecodeStatus::kValueOutOfRange;
    }
    for (uint32_t i = 0; i < count; ++i) out[i] = alphabet_[out[i]];
  }
  return DecodeStatus::kOk;
}

}  // namespace recording
}  // namespace tollan
