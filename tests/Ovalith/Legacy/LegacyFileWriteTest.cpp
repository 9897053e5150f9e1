// Frame-by-frame writing of the older interface into a new recording made
// without a source device: the file's streams take their frame size from
// the requested geometry, and the frames play back unchanged.
#include "Ovalith/Infrastructure/DeviceTestSupport.h"

#include <cstring>

namespace {

using namespace device_test;

class LegacyFileWriteTest : public DeviceTest {};

TEST_F(LegacyFileWriteTest, FramesOfARequestedSizePlayBackUnchanged) {
  // Sizes other than the defaults (640 x 480 for depth and image), so that
  // the streams must follow the request.
  const struct {
    const char* stream;
    uint64_t xRes, yRes;
  } cases[] = {{"Depth", 320, 240}, {"Image", 1280, 1024}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stream);
    const std::string path = directory_ + "/" + c.stream + ".rec";
    constexpr int kFrames = 3;
    std::vector<std::vector<uint8_t>> written;
    {
      KrVInitStreamProperties props;
      ASSERT_EQ(props.AddStream(c.stream), KR_STATUS_OK);
      ASSERT_EQ(props.AddProperty(c.stream, "XRes", c.xRes), KR_STATUS_OK);
      ASSERT_EQ(props.AddProperty(c.stream, "YRes", c.yRes), KR_STATUS_OK);
      KrVDevice file;
      ASSERT_EQ(file.OpenFile(path.c_str(), KR_DEVICE_MODE_WRITE, nullptr, &props), KR_STATUS_OK);
      // The geometry the stream shows follows the request (RGB 24-bit for
      // the image, 16-bit depth).
      const uint64_t bytesPerPixel = std::string(c.stream) == "Depth" ? 2 : 3;
      EXPECT_EQ(IntOf(file, c.stream, "RequiredDataSize"), c.xRes * c.yRes * bytesPerPixel);
      EXPECT_EQ(IntOf(file, c.stream, "BytesPerPixel"), bytesPerPixel);
      for (int i = 0; i < kFrames; ++i) {
        std::vector<uint8_t> frame(c.xRes * c.yRes * bytesPerPixel);
        for (size_t b = 0; b < frame.size(); ++b) {
          frame[b] = static_cast<uint8_t>(b * 31 + i * 7);
        }
        const uint64_t timestamp = 1000u * (i + 1);
        if (std::string(c.stream) == "Depth") {
          KrVDepthMap& map = *file.GetDepthMap();
          ASSERT_EQ(map.GetXRes() * map.GetYRes(), c.xRes * c.yRes);
          std::memcpy(map.Data(), frame.data(), frame.size());
          ASSERT_EQ(file.Write(map, timestamp), KR_STATUS_OK);
        } else {
          ASSERT_EQ(file.Write(c.stream, reinterpret_cast<const char*>(frame.data()),
                               static_cast<uint32_t>(frame.size()), timestamp),
                    KR_STATUS_OK);
        }
        ASSERT_EQ(file.CommitWrite(), KR_STATUS_OK);
        written.push_back(frame);
      }
      ASSERT_EQ(file.Close(), KR_STATUS_OK);
    }
    KrVDevice playback;
    ASSERT_EQ(playback.OpenFile(path.c_str(), KR_DEVICE_MODE_READ, nullptr, nullptr), KR_STATUS_OK);
    EXPECT_EQ(IntOf(playback, c.stream, "NumberOfFrames"), uint64_t{kFrames});
    for (int i = 0; i < kFrames; ++i) {
      SCOPED_TRACE(i);
      ASSERT_EQ(playback.Read(c.stream), KR_STATUS_OK);
      KrVStream stream;
      ASSERT_EQ(playback.GetStream(c.stream, stream), KR_STATUS_OK);
      uint64_t timestamp = 0;
      uint32_t size = 0;
      void* data = nullptr;
      ASSERT_EQ(stream.GetProperty("Timestamp", timestamp), KR_STATUS_OK);
      ASSERT_EQ(stream.GetBufferSize(size), KR_STATUS_OK);
      ASSERT_EQ(stream.GetBuffer(data), KR_STATUS_OK);
      EXPECT_EQ(timestamp, 1000u * (i + 1));
      ASSERT_EQ(size, written[i].size());
      EXPECT_EQ(std::memcmp(data, written[i].data(), size), 0);
    }
  }
}

}  // namespace
