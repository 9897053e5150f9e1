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
// With EncodeInBackground on (the "File" device turns it on), compressed
// frames are encoded off the caller's thread: AppendFrame copies
// the frame into a small queue (kQueueDepth frames) and returns; two
// encoder threads compress queued frames side by side and the chunks are
// written strictly in the order the frames were appended. When the queue is
// full, AppendFrame waits for room: no frame is ever dropped. While frames
// are queued, raw frames of other streams queue behind them (to keep the
// order); otherwise raw frames are written at once, as above. A failed
// background write is reported by the next call (AppendFrame, a metadata
// call, or Close), which then does nothing else (Close still finishes the
// file); only the frame whose write failed is missing. Metadata calls and
// Close first wait for the queue to empty. A process killed with frames
// queued loses those frames only: the file still ends on a complete chunk,
// but a frame appended is in the file only once the queue has moved past it
// (at the latest after the next metadata call or Close). Off (the default),
// every frame is in the file when AppendFrame returns.
//
// Ownership: the writer owns its file and its encoder threads (started with
// the first compressed frame, ended by Close); the destructor closes it
// (writing the index). Threads: one calling thread at a time.
#pragma once

#include <Tollan/src/file/FrameCodec.h>
#include <Tollan/src/file/RecordingFormat.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
  // Compresses frames on encoder threads from the next frame on (above).
  void EncodeInBackground(bool on) { background_ = on; }
  // Appends one frame of a stream: frame.size bytes at data, stored as
  // given (or with the stream's codec when it asked for one and the frame
  // shrinks).
  KrStatus AppendFrame(const FrameInfo& frame, const void* data);

  // The counts and the size cover the chunks written so far (queued frames
  // are not yet in them).
  uint64_t FrameCount(uint32_t streamId) const;  // frames written to one stream
  uint64_t TotalFrames() const;
  uint64_t Size() const;  // bytes of complete chunks in the file

  // Frames the queue holds at most, encoding or waiting to be written.
  static constexpr uint32_t kQueueDepth = 4;

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

  // A frame handed to the encoder threads: the caller's bytes copied, then
  // the stored bytes once encoded.
  struct Job {
    FrameInfo frame;
    Codec codec;     // kRaw: store as given
    uint32_t width;  // the depth codec's hint
    std::vector<uint8_t> data;
    std::vector<uint8_t> encoded;
    FrameEncoding encoding;
    bool ready;  // encoded, waiting for its turn to be written
  };

  // Chooses how a frame is stored: the encoded bytes when they are smaller.
  static Part Encode(FrameCodec* codec, Codec chosen, const FrameInfo& frame, const void* data, uint32_t width,
                     std::vector<uint8_t>* out, FrameEncoding* encoding);
  // Writes one frame chunk and counts it.
  KrStatus WriteFrame(const FrameInfo& frame, FrameEncoding encoding, Part stored);
  bool StartEncoders();  // false when no thread could be started
  void EncoderLoop();
  // Waits until every queued frame is written, then hands over (and clears)
  // an error a background write left behind.
  KrStatus Drain();
  // Ends the encoder threads (the queue must be empty).
  void StopEncoders();

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
  std::vector<uint8_t> compressed_;  // a frame compressed on the caller's thread (no encoder threads)
  std::unique_ptr<FrameCodec> codec_;  // made with the first such frame

  // The queue: jobs_[n % kQueueDepth] holds frame number n. Frames below
  // written_ are in the file; taken_ .. queued_ wait for an encoder; the
  // caller fills the next slot only when queued_ - written_ < kQueueDepth.
  // While frames are queued, only the thread writing them (writing_) touches
  // the file, committed_, index_ and the counts; the caller touches them
  // after Drain. mutex_ guards the counters below, the counts and failed_.
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // a frame queued, encoded or written; stop asked
  Job jobs_[kQueueDepth];
  uint64_t queued_ = 0;
  uint64_t taken_ = 0;
  uint64_t written_ = 0;
  bool writing_ = false;
  bool background_ = false;  // set by the caller only
  bool stopping_ = false;
  KrStatus failed_ = KR_STATUS_OK;  // the first background write that failed, not yet reported
  std::vector<std::thread> encoders_;
};

}  // namespace recording
}  // namespace tollan
