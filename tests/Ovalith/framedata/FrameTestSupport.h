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

class FrameTest : public ::testing::Test {
 protected:
  FrameTest() : depth(device) { stream.Attach(&device, "Depth"); }
  // Changes an integer property of "Depth" and raises its change.
  void Change(const char* property, uint64_t value) { device.SetProperty("Depth", property, value); }

  FakeStreamContainer device;
  FakeDepthStream depth;
  KrVStream stream;
};
