// libFuzzer target: the recording reader on arbitrary bytes. Opens the input
// as a recording, plays it to the end reading every frame, and seeks and
// tells on the way; any crash, leak, overflow or undefined behaviour is a
// finding. Seeds: tests/fuzz/corpus/recording (made by MakeRecordingCorpus).
#include <Tollan/src/file/RecordingReader.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace tollan::recording;

// One file name per fuzzing process; the file lives only while an input is
// opened (the reader keeps its descriptor), so none is left behind.
const std::string& InputPath() {
  static const std::string path = [] {
    // Memory-backed when the machine has it: one file write per input.
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr || *base == '\0') {
      base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    }
    std::string pattern = std::string(base) + "/recording-fuzz-XXXXXX";
    const int fd = mkstemp(&pattern[0]);
    if (fd < 0) {
      std::perror("mkstemp");
      std::abort();
    }
    close(fd);
    return pattern;
  }();
  return path;
}

void Store(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(InputPath().c_str(), "wb");
  if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0) {
    std::abort();
  }
}

void Play(RecordingReader& reader, std::vector<uint8_t>* buffer) {
  Item item;
  for (int steps = 0; steps < 10000; ++steps) {
    const KrStatus status = reader.Next(&item);
    if (status == KR_STATUS_TL_END_OF_FILE) {
      return;
    }
    if (status == KR_STATUS_OK && item.kind == Item::Kind::kFrame) {
      // Sizes are bounded by the reader (deflate's ratio times the stored
      // bytes), so this stays small for small inputs.
      buffer->resize(item.frame.size);
      reader.ReadFrameData(buffer->data(), uint32_t(buffer->size()));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Store(data, size);
  RecordingReader reader;
  const KrStatus status = reader.Open(InputPath().c_str());
  unlink(InputPath().c_str());
  if (status != KR_STATUS_OK) {
    return 0;
  }
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
