// libFuzzer target: the recording reader plays, seeks and tells in arbitrary bytes. Seeds (corpus/recording): version 1
// recordings the recording tests also play (keep them) and a version 2 one with frames of every codec.
#include <Tollan/src/file/RecordingReader.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace tollan::recording;

// Frame sizes are bounded by the reader (deflate's ratio times the stored bytes).
static void Play(RecordingReader& reader, std::vector<uint8_t>* buffer) {
  Item item;
  KrStatus status = KR_STATUS_OK;
  for (int steps = 0; steps < 10000 && status != KR_STATUS_TL_END_OF_FILE; ++steps) {
    status = reader.Next(&item);
    if (status == KR_STATUS_OK && item.kind == Item::Kind::kFrame) {
      buffer->resize(item.frame.size);
      reader.ReadFrameData(buffer->data(), uint32_t(buffer->size()));
    }
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("recording-fuzz", 0);  // the input as a file the reader opens by its path
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) std::abort();
  RecordingReader reader;
  if (reader.Open(path.c_str()) != KR_STATUS_OK) return 0;
  std::vector<uint8_t> buffer;
  Play(reader, &buffer);
  for (const StreamDefinition& stream : reader.Streams()) {
    const uint64_t count = reader.FrameCount(stream.id);
    FrameInfo frame;
    if (count > 0 && reader.GetFrame(stream.id, count - 1, &frame) == KR_STATUS_OK) {
      reader.SeekTime(stream.id, frame.timestamp / 2);
      reader.TellFrame(stream.id);
      reader.SeekFrame(stream.id, count / 2);
      reader.ChangesBeforeCursor();
      Play(reader, &buffer);
    }
  }
  reader.SeekTime(RecordingReader::kAllStreams, 1000);
  reader.TellTime();
  Play(reader, &buffer);
  return 0;
}
