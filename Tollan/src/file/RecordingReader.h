// RecordingReader: plays back one recording (RecordingFormat.h).
//
// Open checks the file header, then takes the chunk list from the index at
// the end of the file. When the index is missing (the writer did not close)
// or fails its checks, Open scans the file chunk by chunk instead, up to the
// last complete chunk, and Report() says so. Device properties, stream
// definitions and property changes are held in memory; frames stay in the
// file and are read when reached.
//
// Playback walks the chunks in recorded order with a cursor. A damaged chunk
// gives KR_STATUS_TL_FILE_CORRUPT when the cursor reaches it, once, and the
// walk goes on after it where its extent is known; the end gives
// KR_STATUS_TL_END_OF_FILE. Lengths read from the file are checked against
// the file's size and the format's limits before anything is allocated, and
// a compressed frame's size against its stream's largest mode (XRes x YRes x
// BytesPerPixel over the definition and its changes; else the stream's
// "RequiredDataSize"): a frame claiming more is KR_STATUS_TL_FILE_CORRUPT.
//
// Ownership: the reader owns its file. Threads: one thread at a time.
#pragma once

#include <Tollan/src/file/FrameCodec.h>
#include <Tollan/src/file/RecordingFormat.h>

#include <memory>

#include <vector>

namespace tollan {
namespace recording {

struct ReaderOptions {
  // Check every frame's CRC-32 as it is read. Headers and metadata are
  // always checked; turning this off trades bit-flip detection in frame data
  // for playback speed.
  bool verifyFrameData = true;
};

// How Open found the chunks.
struct OpenReport {
  enum class Source {
    kIndex,         // from the index written at close
    kScanNoIndex,   // scanned: the file has no index (not closed by its writer)
    kScanBadIndex,  // scanned: the index failed its checks
  };
  Source source = Source::kIndex;
  uint64_t damagedChunks = 0;  // chunks that will give KR_STATUS_TL_FILE_CORRUPT
  bool damagedTail = false;    // scanning stopped at a damaged chunk header
  uint64_t usableBytes = 0;    // end of the last complete chunk found

  bool Scanned() const { return source != Source::kIndex; }
};

// One step of playback.
struct Item {
  enum class Kind { kFrame, kPropertyChange, kStreamAdded, kStreamRemoved };
  Kind kind = Kind::kFrame;
  uint32_t streamId = 0;                   // frames, streams added and removed
  FrameInfo frame;                         // kFrame
  const PropertyChange* change = nullptr;  // kPropertyChange; valid while the reader is open
};

class RecordingReader {
 public:
  // SeekTime over every stream.
  static constexpr uint32_t kAllStreams = 0xFFFFFFFFu;

  RecordingReader() = default;
  ~RecordingReader();
  RecordingReader(const RecordingReader&) = delete;
  RecordingReader& operator=(const RecordingReader&) = delete;

  // Missing or unreadable file: KR_STATUS_TL_FILE_OPEN_FAILED; another kind
  // of file: KR_STATUS_TL_NOT_A_RECORDING; written by a newer format:
  // KR_STATUS_TL_FILE_VERSION_UNSUPPORTED; damaged file header:
  // KR_STATUS_TL_FILE_CORRUPT. An open reader is closed first.
  KrStatus Open(const char* path, const ReaderOptions& options = ReaderOptions());
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  const OpenReport& Report() const { return report_; }
  uint64_t FileSize() const { return fileSize_; }
  // Turns frame-data CRC checks on or off from the next frame read.
  void SetVerifyFrameData(bool verify) { options_.verifyFrameData = verify; }

  const std::vector<Property>& DeviceProperties() const { return deviceProperties_; }
  // Every intact stream definition, by id, including streams added later in
  // the recording and streams removed in it.
  const std::vector<StreamDefinition>& Streams() const { return streams_; }
  const StreamDefinition* FindStream(uint32_t id) const;
  // Every intact property change, in recorded order.
  const std::vector<PropertyChange>& PropertyChanges() const { return changes_; }
  uint64_t FrameCount(uint32_t streamId) const;
  // Bytes the stream's frames take in the file (chunk payloads, as stored).
  uint64_t StoredBytes(uint32_t streamId) const;
  uint64_t TotalFrames() const;
  // A frame by stream and ordinal (0 is the stream's first frame), as the
  // index or scan saw it (its size is known once it is read).
  KrStatus GetFrame(uint32_t streamId, uint64_t ordinal, FrameInfo* frame) const;

  // The next step of playback. A frame's data is then read with
  // ReadFrameData (or skipped by calling Next again).
  KrStatus Next(Item* item);
  // Copies the data of the frame that Next returned last; capacity below
  // its size: 0x10007.
  KrStatus ReadFrameData(void* buffer, uint32_t capacity);
  // How the frame Next returned last is stored: its encoding and its stored
  // bytes (its size when raw). Nothing returned yet: raw, 0.
  FrameEncoding CurrentEncoding() const { return current_.encoding; }
  uint32_t CurrentStoredSize() const { return current_.valid ? current_.storedSize : 0; }
  // The place of the cursor, and a return to it: what Next visited since
  // the mark is visited again (a player that looks ahead and stops).
  size_t Mark() const { return cursor_; }
  void Rewind(size_t mark);

  // Moves the cursor so that the next frame of the stream is its frame of
  // this ordinal; beyond the stream: KR_STATUS_TL_FRAME_NOT_FOUND.
  KrStatus SeekFrame(uint32_t streamId, uint64_t ordinal);
  // Moves the cursor to the stream's last frame at or before the time (its
  // first frame for an earlier time). With kAllStreams, to the earliest of
  // those frames over all streams, so every stream resumes at or before the
  // time. No frame: KR_STATUS_TL_FRAME_NOT_FOUND.
  KrStatus SeekTime(uint32_t streamId, uint64_t timestamp);
  // Frames of the stream before the cursor: the ordinal of its next frame.
  uint64_t TellFrame(uint32_t streamId) const;
  // Time of the next frame; at the end that of the last frame; 0 if none.
  uint64_t TellTime() const;
  // The property changes before the cursor, in order: what a player applies
  // over the recorded properties after a seek.
  std::vector<const PropertyChange*> ChangesBeforeCursor() const;

 private:
  // One chunk in recorded order (only the kinds playback visits).
  struct Entry {
    uint64_t offset;
    uint64_t timestamp;  // frames
    uint32_t type;       // chunk type, or kDamagedEntry
    uint32_t streamId;   // frames, streams added and removed
    uint32_t frameId;    // frames
    uint32_t length;     // payload length
    uint32_t change;     // property changes: index in changes_
  };
  // Frames of one stream: their entries, in order.
  struct StreamFrames {
    std::vector<size_t> entries;
    bool timeOrdered = true;  // timestamps never decrease (binary search is safe)
  };
  // The frame that Next returned last.
  struct CurrentFrame {
    bool valid = false;
    FrameInfo info;
    FrameEncoding encoding = FrameEncoding::kRaw;
    uint64_t dataOffset = 0;
    uint32_t storedSize = 0;
    uint32_t payloadCrc = 0;
    uint32_t headerCrc = 0;  // CRC-32 of the frame header, where the payload CRC starts
  };

  bool LoadIndex();
  void Scan();
  void Reset();
  bool ReadAt(uint64_t offset, void* buffer, size_t size) const;
  bool ReadChunkHeader(uint64_t offset, ChunkHeader* header) const;
  // Reads and checks a whole payload into buffer.
  bool ReadPayload(uint64_t offset, const ChunkHeader& header, std::vector<uint8_t>* buffer) const;
  // Scanning reads through block_.
  template <typename Visit>
  bool ScanPieces(uint64_t offset, uint64_t size, Visit visit);
  bool ScanCopy(uint64_t offset, uint64_t size, uint8_t* out);
  bool ScanCrcMatches(uint64_t payloadOffset, const ChunkHeader& header);
  void AddMetadata(uint64_t offset, const ChunkHeader& header, const std::vector<uint8_t>& payload);
  void AddFrame(uint64_t offset, uint32_t length, const FrameInfo& frame);
  void AddDamaged(uint64_t offset);
  int StreamSlot(uint32_t id) const;
  KrStatus LoadFrame(const Entry& entry);
  void FindFrameSizeLimits();
  size_t FrameEntry(int slot, uint64_t ordinal) const { return frames_[size_t(slot)].entries[ordinal]; }

  int fd_ = -1;
  uint64_t fileSize_ = 0;
  ReaderOptions options_;
  OpenReport report_;
  std::vector<Property> deviceProperties_;
  bool haveDeviceProperties_ = false;
  std::vector<StreamDefinition> streams_;  // ascending ids
  std::vector<StreamFrames> frames_;       // beside streams_
  // Beside streams_: the largest frame of the stream's modes (0: unknown); a
  // compressed frame that claims more is damage.
  std::vector<uint64_t> limits_;
  std::vector<PropertyChange> changes_;
  std::vector<size_t> changeEntries_;  // beside changes_
  std::vector<Entry> entries_;
  size_t cursor_ = 0;  // next entry to visit
  CurrentFrame current_;
  std::vector<uint8_t> scratch_;  // a compressed frame being read
  std::unique_ptr<FrameCodec> codec_;  // made with the first compressed frame
  std::vector<uint8_t> block_;    // during a scan: the file from blockOffset_, blockLength_ bytes of it
  uint64_t blockOffset_ = 0;
  size_t blockLength_ = 0;
};

}  // namespace recording
}  // namespace tollan
