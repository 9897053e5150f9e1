#include <Tollan/Tollan.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// Records every callback as "cookie-name:module.property".
struct Journal {
  std::vector<std::string> calls;
  std::function<void()> onCall;  // runs once, inside the next callback, after recording
};

struct Listener {
  Journal* journal;
  const char* name;
};

KrStatus Record(const KrProperty& property, void* cookie) {
  auto* listener = static_cast<Listener*>(cookie);
  listener->journal->calls.push_back(std::string(listener->name) + ":" + property.GetModule() + "." +
                                     property.GetName());
  std::function<void()> action = std::move(listener->journal->onCall);
  listener->journal->onCall = nullptr;
  if (action) action();
  return KR_STATUS_OK;
}

TEST(KrPropertyTest, TypedReadsAndWritesCheckTheType) {
  KrActualIntProperty i("i", 7);
  KrActualRealProperty r("r", 1.5);
  KrActualStringProperty s("s", "abc");
  uint64_t iv = 0;
  double rv = 0;
  char sv[KR_MAX_NAME_LENGTH];
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_TYPE, i.GetValue(&rv));
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_TYPE, i.SetValue(2.0));
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_TYPE, i.UnsafeUpdateValue("x"));
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_TYPE, r.SetValue(uint64_t{1}));
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_TYPE, s.GetValue(&iv));
  EXPECT_EQ(7u, i.GetValue());

  const std::string tooLong(KR_MAX_NAME_LENGTH, 'x');
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_SIZE, s.SetValue(tooLong.c_str()));
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, s.SetValue(static_cast<const char*>(nullptr)));
  s.GetValue(sv);
  EXPECT_STREQ("abc", sv);

  // A bare property of a type holds no value.
  KrProperty bare(KR_PROPERTY_TYPE_INTEGER, "bare", "M");
  EXPECT_EQ(KR_STATUS_TL_NOT_SUPPORTED, bare.SetValue(uint64_t{1}));
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_TYPE, bare.SetValue(1.0));
}

TEST(KrPropertyTest, GeneralValuesNeedTheExactSize) {
  uint32_t storage = 0x11223344;
  KrActualGeneralProperty g("g", &storage, sizeof(storage));
  uint64_t wide = 0;
  uint32_t value = 0xAABBCCDD;
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_SIZE, g.SetValue(KrGeneralBuffer{&wide, sizeof(wide)}));
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_SIZE, g.GetValue(KrGeneralBuffer{&wide, sizeof(wide)}));
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, g.SetValue(KrGeneralBuffer{nullptr, sizeof(value)}));
  EXPECT_EQ(0x11223344u, storage);
  EXPECT_EQ(0u, wide);

  EXPECT_EQ(KR_STATUS_OK, g.SetValue(KrGeneralBuffer{&value, sizeof(value)}));
  EXPECT_EQ(0xAABBCCDDu, storage);
  storage = 5;
  uint32_t out = 0;
  EXPECT_EQ(KR_STATUS_OK, g.GetValue(KrGeneralBuffer{&out, sizeof(out)}));
  EXPECT_EQ(5u, out);
}

TEST(KrPropertyTest, CallbacksFireOncePerChangeInOrderUntilUnregistered) {
  Journal journal;
  Listener first{&journal, "1"}, second{&journal, "2"};
  KrActualIntProperty property("p", 0, "M");
  KrCallbackHandle a = nullptr, b = nullptr;
  ASSERT_EQ(KR_STATUS_OK, property.RegisterForOnValueChanged(Record, &first, &a));
  ASSERT_EQ(KR_STATUS_OK, property.RegisterForOnValueChanged(Record, &second, &b));
  EXPECT_NE(a, b);

  property.UnsafeUpdateValue(uint64_t{0});  // an equal value still counts as a change
  property.SetValue(uint64_t{3});
  EXPECT_EQ((std::vector<std::string>{"1:M.p", "2:M.p", "1:M.p", "2:M.p"}), journal.calls);

  journal.calls.clear();
  EXPECT_EQ(KR_STATUS_OK, property.UnregisterFromOnValueChanged(a));
  EXPECT_EQ(KR_STATUS_TL_BAD_REGISTRATION, property.UnregisterFromOnValueChanged(a));
  EXPECT_EQ(KR_STATUS_TL_BAD_REGISTRATION, property.UnregisterFromOnValueChanged(nullptr));
  property.SetValue(uint64_t{4});
  EXPECT_EQ((std::vector<std::string>{"2:M.p"}), journal.calls);

  // A refused value is not a change.
  journal.calls.clear();
  EXPECT_NE(KR_STATUS_OK, property.SetValue(1.0));
  EXPECT_TRUE(journal.calls.empty());
}

TEST(KrPropertyTest, CallbacksMayChangeRegistrationsWhileRaised) {
  Journal journal;
  Listener self{&journal, "self"}, later{&journal, "later"}, added{&journal, "added"};
  KrActualIntProperty property("p", 0, "M");
  KrCallbackHandle selfHandle = nullptr, laterHandle = nullptr, addedHandle = nullptr;
  property.RegisterForOnValueChanged(Record, &self, &selfHandle);
  property.RegisterForOnValueChanged(Record, &later, &laterHandle);

  // The first callback removes itself and the next one, and registers a new one.
  journal.onCall = [&] {
    EXPECT_EQ(KR_STATUS_OK, property.UnregisterFromOnValueChanged(selfHandle));
    EXPECT_EQ(KR_STATUS_OK, property.UnregisterFromOnValueChanged(laterHandle));
    for (int n = 0; n < 16; ++n) {  // enough to make the list reallocate
      ASSERT_EQ(KR_STATUS_OK, property.RegisterForOnValueChanged(Record, &added, &addedHandle));
      if (n > 0) property.UnregisterFromOnValueChanged(addedHandle);
    }
  };
  property.SetValue(uint64_t{1});
  EXPECT_EQ((std::vector<std::string>{"self:M.p"}), journal.calls);

  journal.calls.clear();
  property.SetValue(uint64_t{2});
  EXPECT_EQ((std::vector<std::string>{"added:M.p"}), journal.calls);

  // A callback that changes the value again raises a nested round.
  journal.calls.clear();
  journal.onCall = [&] { property.SetValue(uint64_t{3}); };
  property.SetValue(uint64_t{2});
  EXPECT_EQ(2u, journal.calls.size());
  EXPECT_EQ(3u, property.GetValue());
}

TEST(KrDeviceModuleTest, UnknownPropertiesGivePropertyNotFound) {
  KrDeviceModule module("M");
  ASSERT_EQ(KR_STATUS_OK, module.Init());
  uint64_t i;
  double r;
  char s[KR_MAX_NAME_LENGTH];
  KrPropertyType type;
  KrCallbackHandle handle = nullptr;
  int exists = 1;
  const KrStatus statuses[] = {
      module.GetProperty("x", &i),
      module.GetProperty("x", &r),
      module.GetProperty("x", s),
      module.GetProperty("x", KrGeneralBuffer{&i, sizeof(i)}),
      module.SetProperty("x", uint64_t{1}),
      module.SetProperty("x", 1.0),
      module.SetProperty("x", "v"),
      module.SetProperty("x", KrGeneralBuffer{&i, sizeof(i)}),
      module.GetPropertyType("x", &type),
      module.DoesPropertyExist("x", &exists),
      module.RegisterForOnPropertyValueChanged("x", Record, nullptr, &handle),
      module.UnregisterFromOnPropertyValueChanged("x", handle),
  };
  for (size_t n = 0; n < sizeof(statuses) / sizeof(statuses[0]); ++n) {
    EXPECT_EQ(KR_STATUS_TL_PROPERTY_NOT_FOUND, statuses[n]) << "operation " << n;
  }
  EXPECT_EQ(0, exists);
  EXPECT_EQ(nullptr, module.FindProperty("x"));
}

TEST(KrDeviceModuleTest, AddPropertiesNamesModulesAndRefusesDuplicates) {
  KrDeviceModule module("Owner");
  KrActualIntProperty unnamed("a", 1);
  KrActualRealProperty named("b", 2.0, "Elsewhere");
  KrActualIntProperty duplicate("a", 3);
  KrActualIntProperty after("c", 4);
  KrProperty* properties[] = {&unnamed, &named, &duplicate, &after};
  EXPECT_EQ(KR_STATUS_TL_PROPERTY_ALREADY_EXISTS, module.AddProperties(properties, 4));
  EXPECT_STREQ("Owner", unnamed.GetModule());
  EXPECT_STREQ("Elsewhere", named.GetModule());
  EXPECT_EQ(nullptr, module.FindProperty("c"));  // adding stopped at the duplicate

  uint64_t value = 0;
  EXPECT_EQ(KR_STATUS_OK, module.GetProperty("a", &value));
  EXPECT_EQ(1u, value);
  int exists = 0;
  EXPECT_EQ(KR_STATUS_OK, module.DoesPropertyExist("b", &exists));
  EXPECT_EQ(1, exists);
  KrPropertyType type;
  EXPECT_EQ(KR_STATUS_OK, module.GetPropertyType("b", &type));
  EXPECT_EQ(KR_PROPERTY_TYPE_REAL, type);
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_TYPE, module.SetProperty("b", "text"));
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, module.AddProperties(nullptr, 1));
}

// A per-stream module as the engine builds one: frame fields named after the
// stream, the "Buffer" value held in a pointer-sized field.
class StreamModule : public KrDeviceModule {
 public:
  explicit StreamModule(const char* stream)
      : KrDeviceModule(("InternalKrVDevice." + std::string(stream)).c_str()),
        timestamp_("Timestamp", 0, stream),
        frameId_("FrameId", 0, stream),
        isNew_("IsNew", 0, stream),
        bufferSize_("BufferSize", 0, stream),
        buffer_("Buffer", &bufferAddress_, sizeof(bufferAddress_), stream) {}

  KrStatus Init() override {
    KrStatus status = KrDeviceModule::Init();
    if (status != KR_STATUS_OK) return status;
    KrProperty* properties[] = {&timestamp_, &frameId_, &isNew_, &bufferSize_, &buffer_};
    return AddProperties(properties, 5);
  }

  KrStatus Publish(uint64_t timestamp, uint32_t frameId, void* data) {
    KrStatus status = timestamp_.UnsafeUpdateValue(timestamp);
    if (status == KR_STATUS_OK) status = frameId_.UnsafeUpdateValue(uint64_t{frameId});
    if (status == KR_STATUS_OK) status = buffer_.UnsafeUpdateValue(KrGeneralBuffer{&data, sizeof(data)});
    return status;
  }

  void* bufferAddress() const { return bufferAddress_; }

 private:
  KrActualIntProperty timestamp_, frameId_, isNew_, bufferSize_;
  KrActualGeneralProperty buffer_;
  void* bufferAddress_ = nullptr;
};

TEST(KrDeviceModuleTest, PerStreamModuleRaisesFrameFieldChanges) {
  StreamModule stream("Depth");
  ASSERT_EQ(KR_STATUS_OK, stream.Init());
  EXPECT_STREQ("InternalKrVDevice.Depth", stream.GetName());
  EXPECT_EQ(KR_STATUS_TL_PROPERTY_ALREADY_EXISTS, stream.Init());  // the fields are there once

  Journal journal;
  Listener listener{&journal, "h"};
  KrCallbackHandle timestamp = nullptr, buffer = nullptr;
  ASSERT_EQ(KR_STATUS_OK, stream.RegisterForOnPropertyValueChanged("Timestamp", Record, &listener, &timestamp));
  ASSERT_EQ(KR_STATUS_OK, stream.RegisterForOnPropertyValueChanged("Buffer", Record, &listener, &buffer));
  // A registration belongs to its property.
  EXPECT_EQ(KR_STATUS_TL_BAD_REGISTRATION, stream.UnregisterFromOnPropertyValueChanged("FrameId", timestamp));

  char frame[16];
  ASSERT_EQ(KR_STATUS_OK, stream.Publish(1000, 1, frame));
  EXPECT_EQ((std::vector<std::string>{"h:Depth.Timestamp", "h:Depth.Buffer"}), journal.calls);
  EXPECT_EQ(static_cast<void*>(frame), stream.bufferAddress());
  void* address = nullptr;
  EXPECT_EQ(KR_STATUS_OK, stream.GetProperty("Buffer", KrGeneralBuffer{&address, sizeof(address)}));
  EXPECT_EQ(static_cast<void*>(frame), address);
  uint64_t frameId = 0;
  EXPECT_EQ(KR_STATUS_OK, stream.GetProperty("FrameId", &frameId));
  EXPECT_EQ(1u, frameId);

  // Writes through the module raise callbacks too, until unregistered.
  journal.calls.clear();
  EXPECT_EQ(KR_STATUS_OK, stream.SetProperty("Timestamp", uint64_t{2000}));
  EXPECT_EQ(KR_STATUS_OK, stream.UnregisterFromOnPropertyValueChanged("Timestamp", timestamp));
  stream.Publish(3000, 2, frame);
  EXPECT_EQ((std::vector<std::string>{"h:Depth.Timestamp", "h:Depth.Buffer"}), journal.calls);
}

}  // namespace
