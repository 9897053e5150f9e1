// libFuzzer target: the frame decoders on codec (1 byte), frame size (u16 LE) and encoded bytes; what decodes must
// survive the encoder's round trip. Seeds (corpus/codec): a 24x16 depth frame (wall, box, hole) in each codec.
#include <Tollan/src/file/FrameCodec.h>

#include <cstdlib>
#include <vector>

using namespace tollan::recording;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static FrameCodec codec;  // kept between inputs, as a reader keeps its own
  const Codec which = Codec(data[0] % (kLastCodec + 1));
  const uint32_t frameSize = uint32_t(data[1] | data[2] << 8);
  std::vector<uint8_t> frame(frameSize);
  if (codec.Decode(which, data + 3, size - 3, frame.data(), frameSize) != DecodeStatus::kOk) return 0;
  std::vector<uint8_t> encoded, again(frameSize);
  if (which != Codec::kRaw && codec.Encode(which, frame.data(), frameSize, 7, &encoded) &&
      (codec.Decode(which, encoded.data(), encoded.size(), again.data(), frameSize) != DecodeStatus::kOk ||
       again != frame)) {
    std::abort();  // the encoder made something its own decoder does not give back
  }
  return 0;
}
