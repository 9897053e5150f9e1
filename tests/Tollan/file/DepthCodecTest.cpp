// The frame codecs: bit-exact round trips, and a decoder that refuses malformed input and never writes past the frame.
#include "Tollan/src/file/FrameCodec.h"
#include "Tollan/src/sensor/SceneRenderer.h"
#include <gtest/gtest.h>
#include <zstd.h>

#include <cstring>
#include <random>
#include <vector>

namespace tollan::recording {
namespace {

TEST(DepthCodecTest, EdgeCasesRoundTrip) {
  std::mt19937 random(7);
  struct Case {
    const char* what;
    std::vector<uint16_t> pixels;
    uint32_t width;
  };
  std::vector<uint16_t> wide(17 * 3), ramp(64 * 8), extremes(40), zeros(1000, 0), firstAlone(1000),
      everyValue(4 * 65536);
  for (uint16_t& v : wide) v = uint16_t(random());
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint16_t(500 + i % 64 * 3 + i / 64 * 11);
  for (size_t i = 0; i < extremes.size(); ++i) extremes[i] = i % 3 == 0 ? 0 : i % 3 == 1 ? 65535 : 1;
  for (size_t i = 0; i < everyValue.size(); ++i) everyValue[i] = uint16_t(i * 7);  // each value 4 times
  for (size_t i = 0; i < firstAlone.size(); ++i) firstAlone[i] = i == 0 ? 4321 : uint16_t(1000 + i % 2);
  const Case cases[] = {
      {"empty", {}, 640},
      {"one pixel", {1234}, 640},
      {"part of a row", {5, 6, 7, 8, 9}, 640},
      {"many distinct values (not ranked)", wide, 17},
      {"a ramp, width hint wrong", ramp, 50},
      {"0 and 65535 side by side", extremes, 4},
      {"all no-sample", zeros, 100},
      {"width 0 hint", ramp, 0},
      {"the first pixel's value nowhere else", firstAlone, 100},
      {"every 16-bit value, often enough to be ranked", everyValue, 512},
  };
  DepthEncoder encoder;
  DepthDecoder decoder;
  for (const Case& c : cases) {
    std::vector<uint8_t> encoded;
    ASSERT_TRUE(encoder.Encode(c.pixels.data(), uint32_t(c.pixels.size()), c.width, &encoded)) << c.what;
    std::vector<uint16_t> back(c.pixels.size() + 1, 0xBEEF);
    EXPECT_EQ(decoder.Decode(encoded.data(), encoded.size(), back.data(), uint32_t(c.pixels.size())), DecodeStatus::kOk)
        << c.what;
    EXPECT_EQ(back.back(), 0xBEEF) << c.what;
    back.pop_back();
    EXPECT_EQ(back, c.pixels) << c.what;
  }
}

// Writes the depth codec's layout by hand, from the documented fields.
std::vector<uint8_t> Forge(uint8_t flags, uint16_t width, uint32_t pixels, uint32_t alphabet, uint32_t escapes,
                           const std::vector<uint8_t>& planes) {
  std::vector<uint8_t> out = {1, flags, uint8_t(width), uint8_t(width >> 8)};
  for (uint32_t v : {pixels, alphabet, escapes}) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
  }
  std::vector<uint8_t> packed(ZSTD_compressBound(planes.size()));
  packed.resize(ZSTD_compress(packed.data(), packed.size(), planes.data(), planes.size(), 1));
  out.insert(out.end(), packed.begin(), packed.end());
  return out;
}

// Any cut is refused; a bit flipped anywhere never makes a write past the frame (the sanitizers see reads).
TEST(DepthCodecTest, MalformedInputIsRefusedWithItsReason) {
  std::vector<uint16_t> pixels(40 * 30);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = i % 40 > 30 ? 0 : uint16_t(2000 + (i * 7 % 13) * 26);
  std::vector<uint8_t> encoded;
  ASSERT_TRUE(DepthEncoder().Encode(pixels.data(), uint32_t(pixels.size()), 40, &encoded));
  const uint32_t count = uint32_t(pixels.size());
  auto patched = [&](size_t at, uint8_t value, size_t length = 1) {
    std::vector<uint8_t> bytes = encoded;
    std::fill(bytes.begin() + long(at), bytes.begin() + long(at + length), value);
    return bytes;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    uint32_t count;
    DecodeStatus expected;
  };
  const Case cases[] = {
      {"shorter than the header", std::vector<uint8_t>(encoded.begin(), encoded.begin() + 15), count,
       DecodeStatus::kTruncated},
      {"unknown version", patched(0, 2), count, DecodeStatus::kBadHeader},
      {"unknown flag", patched(1, 0x81), count, DecodeStatus::kBadHeader},
      {"width 0", patched(2, 0, 2), count, DecodeStatus::kBadHeader},
      {"another pixel count", patched(4, uint8_t(count + 1)), count, DecodeStatus::kSizeMismatch},
      {"the caller's frame is larger", encoded, count + 1, DecodeStatus::kSizeMismatch},
      {"ranked with an empty alphabet", Forge(1, 2, 2, 0, 0, {0, 0}), 2, DecodeStatus::kBadHeader},
      {"alphabet over 65536 values", Forge(1, 2, 2, 65537, 0, {0, 0}), 2, DecodeStatus::kBadHeader},
      {"more escapes than pixels", Forge(0, 2, 2, 0, 3, {255, 255, 1, 0, 1, 0, 1, 0}), 2, DecodeStatus::kBadHeader},
      {"ranked over more than a quarter of the pixels", Forge(1, 4, 4, 2, 0, {0, 0, 0, 0, 0, 0, 0, 0}), 4,
       DecodeStatus::kBadHeader},
      {"escapes beside 128 ranks or fewer", Forge(1, 4, 4, 1, 1, {5, 0, 255, 0, 0, 0, 9, 1}), 4,
       DecodeStatus::kBadHeader},
      {"planes of another size", Forge(1, 4, 4, 1, 0, {5, 0, 0, 0, 0, 0, 0, 0}), 4, DecodeStatus::kSizeMismatch},
      {"an escape without its value", Forge(1, 4, 4, 1, 0, {5, 0, 0, 0, 0, 255}), 4, DecodeStatus::kBadHeader},
      {"an escape value left over", Forge(0, 4, 4, 0, 1, {0, 0, 0, 0, 9, 0}), 4, DecodeStatus::kBadHeader},
      {"rank past the alphabet", Forge(1, 4, 4, 1, 0, {100, 0, 0, 2, 0, 0}), 4, DecodeStatus::kValueOutOfRange},
      {"alphabet past 65535", Forge(1, 8, 8, 2, 0, {0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 8,
       DecodeStatus::kValueOutOfRange},
      {"not Zstandard data", patched(16, 0x5A, encoded.size() - 16), count, DecodeStatus::kEntropyError},
  };
  DepthDecoder decoder;
  for (const Case& c : cases) {
    std::vector<uint16_t> out(c.count);
    EXPECT_EQ(decoder.Decode(c.bytes.data(), c.bytes.size(), out.data(), c.count), c.expected) << c.what;
  }
  std::vector<uint16_t> out(count + 8);
  for (size_t cut = 0; cut < encoded.size(); ++cut) {
    EXPECT_NE(decoder.Decode(encoded.data(), cut, out.data(), count), DecodeStatus::kOk) << "cut at " << cut;
  }
  for (size_t bit = 0; bit < encoded.size() * 8; ++bit) {
    std::vector<uint8_t> bytes = encoded;
    bytes[bit / 8] ^= uint8_t(1u << (bit % 8));
    std::fill(out.begin() + count, out.end(), 0xA5A5);
    decoder.Decode(bytes.data(), bytes.size(), out.data(), count);
    for (size_t i = count; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5A5) << "bit " << bit;
  }
}

// Depth frames shrink at least threefold; an image frame goes through every codec, into an unaligned buffer too.
TEST(FrameCodecTest, SimulatedSensorFramesRoundTripBitExactlyAndCodecChoicesParse) {
  for (uint64_t resolution : {0, 1}) {
    sensor::StreamSettings s(sensor::StreamKind::kDepth);
    ASSERT_EQ(s.Set("Resolution", resolution), KR_STATUS_OK);
    sensor::SceneRenderer renderer;
    sensor::RenderParams params = sensor::MakeRenderParams(s, false);
    params.noise.enabled = true;
    const uint32_t pixels = s.XRes() * s.YRes();
    std::vector<uint16_t> frame(pixels), back(pixels);
    std::vector<uint8_t> encoded;
    FrameCodec codec;
    uint64_t packed = 0;
    for (uint32_t id = 1; id <= 1000; ++id) {
      uint32_t size = 0;
      ASSERT_EQ(renderer.Render(params, s.Tables().get(), id, frame.data(), pixels * 2, &size), KR_STATUS_OK);
      ASSERT_TRUE(codec.Encode(Codec::kDepth, frame.data(), size, s.XRes(), &encoded));
      ASSERT_EQ(codec.Decode(Codec::kDepth, encoded.data(), encoded.size(), back.data(), size), DecodeStatus::kOk);
      ASSERT_EQ(back, frame) << s.XRes() << "x" << s.YRes() << " frame " << id;
      packed += encoded.size();
    }
    EXPECT_LT(packed, 1000ull * pixels * 2 / 3);
  }
  sensor::StreamSettings s(sensor::StreamKind::kImage);
  sensor::RenderParams params = sensor::MakeRenderParams(s, false);
  params.noise.enabled = true;
  std::vector<uint8_t> frame(s.RequiredDataSize());
  uint32_t size = 0;
  ASSERT_EQ(sensor::SceneRenderer().Render(params, nullptr, 3, frame.data(), uint32_t(frame.size()), &size),
            KR_STATUS_OK);
  FrameCodec codec;
  for (Codec c : {Codec::kZlib, Codec::kLz4, Codec::kZstd, Codec::kDepth}) {
    std::vector<uint8_t> encoded, back(size + 1);
    ASSERT_TRUE(codec.Encode(c, frame.data(), size, 640, &encoded)) << CodecName(c);
    ASSERT_EQ(codec.Decode(c, encoded.data(), encoded.size(), back.data() + 1, size), DecodeStatus::kOk);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), back.begin() + 1)) << CodecName(c);
    EXPECT_NE(codec.Decode(c, encoded.data(), encoded.size(), back.data(), size - 2), DecodeStatus::kOk);
    EXPECT_NE(codec.Decode(c, encoded.data(), encoded.size() / 2, back.data(), size), DecodeStatus::kOk);
  }
  EXPECT_EQ(codec.Decode(Codec(9), frame.data(), 4, frame.data(), 4), DecodeStatus::kBadHeader);
  CodecChoice choice;
  ASSERT_TRUE(ParseCodecChoice("depth=depth,image=lz4,ir=zstd,audio=zlib", &choice));
  EXPECT_EQ(choice.For("Depth"), Codec::kDepth);
  EXPECT_EQ(choice.For("Image"), Codec::kLz4);
  EXPECT_EQ(choice.For("IR"), Codec::kZstd);
  EXPECT_EQ(choice.For("Audio"), Codec::kZlib);
  EXPECT_EQ(choice.For("Other"), Codec::kRaw);
  ASSERT_TRUE(ParseCodecChoice("image=lz4", &choice));
  EXPECT_EQ(choice.For("Depth"), Codec::kRaw) << "types not named are raw";
  ASSERT_TRUE(ParseCodecChoice("", &choice));
  EXPECT_EQ(choice.For("Image"), Codec::kRaw);
  for (const char* bad : {"depth", "depth=", "depth=jpeg", "video=lz4", "depth=depth,", "Depth=depth"}) {
    EXPECT_FALSE(ParseCodecChoice(bad, &choice)) << bad;
  }
}

}  // namespace
}  // namespace tollan::recording
