// Device properties and events: the stream-first lookup, existence and type
// questions, the legacy answers, and the event paths to the handlers.
#include "DeviceTestSupport.h"

namespace device_test {
namespace {

class DeviceProperties : public DeviceTest {
 public:
  void SetUp() override {
    DeviceTest::SetUp();
    ASSERT_EQ(CreateScripted(device, CameraScript().Stream("Depth", "Depth").Frame("Depth", FrameBytes(1), 1000, 7)),
              KR_STATUS_OK);
    ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
    kit = KitHandleOf(device);
    Journal();
  }
  KrVDevice device;
  KrDeviceHandle kit = nullptr;
};

// Frame fields come from the last read and stay in the stream's module;
// everything else is the kit's, and the kit's statuses pass through.
TEST_F(DeviceProperties, FrameFieldsComeFromTheLastReadAndTheRestFromTheKit) {
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  const std::pair<const char*, uint64_t> rows[] = {
      {"FrameId", 7}, {"Timestamp", 1000}, {"IsNew", 1}, {"BufferSize", kFrameBytes}, {"XRes", 4}};
  for (const auto& row : rows) {
    EXPECT_EQ(IntOf(device, "Depth", row.first), row.second) << row.first;
  }
  ClearJournal();
  EXPECT_EQ(device.SetProperty("Depth", "FrameId", uint64_t{5}), KR_STATUS_OK);
  EXPECT_TRUE(GetJournal().empty());
  EXPECT_EQ(IntOf(device, "Depth", "FrameId"), 5u);
  EXPECT_EQ(device.SetProperty("Depth", "XRes", uint64_t{8}), KR_STATUS_OK);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxySetIntProperty", "XRes"), 1u);
  EXPECT_EQ(device.SetProperty("Depth", "FrameId", "text"), KR_STATUS_TL_BAD_PROPERTY_TYPE);
  uint64_t value = 0;
  EXPECT_EQ(device.GetProperty("Nowhere", "XRes", value), KR_STATUS_TL_MODULE_NOT_FOUND);
  EXPECT_EQ(device.GetLastStatus(), KR_STATUS_TL_MODULE_NOT_FOUND);
  void* address = nullptr;
  void* moved = &value;
  EXPECT_EQ(device.SetProperty("Depth", "Buffer", KrGeneralBuffer{&moved, sizeof(void*)}), KR_STATUS_OK);
  EXPECT_EQ(device.GetProperty("Depth", "Buffer", KrGeneralBuffer{&address, sizeof(void*)}), KR_STATUS_OK);
  EXPECT_EQ(address, moved);
  EXPECT_DOUBLE_EQ(RealOf(device, "Depth", "ZPPS"), 0.1);
  EXPECT_EQ(TextOf(device, "Depth", "Type"), "Depth");
}

TEST_F(DeviceProperties, TypeAndExistenceQuestionsFollowTheSameRule) {
  const struct {
    const char* module;
    const char* property;
    KrPropertyType type;
  } rows[] = {{"Depth", "Buffer", KR_PROPERTY_TYPE_GENERAL},
              {"Depth", "IsNew", KR_PROPERTY_TYPE_INTEGER},
              {"Depth", "ZPPS", KR_PROPERTY_TYPE_REAL},
              {"Device", "PrimaryStream", KR_PROPERTY_TYPE_STRING}};
  for (const auto& row : rows) {
    KrPropertyType type = KR_PROPERTY_TYPE_GENERAL;
    int exists = 0;
    EXPECT_EQ(device.GetPropertyType(row.module, row.property, type), KR_STATUS_OK);
    EXPECT_EQ(device.DoesPropertyExist(row.module, row.property, &exists), KR_STATUS_OK);
    EXPECT_EQ(type, row.type) << row.property;
    EXPECT_EQ(exists, 1) << row.property;
  }
  int exists = 1;
  EXPECT_EQ(device.DoesPropertyExist("Depth", "Nothing", &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 0);
  EXPECT_EQ(device.DoesModuleExist("Shifts", &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 0);
}

TEST_F(DeviceProperties, ALegacyDeviceAnswersModulesItselfAndReadsFixedParamsFromDepth) {
  KrVDevice legacy(1);
  ASSERT_EQ(CreateScripted(legacy, CameraScript().Stream("Depth", "Depth"), KR_DEVICE_MODE_READ, "legacy"),
            KR_STATUS_OK);
  int exists = 0;
  EXPECT_EQ(legacy.DoesModuleExist("Shifts", &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 1);
  EXPECT_EQ(legacy.DoesModuleExist("Color", &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 0);
  EXPECT_DOUBLE_EQ(RealOf(legacy, "FixedParams", "ZPPS"), 0.1);
  double zpps = 0;
  EXPECT_EQ(device.GetProperty("FixedParams", "ZPPS", zpps), KR_STATUS_TL_MODULE_NOT_FOUND);
  // The older interface's existence answers are fixed lists.
  const std::pair<const char*, std::vector<const char*>> lists[] = {
      {"Shifts", {"ConstShift", "PixelSizeFactor", "MaxShift", "ParamCoeff", "ShiftScale", "S2D", "D2S"}},
      {"FixedParams", {"ZPD", "ZPPS", "LDDIS"}},
      {"Device", {"PrimaryStream", "FrameDelay", "CmosBlankingUnits", "CmosBlankingTime", "FrameSync"}}};
  for (const auto& list : lists) {
    for (const char* property : list.second) {
      EXPECT_NE(device.IsPropertyExist(list.first, property), 0) << list.first << "/" << property;
    }
  }
  const std::pair<const char*, const char*> absent[] = {
      {"Shifts", "ZPD"}, {"Device", "Mirror"}, {"Depth", "XRes"}, {"fixedparams", "ZPD"}};
  for (const auto& pair : absent) {
    EXPECT_EQ(device.IsPropertyExist(pair.first, pair.second), 0) << pair.first << "/" << pair.second;
  }
  for (const char* module : {"Depth", "Image", "IR", "Audio", "Shifts", "FixedParams", "Device"}) {
    EXPECT_NE(device.IsModuleExist(module), 0) << module;
  }
  EXPECT_EQ(device.IsModuleExist("depth"), 0);
  EXPECT_EQ(device.IsModuleExist(nullptr), 0);
}

TEST_F(DeviceProperties, HandlersHearTheStreamTheKitAndTheStreamCollection) {
  EventLog log;
  void* cookies[4] = {};
  ASSERT_EQ(device.RegisterForPropertyChangedEvent("Depth", "FrameId", &log, cookies[0]), KR_STATUS_OK);
  ASSERT_EQ(device.RegisterForPropertyChangedEvent("Depth", "XRes", &log, cookies[1]), KR_STATUS_OK);
  ASSERT_EQ(device.RegisterForNewDataFromStreamEvent(&log, cookies[2]), KR_STATUS_OK);
  ASSERT_EQ(device.RegisterForStreamCollectionChangedEvent(&log, cookies[3]), KR_STATUS_OK);
  LogCapture captured;
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  ASSERT_EQ(ChangeProperty(kit, "Depth", "XRes", ScriptValue::Int(8)), KR_STATUS_OK);
  ASSERT_EQ(RaiseNewData(kit, "Depth"), KR_STATUS_OK);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Other", KR_STREAM_ADDED), KR_STATUS_OK);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Other", KR_STREAM_REMOVED), KR_STATUS_OK);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Other", 2), KR_STATUS_OK);
  EXPECT_EQ(log.events, (std::vector<std::string>{"Depth/FrameId", "Depth/XRes", "new Depth", "+Other", "-Other"}));
  // Type 2 calls no handler: one line for this handler, one for the
  // device's own.
  const std::string line = "3 Infrastructure/KrVDevice: Internal error: unknown stream collection event type: 2";
  EXPECT_EQ(captured.lines, std::vector<std::string>(2, line));
  EXPECT_EQ(device.UnregisterFromPropertyChangedEvent("Depth", "FrameId", cookies[0]), KR_STATUS_OK);
  EXPECT_EQ(device.UnregisterFromPropertyChangedEvent("Depth", "XRes", cookies[1]), KR_STATUS_OK);
  EXPECT_EQ(device.UnregisterFromNewDataFromStreamEvent(cookies[2]), KR_STATUS_OK);
  EXPECT_EQ(device.UnregisterFromStreamCollectionChangedEvent(cookies[3]), KR_STATUS_OK);
  log.events.clear();
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  ASSERT_EQ(ChangeProperty(kit, "Depth", "XRes", ScriptValue::Int(4)), KR_STATUS_OK);
  ASSERT_EQ(RaiseNewData(kit, "Depth"), KR_STATUS_OK);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Other", KR_STREAM_ADDED), KR_STATUS_OK);
  EXPECT_TRUE(log.events.empty());
}

TEST_F(DeviceProperties, NullArgumentsAreRefusedWithoutRecordingOrTheKit) {
  ASSERT_EQ(device.Read("Nothing"), KR_STATUS_OS_NOT_FOUND);
  ClearJournal();
  void* cookie = nullptr;
  int exists = 0;
  const KrStatus refused[] = {
      device.RegisterForPropertyChangedEvent("Depth", "FrameId", nullptr, cookie),
      device.RegisterForStreamCollectionChangedEvent(nullptr, cookie),
      device.RegisterForNewDataFromStreamEvent(nullptr, cookie),
      device.UnregisterFromPropertyChangedEvent("Depth", "FrameId", nullptr),
      device.UnregisterFromPropertyChangedEvent(nullptr, "FrameId", &exists),
      device.DoesModuleExist("Depth", nullptr),
      device.DoesPropertyExist("Depth", "IsNew", nullptr),
      device.Write(static_cast<const char*>(nullptr)),
  };
  EXPECT_EQ(std::vector<KrStatus>(std::begin(refused), std::end(refused)),
            std::vector<KrStatus>(std::size(refused), KR_STATUS_OS_NULL_POINTER));
  EXPECT_EQ(device.GetLastStatus(), KR_STATUS_OS_NOT_FOUND);
  EXPECT_TRUE(GetJournal().empty());
}

}  // namespace
}  // namespace device_test
