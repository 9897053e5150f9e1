// The folding CRC-32 kernels against zlib's crc32 (the zlib kernel).
#include <Tollan/src/file/Crc32.h>
#include <Tollan/src/file/RecordingFormat.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace tollan::recording {
namespace {

using crc::Kernel;

std::vector<uint8_t> Noise(size_t size) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 random(5);
  std::generate(bytes.begin(), bytes.end(), [&] { return uint8_t(random() >> 24); });
  return bytes;
}

class Crc32Kernels : public ::testing::TestWithParam<Kernel> {};

TEST_P(Crc32Kernels, MatchZlibForEveryLengthAlignmentStartAndChain) {
  if (!crc::Supported(GetParam())) GTEST_SKIP() << "this processor lacks the " << crc::Name(GetParam()) << " kernel";
  const std::vector<uint8_t> bytes = Noise((1u << 20) + 13);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t size = 0; size + offset <= 700; size += (size < 300 ? 1 : 7)) {
      for (uint32_t start : {0u, 0xFFFFFFFFu, 0x9E3779B9u}) {
        ASSERT_EQ(crc::Compute(GetParam(), bytes.data() + offset, size, start),
                  crc::Compute(Kernel::kZlib, bytes.data() + offset, size, start))
            << "offset " << offset << " size " << size << " start " << start;
      }
    }
  }
  const uint32_t whole = crc::Compute(Kernel::kZlib, bytes.data(), bytes.size(), 0);
  EXPECT_EQ(crc::Compute(GetParam(), bytes.data(), bytes.size(), 0), whole);
  uint32_t chained = 0;
  for (size_t at = 0; at < bytes.size();) {
    const size_t piece = std::min<size_t>(bytes.size() - at, 1000 + at % 4099);
    chained = crc::Compute(GetParam(), bytes.data() + at, piece, chained);
    at += piece;
  }
  EXPECT_EQ(chained, whole);
}

INSTANTIATE_TEST_SUITE_P(All, Crc32Kernels, ::testing::Values(Kernel::kClmul128, Kernel::kClmul256, Kernel::kClmul512),
                         [](const auto& info) { return std::string(crc::Name(info.param)); });

TEST(Crc32, TheRecordingsUseTheBestKernel) {
  EXPECT_TRUE(crc::Supported(crc::Best()));
  EXPECT_EQ(crc::InUse(), crc::Best());
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);  // the standard check value of this CRC
  EXPECT_EQ(Crc32(nullptr, 0, 77u), 77u);
  const std::vector<uint8_t> bytes = Noise(5000);
  for (Kernel kernel : {Kernel::kZlib, Kernel::kClmul128, Kernel::kClmul256, Kernel::kClmul512}) {
    const Kernel before = crc::InUse();
    EXPECT_EQ(crc::UseKernel(kernel), crc::Supported(kernel));
    EXPECT_EQ(crc::InUse(), crc::Supported(kernel) ? kernel : before);
    EXPECT_EQ(Crc32(bytes.data(), bytes.size()), crc::Compute(Kernel::kZlib, bytes.data(), bytes.size(), 0));
  }
  crc::UseKernel(crc::Best());
}

}  // namespace
}  // namespace tollan::recording
