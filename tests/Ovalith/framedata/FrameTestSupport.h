// Shared pieces of the frame-object tests: a fake device with a "Depth"
// stream, and a probe that opens the protected operations of a frame class.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "Ovalith/properties/FakeStreamContainer.h"

// Opens what the device may call and what the tests observe.
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
  // The reads of a "Depth" integer property since the journal was cleared.
  size_t Reads(const std::string& property) const {
    return std::count(device.journal.begin(), device.journal.end(), "get u64 Depth/" + property);
  }
  // Changes an integer property of "Depth" and raises its change.
  void Change(const char* property, uint64_t value) { device.SetProperty("Depth", property, value); }

  FakeStreamContainer device;
  FakeDepthStream depth;
  KrVStream stream;
};
