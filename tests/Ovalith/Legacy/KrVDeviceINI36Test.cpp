// Old-format INI files and capture mode on the simulated sensor and on a scripted device of another kind.
#include "Ovalith/Infrastructure/DeviceTestSupport.h"
#include "Ovalith/properties/FakeStreamContainer.h"

namespace {

using namespace device_test;

const std::string kStreams = "[Streams]\n";

class KrVDeviceINI36Test : public DeviceTest {
 protected:
  // Writes the file (or names a shipped example) and opens its section "Streams".
  KrStatus OpenOld(KrVDevice& device, const std::string& text, KrVStreamContainer* source = nullptr) {
    return device.OpenFromINI(Write("old.ini", text).c_str(), "Streams", source);
  }
  static KrStatus OpenExample(KrVDevice& device, const std::string& file) {
    return device.OpenFromINI((OVALITH_SOURCE_DIR "/examples/legacy/" + file).c_str(), "Streams", nullptr);
  }
  static std::vector<uint16_t> AgcBin(KrVDevice& device, uint16_t bin) {
    uint16_t record[3] = {bin, 0, 0};
    EXPECT_EQ(device.GetProperty("Depth", "AGCBin", KrGeneralBuffer{record, sizeof(record)}), KR_STATUS_OK);
    return {record[1], record[2]};
  }
};

// The sensor section's record keys: an AGC key changes only its bound, and cropping needs all four keys.
TEST_F(KrVDeviceINI36Test, RecordKeysAgcBinAndCropping) {
  {
    KrVDevice reference;  // a sensor with a depth stream and untouched bins
    ASSERT_EQ(reference.OpenSensor("*:1", nullptr, nullptr), KR_STATUS_OK);
    KrVDevice device;
    ASSERT_EQ(OpenOld(device, kStreams + "[SensorV2]\nDepthAGCBin2MaxDepth=3000\n"), KR_STATUS_OK);
    for (uint16_t bin = 0; bin < 4; ++bin) {
      std::vector<uint16_t> expected = AgcBin(reference, bin);
      if (bin == 2) {
        ASSERT_NE(expected[1], 3000);
        expected[1] = 3000;
      }
      EXPECT_EQ(AgcBin(device, bin), expected) << "bin " << bin;
    }
  }
  const std::string complete = kStreams +
                               "[SensorV2]\nHoleFilter=0\nIRCroppingEnabled=1\nIRCropXOffset=10\nIRCropYOffset=20\n"
                               "IRCropXSize=100\n";
  {
    KrVDevice device;
    ASSERT_EQ(OpenOld(device, complete + "IRCropYSize=50\n"), KR_STATUS_OK);
    uint8_t record[12] = {};
    ASSERT_EQ(device.GetProperty("Image", "Cropping", KrGeneralBuffer{record, sizeof(record)}), KR_STATUS_OK);
    const uint8_t expected[12] = {1, 0, 0, 0, 10, 0, 20, 0, 100, 0, 50, 0};
    EXPECT_EQ(std::memcmp(record, expected, sizeof(record)), 0);
  }
  KrVDevice device;
  Journal();
  EXPECT_EQ(OpenOld(device, complete), KR_STATUS_OS_KEY_NOT_FOUND);
  EXPECT_EQ(device.GetLastStatus(), KR_STATUS_OS_KEY_NOT_FOUND);
  // The earlier keys were applied, then the device closed again.
  EXPECT_EQ(CountJournalCalls("KrDeviceProxySetIntProperty", "HoleFilter"), 1u);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxySetGeneralProperty", "Cropping"), 0u);
  EXPECT_EQ(device.GetDepthMap(), nullptr);
}

// Bad names and modes fail and close the device; the flags set the mirror only for the mirror alone.
TEST_F(KrVDeviceINI36Test, StreamKeysModesAndEverySensorKey) {
  const std::tuple<std::string, KrStatus, uint64_t> rows[] = {
      {"StreamDepthFormat=Bogus\n", KR_STATUS_TL_BAD_DEPTH_FORMAT, 0},
      {"StreamImageFormat=rgb24\n", KR_STATUS_TL_BAD_IMAGE_FORMAT, 0},
      {"StreamAudioFormat=MP3\n", KR_STATUS_TL_BAD_AUDIO_FORMAT, 0},
      {"StreamFlags=Mirror|Upside\n", KR_STATUS_TL_BAD_STREAM_FLAGS, 0},
      {"[SensorV2]\nDepthMode=4\n", KR_STATUS_QM_BAD_PARAMETER, 0},
      {"[SensorV2]\nImageMode=-1\n", KR_STATUS_QM_BAD_PARAMETER, 0},
      {"[SensorV2]\nAudioMode=2\n", KR_STATUS_QM_BAD_PARAMETER, 0},
      {"StreamFlags=Mirror\n", KR_STATUS_OK, 1},
      {"StreamFlags=Mirror|Crop\n", KR_STATUS_OK, 0},
      {"StreamFlags=None\n", KR_STATUS_OK, 0},
  };
  for (const auto& [text, expected, mirror] : rows) {
    SCOPED_TRACE(text);
    KrVDevice device;
    EXPECT_EQ(OpenOld(device, kStreams + text), expected);
    EXPECT_EQ(device.GetLastStatus(), expected);
    if (expected == KR_STATUS_OK) {
      EXPECT_EQ(ValueOf(device, "Device", "Mirror"), mirror);
    } else {
      EXPECT_EQ(device.GetDepthMap(), nullptr);
      EXPECT_EQ(device.SetCallbackHandler(nullptr), KR_STATUS_QM_NOT_INITIALIZED);
    }
  }
  // Every sensor key, all in one file, reaches its property: the kit's write and the value held.
  const std::tuple<const char*, int, const char*, const char*> keys[] = {
      {"RGBRegistrarState", 1, "Depth", "Registration"},
      {"MinDepthValue", 600, "Depth", "MinDepthValue"},
      {"MaxDepthValue", 9000, "Depth", "MaxDepthValue"},
      {"DepthGain", 20, "Depth", "Gain"},
      {"HoleFilter", 0, "Depth", "HoleFilter"},
      {"FrameSync", 1, "Device", "FrameSync"},
      {"Flicker", 50, "Image", "Flicker"},
      {"GMCMode", 0, "Depth", "GmcMode"},
      {"AudioLeftChannelVolume", 40, "Audio", "LeftChannelVolume"},
      {"AudioRightChannelVolume", 30, "Audio", "RightChannelVolume"},
      {"AudioReadChunkSize", 2000, "Audio", "ReadChunkSize"},
      {"DepthWhiteBalance", 1, "Depth", "WhiteBalancedEnabled"},
      {"SensorLogFilter", 3, "Device", "FirmwareLogFilter"},
      {"GMCDebug", 1, "Depth", "GmcDebug"},
  };
  std::string file = kStreams + "[SensorV2]\nPrimaryStream=2\n";
  for (const auto& [key, value, module, property] : keys) {
    file += std::string(key) + "=" + std::to_string(value) + "\n";
  }
  KrVDevice configured;
  Journal();
  ASSERT_EQ(OpenOld(configured, file), KR_STATUS_OK);
  for (const auto& [key, value, module, property] : keys) {
    SCOPED_TRACE(key);
    EXPECT_GE(CountJournalCalls("KrDeviceProxySetIntProperty", property), 1u);
    EXPECT_EQ(ValueOf(configured, module, property), static_cast<uint64_t>(value));
  }
  EXPECT_EQ(TextOf(configured, "Device", "PrimaryStream"), "Image");
}

// An empty section opens the defaults by device kind; modes pick formats, close a stream or make it infra-red.
TEST_F(KrVDeviceINI36Test, EmptySectionsOpenDefaultsByDeviceKindAndModesChooseFormatsClosedStreamsOrInfraRed) {
  Script script = CameraScript();
  script.acceptUnknownInitialValues = true;
  ASSERT_EQ(DefineScript("camera", script), KR_STATUS_OK);
  for (const bool scripted : {false, true}) {
    SCOPED_TRACE(scripted ? "scripted" : "sensor");
    KrVDevice device;
    Journal();
    ASSERT_EQ(OpenOld(device, kStreams + (scripted ? "Connection=scripted:camera\n" : "")), KR_STATUS_OK);
    for (const char* stream : {"Depth", "Image"}) {
      EXPECT_EQ(ValueOf(device, stream, "XRes"), 320u);
      EXPECT_EQ(ValueOf(device, stream, "YRes"), 240u);
      EXPECT_EQ(ValueOf(device, stream, "FPS"), 30u);
    }
    EXPECT_EQ(ValueOf(device, "Audio", "NumOfChannels"), 2u);
    EXPECT_EQ(ValueOf(device, "Audio", "SampleRate"), 48000u);
    // A sensor opens its streams one by one, another kind all at once.
    ExpectOpened(scripted ? 1 : 0, scripted ? std::vector<std::string>{} : std::vector<std::string>{"Depth", "Image"});
    EXPECT_EQ(CountJournalCalls("KrDeviceProxySetIntProperty", "Mirror"), 0u);  // no "StreamFlags"
    EXPECT_NE(device.GetDepthMap(), nullptr);
  }
  // {depth mode, image mode, depth input format (the mode is 0: no stream), image input format}
  const std::tuple<int, int, uint64_t, uint64_t> rows[] = {{1, 1, 1, 0}, {2, 2, 0, 1}, {3, 4, 3, 2}, {0, 5, 0, 5}};
  for (const auto& [depthMode, imageMode, depthFormat, imageFormat] : rows) {
    const std::string modes = "DepthMode=" + std::to_string(depthMode) + "\nImageMode=" + std::to_string(imageMode);
    SCOPED_TRACE(modes);
    KrVDevice device;
    Journal();
    ASSERT_EQ(OpenOld(device, kStreams + "[SensorV2]\n" + modes + "\n"), KR_STATUS_OK);
    if (depthMode != 0) {
      EXPECT_EQ(ValueOf(device, "Depth", "InputFormat"), depthFormat);
    }
    EXPECT_EQ(ValueOf(device, "Image", "InputFormat"), imageFormat);
    ExpectOpened(0, depthMode != 0 ? std::vector<std::string>{"Depth", "Image"} : std::vector<std::string>{"Image"});
  }
  KrVDevice closed;
  Journal();
  ASSERT_EQ(OpenOld(closed, kStreams + "[SensorV2]\nImageMode=0\n"), KR_STATUS_OK);
  ExpectOpened(0, {"Depth"});
  // Mode 3 (the shipped infra-red example) makes the image stream infra-red; both getters share its one map.
  KrVDevice device;
  ASSERT_EQ(OpenExample(device, "infrared.ini"), KR_STATUS_OK);
  EXPECT_EQ(TextOf(device, "Image", "Type"), "IR");
  EXPECT_EQ(ValueOf(device, "Image", "XRes"), 640u);
  EXPECT_EQ(ValueOf(device, "Image", "FPS"), 30u);
  ASSERT_NE(device.GetIRMap(), nullptr);
  EXPECT_EQ(device.GetImageMap(), device.GetIRMap());
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  EXPECT_EQ(device.GetImageMap()->GetXRes(), 320);  // the example crops 320 x 240
  // Closing deletes the shared map once (the sanitizers would catch twice).
  EXPECT_EQ(device.Close(), KR_STATUS_OK);
  EXPECT_EQ(device.GetImageMap(), nullptr);
}

TEST_F(KrVDeviceINI36Test, CaptureModeShippedExamplesAndSourceOrCurrentFormatLayouts) {
  KrVDevice device;
  // The shipped example starts capture mode once ("Any"); a second start saves that, a fresh device has nothing.
  ASSERT_EQ(OpenExample(device, "capture.ini"), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(device, "Device", "FrameSync"), 1u);
  EXPECT_EQ(TextOf(device, "Device", "PrimaryStream"), "Any");
  EXPECT_EQ(device.StopCaptureMode(), KR_STATUS_OK);  // the start saved what it replaced
  ASSERT_EQ(device.StartCaptureMode(0), KR_STATUS_OK);
  EXPECT_EQ(TextOf(device, "Device", "PrimaryStream"), "None");
  ASSERT_EQ(device.StopCaptureMode(), KR_STATUS_OK);
  EXPECT_EQ(TextOf(device, "Device", "PrimaryStream"), "Any");
  KrVDevice fresh;
  ASSERT_EQ(fresh.CreateSensor("*:1", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  ASSERT_EQ(fresh.SetProperty("Device", "PrimaryStream", "None"), KR_STATUS_OK);
  EXPECT_EQ(fresh.StopCaptureMode(), KR_STATUS_QM_NOT_ENOUGH_INFORMATION);
  EXPECT_EQ(fresh.GetLastStatus(), KR_STATUS_QM_NOT_ENOUGH_INFORMATION);
  EXPECT_EQ(TextOf(fresh, "Device", "PrimaryStream"), "None");
  KrVDevice example;
  ASSERT_EQ(OpenExample(example, "depth_image.ini"), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(example, "Depth", "XRes"), 640u);
  EXPECT_EQ(ValueOf(example, "Device", "Mirror"), 1u);
  EXPECT_EQ(ValueOf(example, "Depth", "Gain"), 20u);
  // A source device seeds the layout, streams it lacks are left out; current-format streams skip the old keys.
  KrVDevice source;
  ASSERT_EQ(source.CreateSensor("*:1", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  KrVPropertySet values;
  ASSERT_EQ(values.AddProperty("Depth", "XRes", static_cast<uint64_t>(640)), KR_STATUS_OK);
  ASSERT_EQ(values.AddProperty("Depth", "YRes", static_cast<uint64_t>(480)), KR_STATUS_OK);
  ASSERT_EQ(source.AddStream("Depth", "Depth", &values), KR_STATUS_OK);
  KrVDevice seeded;
  ASSERT_EQ(OpenOld(seeded, kStreams, &source), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(seeded, "Depth", "XRes"), 640u);
  EXPECT_EQ(ValueOf(seeded, "Depth", "OutputFormat"), 1u);  // recomputed from the legacy default
  EXPECT_EQ(seeded.GetImageMap(), nullptr);
  EXPECT_EQ(seeded.Read("Depth"), KR_STATUS_OK);
  KrVDevice current;
  ASSERT_EQ(OpenOld(current, kStreams + "Stream.D.Type=Depth\nStreamDepthFormat=Bogus\n"), KR_STATUS_OK);
  EXPECT_EQ(current.GetImageMap(), nullptr);
  FakeStreamContainer fake;
  KrVDevice refused;
  EXPECT_EQ(OpenOld(refused, kStreams, &fake), KR_STATUS_OS_ERROR);
  EXPECT_EQ(refused.GetDepthMap(), nullptr);
}

}  // namespace
