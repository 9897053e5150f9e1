// Shared pieces of the frame-object tests: a fake device with a "Depth" stream, and a probe opening the protected
// operations of a frame class.
#pragma once

#include <gtest/gtest.h>

#include "Ovalith/properties/FakeStreamContainer.h"

template <typename Frame>
struct Probe : Frame {
  using Frame::AddWatchedProperty;
  using Frame::ArePropertiesChanged;
  using Frame::Frame;
  using Frame::UnderlyingStreamUpdated;
};

// Streams "Depth", a small "Depth2", "Image" of 8 x 4 pixels of 3 bytes (its buffer, made as 8 x 6 of 2 bytes, holds
// all 96 bytes) and "Audio" of 32 bytes, 20 of them valid.
class FrameTest : public ::testing::Test {
 protected:
  FrameTest()
      : depth(device), second(device, "Depth2", 4, 4), image(device, "Image", 8, 6), audio(device, "Audio", 16, 1) {
    device.SetInt("Image", "YRes", 4);
    device.SetInt("Image", "BytesPerPixel", 3);
    device.SetInt("Image", "OutputFormat", KR_OUTPUT_FORMAT_RGB24);
    device.SetInt("Audio", "BufferSize", 20);
    stream.Attach(&device, "Depth");
    secondStream.Attach(&device, "Depth2");
    imageStream.Attach(&device, "Image");
    audioStream.Attach(&device, "Audio");
  }
  // Changes an integer property of "Depth" and raises its change.
  void Change(const char* property, uint64_t value) { device.SetProperty("Depth", property, value); }

  FakeStreamContainer device;
  FakeDepthStream depth, second, image, audio;
  KrVStream stream, secondStream, imageStream, audioStream;
};
