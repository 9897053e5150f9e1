// The kit's start, configuration, enumeration and device creation; injected failures and the journal.
#include "KitTestSupport.h"

#include <functional>
#include <utility>
#include <vector>

namespace tollan_test {
namespace {

using KitStartTest = KitTest;

std::string NameOf(KrDeviceHandle device) {
  char name[KR_MAX_NAME_LENGTH] = {};
  EXPECT_EQ(KrDeviceProxyGetDeviceName(device, name, sizeof(name)), KR_STATUS_OK);
  return name;
}

TEST_F(KitStartTest, ConfigurationFileDecidesTheSensorsSecondInitIsRefusedAndShutdownDestroysOpenDevices) {
  ASSERT_EQ(TollanShutdown(), KR_STATUS_OK);  // the fixture's start
  ASSERT_EQ(TollanInitFromINIFile(scratch_.Write("kit.ini", "[Tollan]\nSensors=3\n").c_str()), KR_STATUS_OK);
  EXPECT_EQ(TollanInit(scratch_.Path().c_str()), KR_STATUS_TL_ALREADY_INITIALIZED);
  EXPECT_EQ(TollanInitFromINIFile(scratch_.Write("other.ini", "[Tollan]\nSensors=1\n").c_str()),
            KR_STATUS_TL_ALREADY_INITIALIZED);
  char strings[4][KR_MAX_NAME_LENGTH] = {};
  uint32_t count = 4;
  ASSERT_EQ(KrDeviceProxyEnumerate(strings, &count), KR_STATUS_OK);
  ASSERT_EQ(count, 3u);  // the second start changed nothing
  EXPECT_STREQ(strings[0], "*:0");
  EXPECT_STREQ(strings[2], "*:2");
  count = 2;  // fewer places than sensors: the first ones, no failure
  strings[2][0] = '\0';
  ASSERT_EQ(KrDeviceProxyEnumerate(strings, &count), KR_STATUS_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_STREQ(strings[2], "");
  EXPECT_EQ(KrDeviceProxyEnumerate(strings, nullptr), KR_STATUS_OS_NULL_POINTER);
  ASSERT_EQ(DefineScript("s", Script().SupportedType("Depth").Stream("Depth", "Depth")), KR_STATUS_OK);
  KrDeviceConfig config{KR_DEVICE_MODE_READ, "scripted:s", nullptr, 0};
  KrDeviceHandle device = nullptr;
  ASSERT_EQ(KrDeviceProxyCreate(&device, &config), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyOpenAllStreams(device), KR_STATUS_OK);
  EXPECT_EQ(TollanShutdown(), KR_STATUS_OK);
  EXPECT_EQ(TollanShutdown(), KR_STATUS_TL_NOT_INITIALIZED);
  EXPECT_EQ(KrDeviceProxyEnumerate(nullptr, &count), KR_STATUS_TL_NOT_INITIALIZED);
  char name[KR_MAX_NAME_LENGTH];
  EXPECT_EQ(KrDeviceProxyGetDeviceName(device, name, sizeof(name)), KR_STATUS_TL_BAD_HANDLE);
  EXPECT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_TL_BAD_HANDLE);
  EXPECT_EQ(KrDeviceProxyCreate(&device, &config), KR_STATUS_TL_NOT_INITIALIZED);
  const struct {
    const char* text;   // Tollan.ini, null for none
    KrStatus expected;  // of TollanInit
    uint32_t sensors;   // when started
  } cases[] = {
      {nullptr, KR_STATUS_OK, 1},
      {"[Tollan]\nSensors=3\nPaced=0\n", KR_STATUS_OK, 3},
      {"; only a comment\n[Other]\nKey=1\n", KR_STATUS_OK, 1},
      {"[Tollan]\nSensors=0\n", KR_STATUS_OK, 0},
      {"[Tollan]\nSensors=abc\n", KR_STATUS_TL_CONFIG_FAILED, 0},
      {"[Tollan]\nSensors=-1\n", KR_STATUS_TL_CONFIG_FAILED, 0},
      {"[Tollan]\nSensors=100000\n", KR_STATUS_TL_CONFIG_FAILED, 0},
      {"[Tollan]\nPaced=2\n", KR_STATUS_TL_CONFIG_FAILED, 0},
      {"[Tollan]\nScene=clean\nNoiseSeed=7\n", KR_STATUS_OK, 1},
      {"[Tollan]\nScene=blurry\n", KR_STATUS_TL_CONFIG_FAILED, 0},
      {"[Tollan\nSensors=2\n", KR_STATUS_TL_CONFIG_FAILED, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(no file)");
    ScratchDirectory directory;
    if (c.text != nullptr) directory.Write("Tollan.ini", c.text);
    ASSERT_EQ(TollanInit(directory.Path().c_str()), c.expected);
    if (c.expected != KR_STATUS_OK) continue;
    uint32_t sensors = 0;
    EXPECT_EQ(KrDeviceProxyEnumerate(nullptr, &sensors), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
    EXPECT_EQ(sensors, c.sensors);
    EXPECT_EQ(TollanShutdown(), KR_STATUS_OK);
  }
  EXPECT_EQ(TollanInitFromINIFile(nullptr), KR_STATUS_OS_NULL_POINTER);
  EXPECT_EQ(TollanInitFromINIFile((scratch_.Path() + "/missing.ini").c_str()), KR_STATUS_OS_INI_READ_FAILED);
  // A folder without Tollan.ini means the defaults; a missing folder (or a file) is a mistake.
  EXPECT_EQ(TollanInit((scratch_.Path() + "/nonexistent").c_str()), KR_STATUS_TL_BAD_CONFIGURATION);
  EXPECT_EQ(TollanInit(scratch_.Write("plain", "").c_str()), KR_STATUS_TL_BAD_CONFIGURATION);
  EXPECT_EQ(TollanShutdown(), KR_STATUS_TL_NOT_INITIALIZED);
}

using KitCreateTest = KitTest;

TEST_F(KitCreateTest, KindNamesConnectionStringsNameCapacityAndInitialValues) {
  ASSERT_EQ(DefineScript("cam", CameraScript()), KR_STATUS_OK);
  const struct {
    const char* kind;  // null: KrDeviceProxyCreate
    const char* connection;
    KrStatus expected;
    const char* name;
  } cases[] = {
      {"SensorV2", "*:0", KR_STATUS_OK, "SensorV2"},
      {"SensorV2", nullptr, KR_STATUS_OK, "SensorV2"},
      {"SensorV2", "*:7", KR_STATUS_TL_DEVICE_NOT_FOUND, nullptr},
      {"Scripted", "cam", KR_STATUS_OK, "Scripted"},
      {"Scripted", "scripted:cam", KR_STATUS_OK, "Scripted"},
      {"Scripted", "nothing", KR_STATUS_TL_DEVICE_NOT_FOUND, nullptr},
      {"Sensorv2", "*:0", KR_STATUS_TL_UNKNOWN_DEVICE_KIND, nullptr},
      {nullptr, "*:0", KR_STATUS_OK, "SensorV2"},
      {nullptr, "scripted:cam", KR_STATUS_OK, "Scripted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind ? c.kind : "(by connection)") + " " + (c.connection ? c.connection : "(null)"));
    KrDeviceConfig config{KR_DEVICE_MODE_READ, c.connection, nullptr, 0};
    KrDeviceHandle device = nullptr;
    const KrStatus status =
        c.kind ? KrDeviceProxyCreateDeviceByName(c.kind, &device, &config) : KrDeviceProxyCreate(&device, &config);
    ASSERT_EQ(status, c.expected);
    if (status == KR_STATUS_OK) {
      EXPECT_EQ(NameOf(device), c.name);
      EXPECT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_OK);
    } else {
      EXPECT_EQ(device, nullptr);
    }
  }
  KrDeviceHandle device = MakeDevice(CameraScript());
  char name[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(KrDeviceProxyGetDeviceName(device, name, sizeof(name)), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_STREQ(name, "Scr");
  EXPECT_EQ(KrDeviceProxyGetDeviceName(device, name, 0), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(KrDeviceProxyGetDeviceName(device, nullptr, 4), KR_STATUS_OS_NULL_POINTER);
  // Initial values apply, read-only ones are passed over, unknown ones fail.
  PropertySet good;
  KrPropertySetAddIntProperty(good.Get(), "Device", "Mirror", 1);
  KrPropertySetAddIntProperty(good.Get(), "Device", "Serial", 99);  // read-only: passed over
  KrPropertySetAddIntProperty(good.Get(), "Depth", "XRes", 320);
  device = MakeDevice(CameraScript(), "initial", KR_DEVICE_MODE_READ, good.Get());
  EXPECT_EQ(IntOf(device, "Device", "Mirror"), 1u);
  EXPECT_EQ(IntOf(device, "Device", "Serial"), 1234u);
  EXPECT_EQ(IntOf(device, "Depth", "XRes"), 320u);
  for (const auto& [module, expected] : {std::make_pair("Device", KR_STATUS_TL_PROPERTY_NOT_FOUND),
                                         std::make_pair("Nowhere", KR_STATUS_TL_MODULE_NOT_FOUND)}) {
    PropertySet bad;
    KrPropertySetAddIntProperty(bad.Get(), module, "Nope", 1);
    KrDeviceConfig config{KR_DEVICE_MODE_READ, "cam", bad.Get(), 0};
    KrDeviceHandle failed = nullptr;
    EXPECT_EQ(KrDeviceProxyCreateDeviceByName("Scripted", &failed, &config), expected);
    EXPECT_EQ(failed, nullptr);
  }
  // A script may take them as new properties, of a new module too.
  Script open = CameraScript();
  open.acceptUnknownInitialValues = true;
  PropertySet extra;
  KrPropertySetAddStringProperty(extra.Get(), "Recorder", "Note", "hello");
  EXPECT_EQ(TextOf(MakeDevice(open, "open", KR_DEVICE_MODE_READ, extra.Get()), "Recorder", "Note"), "hello");
}

// A section names the kind, connection and stream keys (unknown ones as text, if accepted); loading it sets modules.
TEST_F(KitCreateTest, IniSectionsCreateDevicesWithTheirStreams) {
  Script script = CameraScript();
  script.acceptUnknownInitialValues = true;
  ASSERT_EQ(DefineScript("cam", script), KR_STATUS_OK);
  const std::string ini = scratch_.Write("devices.ini",
                                         "[Scripted]\nKind=Scripted\nConnection=cam\n"
                                         "Stream.Near.Type=Depth\nStream.Near.XRes=160\nStream.Color.Type=Image\n"
                                         "Stream.Near.Comment=far away\nDevice.Mirror=1\nDevice.Gain=2.25\n"
                                         "Device.PrimaryStream=Near\nDevice.Cropping=01000000 0200 0300 0400 0500\n"
                                         "[OldFormat]\nStreamDepthFormat=Depth\n"
                                         "[NoType]\nKind=Scripted\nConnection=cam\nStream.X.XRes=1\n"
                                         "[BadValue]\nKind=Scripted\nConnection=cam\nStream.Near.Type=Depth\n"
                                         "Stream.Near.XRes=wide\n"
                                         "[BadSetting]\nDevice.Mirror=yes\n"
                                         "[Unknown]\nDevice.Nope=1\n"
                                         "[BadMode]\nKind=Scripted\nConnection=cam\nMode=2\n"
                                         "[BadSharing]\nKind=Scripted\nConnection=cam\nSharing=x\n"
                                         "  [ Empty ]  ; nothing below\n; a comment\n\n[Last]\n");
  KrDeviceHandle device = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateDeviceByINIFile(ini.c_str(), "Scripted", &device, nullptr), KR_STATUS_OK);
  const char* names[4] = {};
  uint32_t count = 4;
  ASSERT_EQ(KrDeviceProxyGetStreamNames(device, names, &count), KR_STATUS_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(std::string(names[0]) + "," + names[1] + "," + names[2], "Depth,Near,Color");
  EXPECT_EQ(IntOf(device, "Near", "XRes"), 160u);
  EXPECT_EQ(TextOf(device, "Near", "Comment"), "far away");
  EXPECT_EQ(IntOf(device, "Device", "Mirror"), 0u);  // creation applies stream keys only
  ASSERT_EQ(KrDeviceProxyLoadConfigFromFile(device, ini.c_str(), "Scripted"), KR_STATUS_OK);
  EXPECT_EQ(IntOf(device, "Device", "Mirror"), 1u);
  EXPECT_DOUBLE_EQ(RealOf(device, "Device", "Gain"), 2.25);
  EXPECT_EQ(TextOf(device, "Device", "PrimaryStream"), "Near");
  uint8_t crop[12] = {};
  const KrGeneralBuffer buffer{crop, sizeof(crop)};
  EXPECT_EQ(KrDeviceProxyGetGeneralProperty(device, "Device", "Cropping", &buffer), KR_STATUS_OK);
  EXPECT_EQ(crop[0], 1);
  EXPECT_EQ(crop[11], 0);
  const struct {
    const char* section;
    KrStatus load;    // of KrDeviceProxyLoadConfigFromFile
    KrStatus create;  // of KrDeviceProxyCreateDeviceByINIFile
  } sections[] = {
      {"BadSetting", KR_STATUS_OS_BAD_NUMBER, KR_STATUS_OK},
      {"Unknown", KR_STATUS_TL_PROPERTY_NOT_FOUND, KR_STATUS_OK},
      {"Missing", KR_STATUS_OS_INI_SECTION_NOT_FOUND, KR_STATUS_OS_INI_SECTION_NOT_FOUND},
      {"OldFormat", KR_STATUS_OK, KR_STATUS_OK},  // keys without a module are not settings
      {"NoType", KR_STATUS_OK, KR_STATUS_TL_CONFIG_FAILED},
      {"BadValue", KR_STATUS_OK, KR_STATUS_OS_BAD_NUMBER},
      {"BadMode", KR_STATUS_OK, KR_STATUS_TL_CONFIG_FAILED},
      {"BadSharing", KR_STATUS_OK, KR_STATUS_TL_CONFIG_FAILED},
      {"Empty", KR_STATUS_OK, KR_STATUS_OK},
      {"Last", KR_STATUS_OK, KR_STATUS_OK},
  };
  for (const auto& c : sections) {
    SCOPED_TRACE(c.section);
    EXPECT_EQ(KrDeviceProxyLoadConfigFromFile(device, ini.c_str(), c.section), c.load);
    KrDeviceHandle other = nullptr;
    EXPECT_EQ(KrDeviceProxyCreateDeviceByINIFile(ini.c_str(), c.section, &other, nullptr), c.create);
    if (other == nullptr) continue;
    // Sections without a kind, even empty ones, open the first sensor without streams.
    EXPECT_EQ(NameOf(other), "SensorV2");
    EXPECT_EQ(KrDeviceProxyGetStreamNames(other, nullptr, &count), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(KrDeviceProxyDestroy(&other), KR_STATUS_OK);
  }
  EXPECT_EQ(KrDeviceProxyLoadConfigFromFile(device, (scratch_.Path() + "/none.ini").c_str(), "Scripted"),
            KR_STATUS_OS_INI_READ_FAILED);
  EXPECT_EQ(KrDeviceProxyCreateDeviceByINIFile(ini.c_str(), "Scripted", nullptr, nullptr), KR_STATUS_OS_NULL_POINTER);
}

using TestingTest = KitTest;

// Failures by name count successes and limits; an injected failure does nothing else.
TEST_F(TestingTest, InjectedFailuresHitTheNamedCallsOnlyAndTheJournalRecordsCalls) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  const struct {
    uint32_t after;
    uint32_t times;
    const char* fails;  // outcome of five calls in a row: x failed, . passed
  } cases[] = {{0, 0, "xxxxx"}, {0, 1, "x...."}, {2, 0, "..xxx"}, {1, 2, ".xx.."}};
  for (const auto& c : cases) {
    ClearFailures();
    FailCall("KrDeviceProxySetIntProperty", 0x12345, c.after, c.times);
    std::string outcome;
    for (int i = 0; i < 5; ++i) {
      const KrStatus status = KrDeviceProxySetIntProperty(device, "Device", "Mirror", i);
      outcome += status == KrStatus(0x12345) ? 'x' : status == KR_STATUS_OK ? '.' : '?';
    }
    EXPECT_EQ(outcome, c.fails);
    IntOf(device, "Device", "Mirror");  // other calls are not touched
  }
  ClearFailures();
  FailCall("KrDeviceProxySetIntProperty");
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_TL_INJECTED_FAILURE);
  // Injection comes before the checks: even bad arguments get the injected status.
  EXPECT_EQ(KrDeviceProxySetIntProperty(nullptr, nullptr, nullptr, 1), KR_STATUS_TL_INJECTED_FAILURE);
  FailCall("KrDeviceProxySeek");
  EXPECT_EQ(KrDeviceProxySeek(device, 0), KR_STATUS_TL_INJECTED_FAILURE);
  ClearFailures();
  EXPECT_EQ(IntOf(device, "Device", "Mirror"), 4u);  // the last value the loop above set
  // The Nth call counted from the reset fails once.
  ClearFailures();
  EXPECT_EQ(GetCallCount(), 0u);
  FailNthCall(2, 0x777);
  uint64_t value = 0;
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KrStatus(0x777));
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KR_STATUS_OK);
  EXPECT_EQ(GetCallCount(), 3u);
  ResetCallCount();
  EXPECT_EQ(GetCallCount(), 0u);
  // The journal records calls with their key arguments.
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KR_STATUS_OK);
  EXPECT_TRUE(GetJournal().empty());  // off until enabled
  EnableJournal(true);
  FailCall("KrDeviceProxyOpenStream", 0x999, 0, 1);
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Depth", "XRes", &value), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyOpenStream(device, "Depth"), KrStatus(0x999));
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, nullptr, "XRes", &value), KR_STATUS_OS_NULL_POINTER);
  // Property-set calls enter the kit like every other: a failure made for one leaves the set unchanged.
  PropertySet set;
  FailCall("KrPropertySetAddIntProperty", 0x888, 0, 1);
  EXPECT_EQ(KrPropertySetAddIntProperty(set.Get(), "Depth", "YRes", 480), KrStatus(0x888));
  EXPECT_EQ(KrPropertySetGetIntProperty(set.Get(), "Depth", "YRes", &value), KR_STATUS_OS_NOT_FOUND);
  EnableJournal(false);
  EXPECT_EQ(KrDeviceProxyCloseStream(device, "Depth"), KR_STATUS_OK);
  // Each entry as "call(args) -> injected status".
  std::vector<std::string> entries;
  for (const JournalEntry& entry : GetJournal()) {
    std::string args;
    for (const std::string& arg : entry.args) args += (args.empty() ? "" : ",") + arg;
    entries.push_back(entry.call + "(" + args + ") -> " + std::to_string(entry.injected));
  }
  EXPECT_EQ(entries,
            (std::vector<std::string>{
                "KrDeviceProxyGetIntProperty(Depth,XRes) -> 0", "KrDeviceProxyOpenStream(Depth) -> 2457",
                "KrDeviceProxyGetIntProperty((null),XRes) -> 0", "KrPropertySetCreate() -> 0",
                "KrPropertySetAddIntProperty(Depth,YRes) -> 2184", "KrPropertySetGetIntProperty(Depth,YRes) -> 0"}));
  const std::vector<JournalEntry> journal = GetJournal();
  EXPECT_TRUE(journal[0].device == device && journal[2].device == device);
  EXPECT_LT(journal[0].number, journal[1].number);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyGetIntProperty"), 2u);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyGetIntProperty", "Depth"), 1u);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyCloseStream"), 0u);
  ClearJournal();
  EXPECT_TRUE(GetJournal().empty());
  ClearFailures();
  FailCall("KrDeviceProxyDestroy", KR_STATUS_TL_DEVICE_BUSY, 0, 1);
  KrDeviceHandle copy = device;
  EXPECT_EQ(KrDeviceProxyDestroy(&copy), KR_STATUS_TL_DEVICE_BUSY);
  EXPECT_EQ(copy, device);
  EXPECT_EQ(KrDeviceProxyDestroy(&copy), KR_STATUS_OK);
  EXPECT_EQ(GetInjectedFailureCount(), 1u);
}

// A reading session failed at each kit call in turn: the failure reaches the caller, and all made so far is released.
TEST_F(TestingTest, FailingEachCallOfASessionInTurnIsClean) {
  ASSERT_EQ(DefineScript("sweep", CameraScript().Frame("Depth", {1, 2}, 10, 1)), KR_STATUS_OK);
  KrDeviceHandle device = nullptr;
  KrStreamDataSetHandle set = nullptr;
  KrStreamData* depth = nullptr;
  KrCallbackHandle registration = nullptr;
  KrDeviceConfig config{KR_DEVICE_MODE_READ, "scripted:sweep", nullptr, 0};
  const std::vector<std::function<KrStatus()>> steps = {
      [&] { return KrDeviceProxyCreate(&device, &config); },
      [&] { return KrStreamDataSetCreate(&set); },
      [&] { return KrDeviceProxyCreateStreamData(device, "Depth", &depth); },
      [&] { return KrStreamDataSetAdd(set, depth); },
      [&] {
        return KrDeviceProxyRegisterToNewStreamData(
            device, [](const KrNewStreamDataEventArgs&, void*) {}, nullptr, &registration);
      },
      [&] { return KrDeviceProxyOpenAllStreams(device); },
      [&] { return KrDeviceProxyRead(device, set); },
      [&] { return KrDeviceProxyUnregisterFromNewStreamData(device, registration); },
      [&] { return KrStreamDataSetRemove(set, depth); },
  };
  for (uint64_t n = 1; n <= steps.size() + 1; ++n) {
    SCOPED_TRACE(n);
    ClearFailures();
    FailNthCall(n, 0x4242);
    KrStatus status = KR_STATUS_OK;
    for (size_t step = 0; step < steps.size() && status == KR_STATUS_OK; ++step) status = steps[step]();
    EXPECT_EQ(GetInjectedFailureCount(), n <= steps.size() ? 1u : 0u);
    EXPECT_EQ(status, n <= steps.size() ? KrStatus(0x4242) : KR_STATUS_OK);
    EXPECT_TRUE(n <= steps.size() || depth->bIsNew == 1);
    ClearFailures();  // the release below is not part of the sweep
    EXPECT_TRUE(depth == nullptr || KrDeviceProxyDestroyStreamData(&depth) == KR_STATUS_OK);
    EXPECT_TRUE(set == nullptr || KrStreamDataSetDestroy(&set) == KR_STATUS_OK);
    EXPECT_TRUE(device == nullptr || KrDeviceProxyDestroy(&device) == KR_STATUS_OK);
  }
}

}  // namespace
}  // namespace tollan_test
