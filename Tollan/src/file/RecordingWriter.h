// RecordingWriter: writes one recording (RecordingFormat.h), append-only.
//
// When a frame is in the file. Raw frames, stream and property changes and
// (with background encoding off) compressed frames are handed to the kernel
// before the call returns. With EncodeInBackground on, a compressed frame is
// only *queued* when AppendFrame returns: AppendFrame says which through its
// `landed` argument (kWritten or kQueued), FrameCount/TotalFrames count only
// the frames in the file, and Flush waits until every queued frame is there
// (Flush(true) also forces the file to the disk). A frame that was written
// (landed kWritten, counted, or appended before a Flush that returned OK)
// survives the process being killed; a queued one may not.
//
// Every chunk goes to the kernel in one positioned write, so the file on
// disk is always a run of complete chunks: a process killed at any point
// leaves a recording that plays up to its last complete chunk. No fsync is
// made except by Flush(true); a machine crash may lose the tail, which the
// reader then finds by its CRCs. A failed write (full disk, size limit) is
// cut off again, so the file still ends on a complete chunk; the call
// reports KR_STATUS_TL_FILE_WRITE_FAILED, LastFailure() says what was lost
// (which frame of which stream, a metadata chunk, or the index) and the
// system's errno, and later calls may try again.
//
// Background encoding: AppendFrame copies a compressed frame into a queue of
// kQueueDepth frames and returns; two encoder threads compress queued
// frames side by side and the chunks are written strictly in the order the
// frames were appended. When the queue is full, AppendFrame waits for room
// (no frame is dropped) and FellBehind() names the codec it waited for.
// While frames are queued, raw frames of other streams queue behind them (to
// keep the order). A failed background write is reported by the next call
// (AppendFrame, a metadata call, Flush or Close). AppendFrame still takes
// its own frame (and sets *landed) before it returns the earlier failure, so
// a caller must not append that frame again (FramesTaken tells); a metadata
// call does nothing else; Flush and Close have waited for the queue.
// LastFailure() then names the first frame lost and counts the queued
// frames lost after it before the report ("and 3 queued frames after it");
// no other frame is missing. Metadata calls, Flush and Close first wait for
// the queue to empty.
//
// Close writes the index and the trailer. It returns the index's failure
// when the index could not be written; otherwise a frame failure not yet
// reported (LastFailure().what == kFrame: the file was still closed with its
// index); otherwise OK.
//
// Ownership: the writer owns its file and its encoder threads (started with
// the first compressed frame, ended by Close); the destructor closes it
// (writing the index). Threads: one calling thread at a time; the counts,
// Queued and FellBehind may also be read from other threads.
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
  // Where a frame is when AppendFrame returns OK.
  enum class Landed { kWritten, kQueued };
  // Appends one frame of a stream: frame.size bytes at data, stored as
  // given (or with the stream's codec when it asked for one and the frame
  // shrinks). *landed (when not null) says whether the frame is in the file
  // or queued for an encoder; it is set whenever the frame was taken: on OK,
  // and when the call fails only to report an earlier queued frame's
  // failure (LastFailure() then names that frame, not this one). A frame
  // whose own write fails is not taken and leaves *landed as it was.
  KrStatus AppendFrame(const FrameInfo& frame, const void* data, Landed* landed);
  // Waits until every queued frame is in the file; durable: then forces the
  // file to the disk (fdatasync). Returns a background failure not yet
  // reported, or the sync's.
  KrStatus Flush(bool durable);

  // What a failed call could not write.
  struct WriteFailure {
    enum class What { kNone, kFrame, kMetadata, kIndex, kSync };
    What what = What::kNone;
    int error = 0;         // the system's errno (0 when it gave none)
    std::string stream;    // kFrame: the stream's name
    uint64_t ordinal = 0;  // kFrame: the frame's number in its stream, from 1
    uint32_t frameId = 0;  // kFrame
    uint64_t alsoLost = 0;  // kFrame: queued frames lost after it before it was reported
    // "frame 3 (id 7) of stream Depth", "the index", ...; "" for kNone.
    std::string Describe() const;
  };
  // The failure the last failing call returned (kNone before any).
  const WriteFailure& LastFailure() const { return lastFailure_; }

  // The counts and the size cover the chunks written so far (queued frames
  // are not yet in them).
  uint64_t FrameCount(uint32_t streamId) const;  // frames written to one stream
  uint64_t TotalFrames() const;
  uint64_t Size() const;  // bytes of complete chunks in the file
  uint64_t Queued() const;  // frames appended and not yet written (or failed)
  // Frames of one stream the writer took (written, queued, or lost in the
  // background after it took them); a frame whose own write failed is not
  // counted, so a retry keeps its number.
  uint64_t FramesTaken(uint32_t streamId) const;
  // The codecs whose frames made AppendFrame wait for room in the queue,
  // comma-separated ("zlib,lz4"); "" when it never waited since Open.
  std::string FellBehind() const;

  // Frames the queue holds at most, encoding or waiting to be written.
  static constexpr uint32_t kQueueDepth = 8;

 private:
  struct StreamState {
    std::string name;
    Compression compression;
    bool live;
    uint64_t frames;
    uint64_t appended;  // frames given to AppendFrame (the caller's count)
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
    uint64_t ordinal;  // the frame's number in its stream
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
  // Writes one frame chunk and counts it; a failure is described in *failure.
  KrStatus WriteFrame(const FrameInfo& frame, uint64_t ordinal, FrameEncoding encoding, Part stored,
                      WriteFailure* failure);
  bool StartEncoders();  // false when no thread could be started
  void EncoderLoop();
  // Waits until every queued frame is written, then hands over (and clears)
  // an error a background write left behind.
  KrStatus Drain();
  // Hands a background failure not yet reported over to lastFailure_ and
  // returns it (OK when none); mutex_ must be held.
  KrStatus HandOverFailure();
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
  int chunkError_ = 0;  // errno of the last failed chunk write (by the thread writing)
  WriteFailure lastFailure_;  // caller's thread only
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
  WriteFailure failedWhat_;         // what it was
  uint64_t waits_[kLastCodec + 1] = {};  // AppendFrame waits for room, by the codec of the oldest queued frame
  std::vector<std::thread> encoders_;
};

}  // namespace recording
}  // namespace tollan
