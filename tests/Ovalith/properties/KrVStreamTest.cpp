#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/properties/KrVStream.h>
#include <gtest/gtest.h>

#include <vector>

#include "Ovalith/properties/FakeStreamContainer.h"

namespace {

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AddStream("Source", source, sourceBytes, 1);
    AddStream("Target", target, targetBytes, 2);
    device.SetInt("Source", "BufferSize", 8);
    device.SetInt("Source", "Timestamp", 77);
    device.SetInt("Target", "IsNew", 0);
    device.journal.clear();
  }
  void AddStream(const char* name, KrVStream& stream, std::vector<unsigned char>& bytes, unsigned char fill) {
    bytes.assign(8, fill);
    device.AddModule(name);
    device.SetPointer(name, "Buffer", bytes.data());
    device.SetInt(name, "BufferSize", 0);
    device.SetInt(name, "RequiredDataSize", bytes.size());
    device.SetInt(name, "Timestamp", 0);
    device.SetInt(name, "IsNew", 0);
    ASSERT_EQ(KR_STATUS_OK, stream.Attach(&device, name));
  }
  FakeStreamContainer device;
  KrVStream source;
  KrVStream target;
  std::vector<unsigned char> sourceBytes;
  std::vector<unsigned char> targetBytes;
};

TEST_F(StreamTest, BufferAndSizes) {
  void* address = nullptr;
  EXPECT_EQ(KR_STATUS_OK, source.GetBuffer(address));
  EXPECT_EQ(sourceBytes.data(), address);
  uint32_t size = 5;
  device.SetInt("Source", "BufferSize", 0x100000008ull);  // only the low 32 bits count
  EXPECT_EQ(KR_STATUS_OK, source.GetBufferSize(size));
  EXPECT_EQ(8u, size);
  device.Fail("Source", "BufferSize", 0x30999);
  size = 5;
  EXPECT_EQ(0x30999u, source.GetBufferSize(size));
  EXPECT_EQ(5u, size);
  EXPECT_EQ(KR_STATUS_OK, source.GetBufferAllocatedSize(size));
  EXPECT_EQ(8u, size);
}

TEST_F(StreamTest, CopyFromStreamTakesTheSourceTimestampWhenGivenZero) {
  ASSERT_EQ(KR_STATUS_OK, target.CopyFrom(source, 0));  // exactly the capacity
  EXPECT_EQ(sourceBytes, targetBytes);
  EXPECT_EQ(8u, device.Int("Target", "BufferSize"));
  EXPECT_EQ(77u, device.Int("Target", "Timestamp"));
  EXPECT_EQ(1u, device.Int("Target", "IsNew"));
  ASSERT_EQ(KR_STATUS_OK, target.CopyFrom(source, 5));
  EXPECT_EQ(5u, device.Int("Target", "Timestamp"));
  device.Fail("Source", "Timestamp", 0x30999);  // ignored: the frame gets 0
  ASSERT_EQ(KR_STATUS_OK, target.CopyFrom(source, 0));
  EXPECT_EQ(0u, device.Int("Target", "Timestamp"));
}

TEST_F(StreamTest, FrameLargerThanCapacityChangesNothing) {
  device.SetInt("Target", "RequiredDataSize", 7);
  EXPECT_EQ(KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW, target.CopyFrom(source, 0));
  EXPECT_EQ(std::vector<unsigned char>(8, 2), targetBytes);
  EXPECT_EQ(0u, device.Int("Target", "BufferSize"));
  EXPECT_EQ(0u, device.Int("Target", "IsNew"));
}

TEST_F(StreamTest, CopyFromMemory) {
  const unsigned char data[3] = {9, 8, 7};
  ASSERT_EQ(KR_STATUS_OK, target.CopyFrom(data, 3, 0));
  EXPECT_EQ(9, targetBytes[0]);
  EXPECT_EQ(7, targetBytes[2]);
  EXPECT_EQ(2, targetBytes[3]);
  EXPECT_EQ(0u, device.Int("Target", "Timestamp"));  // stored as given
  ASSERT_EQ(KR_STATUS_OK, target.CopyFrom(nullptr, 0, 4));
  EXPECT_EQ(0u, device.Int("Target", "BufferSize"));
  EXPECT_EQ(1u, device.Int("Target", "IsNew"));
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, target.CopyFrom(nullptr, 1, 4));
  EXPECT_EQ(KR_STATUS_OK, target.CopyFrom(target, 0));  // onto itself
}

TEST_F(StreamTest, FailedSetLeavesTheEarlierOnes) {
  device.Fail("Target", "Timestamp", 0x30999);
  EXPECT_EQ(0x30999u, target.CopyFrom(source, 5));
  EXPECT_EQ(sourceBytes, targetBytes);
  EXPECT_EQ(8u, device.Int("Target", "BufferSize"));
  EXPECT_EQ(0u, device.Int("Target", "IsNew"));
}

TEST_F(StreamTest, DetachedStreamFailsEverything) {
  KrVStream detached;
  void* address = nullptr;
  uint32_t size = 0;
  EXPECT_EQ(KR_STATUS_OS_ERROR, detached.GetBuffer(address));
  EXPECT_EQ(KR_STATUS_OS_ERROR, detached.GetBufferSize(size));
  EXPECT_EQ(KR_STATUS_OS_ERROR, detached.CopyFrom(source, 0));
  EXPECT_EQ(KR_STATUS_OS_ERROR, target.CopyFrom(detached, 0));
  KrVStream copy(target);
  EXPECT_STREQ("Target", copy.GetName());
}

}  // namespace
