// Writes the seed corpus of RecordingReaderFuzz into a directory: a few small
// recordings that reach every chunk type, with and without their index.
//   MakeRecordingCorpus tests/fuzz/corpus/recording
#include <Tollan/src/file/RecordingWriter.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace tollan::recording;

std::vector<uint8_t> Pattern(uint32_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (uint32_t i = 0; i < size; ++i) {
    bytes[i] = uint8_t(i / 16 + seed);  // runs, so deflate shrinks it
  }
  return bytes;
}

// Two streams, three rounds of frames, changes of two types, a removal.
// Returns the size before the index, for the copies cut there.
uint64_t WriteFull(const std::string& path, Compression depthCompression) {
  const uint8_t agc[] = {1, 0, 0x20, 0x03, 0xB8, 0x0B};
  RecordingWriter writer;
  uint32_t depth = 0;
  uint32_t image = 0;
  writer.Open(path.c_str(), {{"Device", "ReadWriteMode", Value::Int(1)},
                             {"Device", "Gain", Value::Real(1.5)},
                             {"Device", "PhysicalDeviceName", Value::String("File")},
                             {"Depth", "AGCBin", Value::General(agc, sizeof(agc))}});
  writer.AddStream({0, "Depth", "Depth", depthCompression, {{"Depth", "OutputFormat", Value::Int(1)}}}, &depth);
  writer.AddStream({0, "Image", "Image", Compression::kNone, {{"Image", "OutputFormat", Value::Int(5)}}}, &image);
  for (uint32_t n = 1; n <= 3; ++n) {
    const std::vector<uint8_t> d = Pattern(8 * 4 * 2, n);
    const std::vector<uint8_t> c = Pattern(4 * 2 * 3, n + 50);
    writer.AppendFrame({depth, n, n * 33333ull, uint32_t(d.size())}, d.data());
    writer.AppendFrame({image, n, n * 33333ull + 10, uint32_t(c.size())}, c.data());
    if (n == 1) {
      writer.AppendPropertyChange({"Depth", "Mirror", Value::Int(1)});
    }
    if (n == 2) {
      writer.AppendPropertyChange({"Image", "Flags", Value::String("Mirror")});
    }
  }
  writer.RemoveStream(image);
  const uint64_t beforeIndex = writer.Size();
  writer.Close();
  return beforeIndex;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const uint64_t indexAt = WriteFull(dir + "/indexed.rec", Compression::kNone);
  WriteFull(dir + "/unclosed.rec", Compression::kNone);
  WriteFull(dir + "/deflated.rec", Compression::kZlib);
  if (truncate((dir + "/unclosed.rec").c_str(), off_t(indexAt)) != 0) {
    return 1;
  }
  WriteFull(dir + "/cut.rec", Compression::kNone);
  if (truncate((dir + "/cut.rec").c_str(), off_t(indexAt / 2)) != 0) {
    return 1;
  }
  RecordingWriter empty;
  empty.Open((dir + "/empty.rec").c_str(), {});
  return empty.Close() == KR_STATUS_OK ? 0 : 1;
}
