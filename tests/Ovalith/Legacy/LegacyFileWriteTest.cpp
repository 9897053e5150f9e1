// Frame-by-frame writing of the older interface into a new recording, with
// and without the source device named at the open: the file's streams take
// their frame size from the requested geometry, and the frames (audio too,
// with the source) play back unchanged.
#include "Ovalith/Infrastructure/DeviceTestSupport.h"

#include <cstring>

namespace {

using namespace device_test;

class LegacyFileWriteTest : public DeviceTest {
 public:
  static std::vector<uint8_t> Bytes(const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + size);
  }
};

TEST_F(LegacyFileWriteTest, FramesOfASensorPlayBackUnchanged) {
  constexpr int kFrames = 3;
  for (const bool withSource : {false, true}) {
    SCOPED_TRACE(withSource ? "with the source named" : "without a source");
    const std::string path = directory_ + (withSource ? "/with.rec" : "/without.rec");
    std::vector<std::vector<uint8_t>> depth, image, audio;
    {
      // The older interface's defaults: 320 x 240 depth and RGB image.
      KrVInitStreamProperties sensorProps;
      ASSERT_EQ(sensorProps.AddStream("Depth"), KR_STATUS_OK);
      ASSERT_EQ(sensorProps.AddStream("Image"), KR_STATUS_OK);
      if (withSource) {
        ASSERT_EQ(sensorProps.AddStream("Audio"), KR_STATUS_OK);
      }
      KrVDevice sensor;
      ASSERT_EQ(sensor.OpenSensor("*:0", nullptr, &sensorProps), KR_STATUS_OK);
      // The file's streams are asked for the sensor's size.
      KrVInitStreamProperties fileProps;
      for (const char* stream : {"Depth", "Image"}) {
        ASSERT_EQ(fileProps.AddStream(stream), KR_STATUS_OK);
        ASSERT_EQ(fileProps.AddProperty(stream, "XRes", 320), KR_STATUS_OK);
        ASSERT_EQ(fileProps.AddProperty(stream, "YRes", 240), KR_STATUS_OK);
      }
      KrVDevice file;
      ASSERT_EQ(file.OpenFile(path.c_str(), KR_DEVICE_MODE_WRITE, withSource ? &sensor : nullptr, &fileProps),
                KR_STATUS_OK);
      EXPECT_EQ(IntOf(file, "Depth", "RequiredDataSize"), 320u * 240u * 2u);
      EXPECT_EQ(IntOf(file, "Image", "RequiredDataSize"), 320u * 240u * 3u);
      EXPECT_EQ(IntOf(file, "Image", "BytesPerPixel"), 3u);
      for (int i = 0; i < kFrames; ++i) {
        // A read of each stream, so that every one brings a new frame.
        for (const char* stream : {"Depth", "Image", "Audio"}) {
          if (withSource || std::strcmp(stream, "Audio") != 0) {
            ASSERT_EQ(sensor.Read(stream), KR_STATUS_OK) << stream;
          }
        }
        KrVDepthMap& depthMap = *sensor.GetDepthMap();
        KrVImageMap& imageMap = *sensor.GetImageMap();
        depth.push_back(Bytes(depthMap.Data(), depthMap.GetXRes() * depthMap.GetYRes() * 2u));
        image.push_back(Bytes(imageMap.Data(), imageMap.GetXRes() * imageMap.GetYRes() * imageMap.GetBytesPerPixel()));
        const uint64_t timestamp = 1000u * (i + 1);
        ASSERT_EQ(file.Write(depthMap, timestamp), KR_STATUS_OK);
        ASSERT_EQ(file.Write(imageMap, timestamp), KR_STATUS_OK);
        if (withSource) {
          KrVAudioBuffer& audioBuffer = *sensor.GetAudioBuffer();
          audio.push_back(Bytes(audioBuffer.Data(), audioBuffer.GetDataSize()));
          ASSERT_FALSE(audio.back().empty());
          ASSERT_EQ(file.Write(audioBuffer, timestamp), KR_STATUS_OK);
        }
        ASSERT_EQ(file.CommitWrite(), KR_STATUS_OK);
      }
      ASSERT_NE(depth.front(), depth.back());  // the scene moves, so frames differ
      ASSERT_EQ(file.Close(), KR_STATUS_OK);
    }
    KrVDevice playback;
    ASSERT_EQ(playback.OpenFile(path.c_str(), KR_DEVICE_MODE_READ, nullptr, nullptr), KR_STATUS_OK);
    EXPECT_EQ(IntOf(playback, "Depth", "NumberOfFrames"), uint64_t{kFrames});
    for (int i = 0; i < kFrames; ++i) {
      SCOPED_TRACE(i);
      ASSERT_EQ(playback.Read(), KR_STATUS_OK);
      const KrVDepthMap& depthMap = *playback.GetDepthMap();
      const KrVImageMap& imageMap = *playback.GetImageMap();
      EXPECT_EQ(depthMap.GetTimestamp(), 1000u * (i + 1));
      EXPECT_EQ(imageMap.GetTimestamp(), 1000u * (i + 1));
      ASSERT_EQ(depthMap.GetXRes() * depthMap.GetYRes() * 2u, depth[i].size());
      EXPECT_EQ(Bytes(depthMap.Data(), depth[i].size()), depth[i]);
      EXPECT_EQ(Bytes(imageMap.Data(), image[i].size()), image[i]);
      if (withSource) {
        const KrVAudioBuffer& audioBuffer = *playback.GetAudioBuffer();
        ASSERT_EQ(audioBuffer.GetDataSize(), audio[i].size());
        EXPECT_EQ(Bytes(audioBuffer.Data(), audio[i].size()), audio[i]);
      }
    }
  }
}

}  // namespace
