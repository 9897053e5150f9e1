// RecordingWriter: writes one recording (RecordingFormat.h), append-only.
//
// Every call that adds a chunk hands the whole chunk to the kernel in one
// positioned write before it returns, so the file on disk is always a run
// of complete chunks: a process killed at any point leaves a recording that
// plays up to its last complete chunk. No fsync is made; a machine crash may
// lose the tail, which the reader then finds by its CRCs. A failed write
// (full disk, size limit) is cut off again, so the file still ends on a
// complete chunk; the call reports KR_STATUS_TL_FILE_WRITE_FAILED and later
// calls may try again. Close writes the index and the trailer.
//
// Ownership: the writer owns its file; the destructor closes it (writing
// the index). Threads: one thread at a time.
#pragma once

#include <Tollan/src/file/FrameCodec.h>
#include <Tollan/src/file/RecordingFormat.h>

#include <memory>

#include <string>
#include <vector>

namespace tollan {
namespace recording {

class RecordingWriter {
 public:
  RecordingWriter() = default;
  ~RecordingWriter();
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;

  // Creates or replaces the file; writes the header and the device's
  // properties. An open writer is closed first. Cannot create the file:
  // KR_STATUS_TL_FILE_OPEN_FAILED; cannot write it: ..._FILE_WRITE_FAILED.
  KrStatus Open(const char* path, const std::vector<Property>& deviceProperties);
  // Writes the index and trailer and closes the file; closed already: OK.
  KrStatus Close();
  bool IsOpen() const { return fd_ >= 0; }

  // Defines a stream; its id (0, 1, ... in order of definition) is stored in
  // stream.id and *id. A name in use: KR_STATUS_TL_STREAM_ALREADY_EXISTS.
  KrStatus AddStream(const StreamDefinition& stream, uint32_t* id);
  // Ends a stream; unknown or ended: KR_STATUS_TL_STREAM_NOT_FOUND.
  KrStatus RemoveStream(uint32_t id);
  // Stores the stream's frames from the next one on with another codec (the
  // stream's definition keeps the one it was created with; every frame says
  // how it is stored). Unknown or ended: KR_STATUS_TL_STREAM_NOT_FOUND.
  KrStatus SetCompression(uint32_t id, Compression compression);
  // Records a property change at the current place (after the frames
  // written so far).
  KrStatus AppendPropertyChange(const Property& property);
  // Appends one frame of a stream: frame.size bytes at data, stored as
  // given (or with the stream's codec when it asked for one and the frame
  // shrinks).
  KrStatus AppendFrame(const FrameInfo& frame, const void* data);

  uint64_t FrameCount(uint32_t streamId) const;  // frames appended to one stream
  uint64_t TotalFrames() const { return totalFrames_; }
  uint64_t Size() const { return committed_; }  // bytes of complete chunks in the file

 private:
  struct StreamState {
    std::string name;
    Compression compression;
    bool live;
    uint64_t frames;
    uint32_t width;  // pixels per row ("XRes"), the depth codec's hint; 0 when unknown
  };
  // One index entry (see RecordingFormat.h for its encoding).
  struct IndexEntry {
    uint64_t offset;
    uint64_t timestamp;
    uint32_t type;
    uint32_t streamId;
    uint32_t frameId;
    uint32_t length;
  };
  struct Part {
    const void* data;
    size_t size;
  };

  // Writes a chunk made of up to three payload parts at the end of the file;
  // on success remembers it in the index (when entry is given).
  KrStatus WriteChunk(uint32_t type, const Part* parts, int partCount, const IndexEntry* entry);
  KrStatus WriteMetadata(uint32_t type, const std::vector<uint8_t>& payload, uint32_t streamId);
  KrStatus WriteIndexAndTrailer();
  const StreamState* LiveStream(uint32_t id) const;

  int fd_ = -1;
  // End of the last complete chunk: where the next one goes.
  uint64_t committed_ = 0;
  // A failed write could not be cut off again: the file ends on a partial
  // chunk, so nothing more (not even the index) may follow it.
  bool broken_ = false;
  std::vector<StreamState> streams_;  // by id
  std::vector<IndexEntry> index_;     // every chunk but the index and trailer, in file order
  uint64_t totalFrames_ = 0;
  uint64_t lastTimestamp_ = 0;
  std::vector<uint8_t> payload_;     // metadata payload being built
  std::vector<uint8_t> compressed_;  // compressed frame being built
  std::unique_ptr<FrameCodec> codec_;  // made with the first compressed frame
};

}  // namespace recording
}  // namespace tollan
