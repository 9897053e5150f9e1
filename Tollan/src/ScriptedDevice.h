// The "Scripted" device kind: a device made from a test's Script (see
// <Tollan/TollanTesting.h> for what it does). Each device owns a copy of its
// script; its frame queue, read positions and written frames are guarded by
// the device mutex like the rest of its state.
#pragma once

#include "DeviceBase.h"

#include <Tollan/TollanTesting.h>

#include <map>
#include <string>
#include <vector>

namespace tollan {

class ScriptedDevice : public DeviceBase {
 public:
  ScriptedDevice(const DeviceParams& params, testing::Script script);

  // Appends a frame to the queue (the stream need not exist yet).
  KrStatus PushFrame(const testing::ScriptFrame& frame);
  // Every frame written so far, in order.
  KrStatus GetWrittenFrames(std::vector<testing::ScriptFrame>* frames);

 protected:
  KrStatus Setup() override;
  KrStatus OnCreateStream(Stream& stream) override;
  KrStatus OnUnknownInitialValue(const std::string& module, const std::string& property, const Value& value) override;
  KrStatus ReadRecords(Locked& lock, std::vector<StreamRecord>& records, bool single) override;
  KrStatus WriteRecords(Locked& lock, std::vector<StreamRecord>& records, bool single) override;
  KrStatus TellTime(uint64_t* timestamp) override;
  KrStatus SeekTime(uint64_t timestamp) override;
  KrStatus TellFrameNumber(uint32_t* frame) override;
  KrStatus SeekFrameNumber(uint32_t frame) override;

 private:
  void Declare(const std::string& module, const testing::ScriptProperty& property);
  // Points every stream's cursor at its first frame that passes the test.
  template <typename Test>
  void SeekWhere(Test test);

  testing::Script script_;
  std::vector<testing::ScriptFrame> frames_;    // the script's frames, then pushed ones
  std::map<std::string, size_t> cursors_;       // stream name -> index of the next candidate in frames_
  std::map<std::string, uint64_t> readCounts_;  // stream name -> reads so far (the generator's index)
  std::vector<testing::ScriptFrame> written_;
  uint64_t lastTimestamp_ = 0;
  uint32_t lastFrameId_ = 0;
};

// The script of that name, copied; false when none is defined (Testing.cpp).
bool FindScript(const std::string& name, testing::Script* script);

// Value conversions between the test interface and the store.
Value ToValue(const testing::ScriptValue& value);

}  // namespace tollan
