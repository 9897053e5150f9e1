// The older interface's init stream properties: the four stream tables,
// their "State" entries, refused names and independent copies.
#include <Ovalith/Ovalith.h>

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(KrVInitStreamPropertiesTest, StateEntriesAndPropertiesOfSeparateTables) {
  KrVInitStreamProperties props;
  EXPECT_EQ(props.GetConfigure(), 1);
  ASSERT_EQ(props.AddStream("IR"), KR_STATUS_OK);
  EXPECT_EQ(props.IsStream("IR"), 1);
  EXPECT_EQ(props.IsStream("Image"), 0);  // tables are separate
  ASSERT_EQ(props.RemoveStream("IR"), KR_STATUS_OK);
  EXPECT_EQ(props.IsStream("IR"), 0);
  EXPECT_EQ(props.IsProperty("IR", "State"), 1);
  ASSERT_EQ(props.AddProperty("Depth", "State", 7), KR_STATUS_OK);
  EXPECT_EQ(props.IsStream("Depth"), 7);
  // Properties overwrite, and a failed read or removal touches nothing.
  ASSERT_EQ(props.AddProperty("Depth", "XRes", 320), KR_STATUS_OK);
  ASSERT_EQ(props.AddProperty("Depth", "XRes", 640), KR_STATUS_OK);
  uint32_t value = 0;
  ASSERT_EQ(props.GetProperty("Depth", "XRes", value), KR_STATUS_OK);
  EXPECT_EQ(value, 640u);
  EXPECT_EQ(props.RemoveProperty("Audio", "SampleRate"), KR_STATUS_OS_NOT_FOUND);
  ASSERT_EQ(props.RemoveProperty("Depth", "XRes"), KR_STATUS_OK);
  EXPECT_EQ(props.GetProperty("Depth", "XRes", value), KR_STATUS_OS_NOT_FOUND);
  EXPECT_EQ(value, 640u);
  EXPECT_EQ(props.IsProperty("Depth", "XRes"), 0);
}

TEST(KrVInitStreamPropertiesTest, NamesOtherThanTheFourAreRefused) {
  KrVInitStreamProperties props;
  uint32_t value = 3;
  for (const char* name : {"depth", "Shifts", "", "IR "}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(props.AddStream(name), KR_STATUS_OS_ERROR);
    EXPECT_EQ(props.RemoveStream(name), KR_STATUS_OS_ERROR);
    EXPECT_EQ(props.AddProperty(name, "XRes", 1), KR_STATUS_OS_ERROR);
    EXPECT_EQ(props.RemoveProperty(name, "XRes"), KR_STATUS_OS_ERROR);
    EXPECT_EQ(props.GetProperty(name, "XRes", value), KR_STATUS_OS_ERROR);
    EXPECT_EQ(props.IsStream(name), 0);
    EXPECT_EQ(props.IsProperty(name, "XRes"), 0);
  }
  EXPECT_EQ(value, 3u);
}

TEST(KrVInitStreamPropertiesTest, CopiesAreIndependent) {
  KrVInitStreamProperties source;
  ASSERT_EQ(source.AddProperty("Audio", "SampleRate", 44100), KR_STATUS_OK);
  source.SetConfigure(0);
  auto target = std::make_unique<KrVInitStreamProperties>();
  ASSERT_EQ(target->AddProperty("Depth", "FPS", 60), KR_STATUS_OK);
  *target = source;
  KrVInitStreamProperties copy(source);
  ASSERT_EQ(source.AddProperty("Audio", "SampleRate", 8000), KR_STATUS_OK);
  const KrVInitStreamProperties& alias = source;
  source = alias;  // self-assignment keeps the tables
  for (KrVInitStreamProperties* props : {target.get(), &copy}) {
    uint32_t rate = 0;
    ASSERT_EQ(props->GetProperty("Audio", "SampleRate", rate), KR_STATUS_OK);
    EXPECT_EQ(rate, 44100u);
    EXPECT_EQ(props->GetConfigure(), 0);
  }
  EXPECT_EQ(target->IsProperty("Depth", "FPS"), 0);  // the old tables are gone
  target.reset();                                    // destroying the copies in any order is safe
  uint32_t rate = 0;
  ASSERT_EQ(source.GetProperty("Audio", "SampleRate", rate), KR_STATUS_OK);
  EXPECT_EQ(rate, 8000u);
}

}  // namespace
