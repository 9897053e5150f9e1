#include <Tollan/src/file/RecordingReader.h>
#include <Tollan/src/sensor/SensorModes.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>

namespace tollan {
namespace recording {

namespace {

// Entry type of a chunk that failed its checks (no chunk type is 0).
constexpr uint32_t kDamagedEntry = 0;
// Largest block of the file that a scan reads at once.
constexpr uint64_t kScanBlock = 1u << 20;
// Bytes of a raw frame read at once when its CRC is checked: small enough
// to stay in the second-level cache until the check has seen them.
constexpr uint32_t kCheckedPiece = 128u << 10;

enum class IndexState { kLoaded, kAbsent, kDamaged };

bool IsMetadata(uint32_t type) {
  return type == kChunkDeviceProperties || type == kChunkStreamDefined || type == kChunkStreamRemoved ||
         type == kChunkPropertyChange;
}

}  // namespace

RecordingReader::~RecordingReader() { Close(); }

KrStatus RecordingReader::Open(const char* path, const ReaderOptions& options) {
  Close();
  TOLLAN_REQUIRE(path);
  fd_ = open(path, O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd_ < 0 || fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    Close();
    return KR_STATUS_TL_FILE_OPEN_FAILED;
  }
  fileSize_ = uint64_t(info.st_size);
  options_ = options;

  uint8_t header[kFileHeaderSize];
  const size_t available = size_t(std::min<uint64_t>(fileSize_, kFileHeaderSize));
  if (!ReadAt(0, header, available)) {
    Close();
    return KR_STATUS_TL_FILE_OPEN_FAILED;
  }
  const KrStatus status = CheckFileHeader(header, available);
  if (status != KR_STATUS_OK) {
    Close();
    return status;
  }
  if (!LoadIndex()) {
    const OpenReport::Source source = report_.source;
    Reset();
    report_.source = source;
    Scan();
  }
  FindFrameSizeLimits();
  return KR_STATUS_OK;
}

namespace {

// The largest frame a stream's mode holds, worked out from its settings the
// way the File device derives a stream's geometry (FileDevice.h): the sizes
// from "XRes"/"YRes" or the "Resolution" code, the bytes per pixel from
// "BytesPerPixel" or the "OutputFormat" (the type's default when absent),
// audio from "SampleRate", "NumOfChannels" and "FPS"; else the stream's
// "RequiredDataSize"; 0 when nothing gives a size.
struct Geometry {
  explicit Geometry(const std::string& type) : audio(type == "Audio") {
    sensor::StreamKind kind;
    if (sensor::StreamKindFromName(type.c_str(), &kind)) format = sensor::DefaultOutputFormat(kind);
  }
  bool audio;
  uint64_t x = 0, y = 0, code = UINT64_MAX, bytes = 0, format = UINT64_MAX, required = 0;  // UINT64_MAX: none
  uint64_t rate = 0, channels = 0, fps = 30;
  void Take(const Property& property) {
    if (property.value.type != KR_PROPERTY_TYPE_INTEGER) return;
    uint64_t* slot = property.name == "XRes"               ? &x
                     : property.name == "YRes"             ? &y
                     : property.name == "Resolution"       ? &code
                     : property.name == "BytesPerPixel"    ? &bytes
                     : property.name == "OutputFormat"     ? &format
                     : property.name == "RequiredDataSize" ? &required
                     : property.name == "SampleRate"       ? &rate
                     : property.name == "NumOfChannels"    ? &channels
                     : property.name == "FPS"              ? &fps
                                                           : nullptr;
    if (slot != nullptr) *slot = std::min<uint64_t>(property.value.intValue, kMaxFrameDataSize);
  }
  uint64_t FrameSize() const {
    const uint64_t pixelBytes = bytes != 0 ? bytes : format <= UINT32_MAX ? sensor::BytesPerPixel(uint32_t(format)) : 0;
    uint64_t size = 0;
    if (audio && pixelBytes != 0 && rate != 0 && channels != 0 && fps != 0) {
      size = uint64_t{sensor::MaxSamplesPerFrame(uint32_t(rate), uint32_t(fps))} * channels * pixelBytes;
    } else if (!audio && pixelBytes != 0) {
      uint64_t width = x, height = y;
      const sensor::Resolution* byCode = code <= UINT32_MAX ? sensor::FindResolution(uint32_t(code)) : nullptr;
      if ((width == 0 || height == 0) && byCode != nullptr) {
        width = byCode->xRes;
        height = byCode->yRes;
      }
      // Sizes past the format's largest frame (the settings are the file's,
      // so they may be anything) are held to it.
      size = width == 0 || height == 0                         ? 0
             : width > kMaxFrameDataSize / height              ? kMaxFrameDataSize
             : width * height > kMaxFrameDataSize / pixelBytes ? kMaxFrameDataSize
                                                               : width * height * pixelBytes;
    }
    return size != 0 ? std::min<uint64_t>(size, kMaxFrameDataSize) : required;
  }
};

}  // namespace

void RecordingReader::FindFrameSizeLimits() {
  // The largest frame of each stream's modes over the whole recording (its
  // definition, then each change of its geometry).
  limits_.assign(streams_.size(), 0);
  for (size_t slot = 0; slot < streams_.size(); ++slot) {
    const StreamDefinition& stream = streams_[slot];
    Geometry geometry(stream.type);
    for (const Property& property : stream.properties) geometry.Take(property);
    uint64_t limit = geometry.FrameSize();
    for (const PropertyChange& change : changes_) {
      if (change.property.module != stream.name) continue;
      geometry.Take(change.property);
      limit = std::max(limit, geometry.FrameSize());
    }
    limits_[slot] = limit;
  }
}

void RecordingReader::Close() {
  if (fd_ >= 0) {
    close(fd_);
  }
  fd_ = -1;
  fileSize_ = 0;
  Reset();
}

void RecordingReader::Reset() {
  report_ = OpenReport();
  deviceProperties_.clear();
  haveDeviceProperties_ = false;
  streams_.clear();
  frames_.clear();
  changes_.clear();
  changeEntries_.clear();
  entries_.clear();
  cursor_ = 0;
  current_ = CurrentFrame();
}

// ---- finding the chunks ----

// Takes the chunk list from the index. On failure sets report_.source to
// say why and returns false; nothing has been added then.
bool RecordingReader::LoadIndex() {
  report_.source = OpenReport::Source::kScanNoIndex;
  if (fileSize_ < kFileHeaderSize + kChunkHeaderSize + 8 + kTrailerChunkSize) {
    return false;
  }
  const uint64_t trailerOffset = fileSize_ - kTrailerChunkSize;
  ChunkHeader trailerHeader;
  std::vector<uint8_t> trailer;
  if (!ReadChunkHeader(trailerOffset, &trailerHeader) || trailerHeader.type != kChunkTrailer ||
      trailerHeader.length != kTrailerPayloadSize || !ReadPayload(trailerOffset, trailerHeader, &trailer)) {
    return false;
  }

  // From here on the file was closed by its writer; any mismatch means the
  // index itself is damaged.
  report_.source = OpenReport::Source::kScanBadIndex;
  ByteReader trailerIn(trailer.data(), trailer.size());
  uint64_t indexOffset = 0;
  uint64_t count = 0;
  trailerIn.U64(&indexOffset);
  trailerIn.U64(&count);
  if (count > (kMaxIndexPayload - 8) / kIndexEntrySize) {
    return false;
  }
  const uint64_t indexLength = 8 + count * kIndexEntrySize;
  if (indexOffset < kFileHeaderSize || indexOffset > trailerOffset ||
      trailerOffset - indexOffset != kChunkHeaderSize + indexLength) {
    return false;
  }
  ChunkHeader indexHeader;
  std::vector<uint8_t> index;
  if (!ReadChunkHeader(indexOffset, &indexHeader) || indexHeader.type != kChunkIndex ||
      indexHeader.length != indexLength || !ReadPayload(indexOffset, indexHeader, &index)) {
    return false;
  }

  // Entries must tile the file from the header to the index exactly.
  ByteReader in(index.data(), index.size());
  uint64_t storedCount = 0;
  in.U64(&storedCount);
  if (storedCount != count) {
    return false;
  }
  std::vector<Entry> listed;
  listed.reserve(size_t(count));
  uint64_t expected = kFileHeaderSize;
  for (uint64_t i = 0; i < count; ++i) {
    Entry entry{};
    in.U64(&entry.offset);
    in.U64(&entry.timestamp);
    in.U32(&entry.type);
    in.U32(&entry.streamId);
    in.U32(&entry.frameId);
    in.U32(&entry.length);
    if (entry.offset != expected || entry.type == kChunkIndex || entry.type == kChunkTrailer ||
        entry.length > MaxPayloadLength(entry.type) || indexOffset - expected < kChunkHeaderSize ||
        entry.length > indexOffset - expected - kChunkHeaderSize) {
      return false;
    }
    expected += kChunkHeaderSize + uint64_t(entry.length);
    listed.push_back(entry);
  }
  if (!in.ok() || expected != indexOffset) {
    return false;
  }

  report_.source = OpenReport::Source::kIndex;
  report_.usableBytes = fileSize_;
  std::vector<uint8_t> payload;
  for (const Entry& entry : listed) {
    if (entry.type == kChunkFrame) {
      FrameInfo frame;
      frame.streamId = entry.streamId;
      frame.frameId = entry.frameId;
      frame.timestamp = entry.timestamp;
      if (entry.length < kFrameHeaderSize) {
        AddDamaged(entry.offset);
      } else {
        AddFrame(entry.offset, entry.length, frame);
      }
    } else if (IsMetadata(entry.type)) {
      ChunkHeader header;
      if (ReadChunkHeader(entry.offset, &header) && header.type == entry.type && header.length == entry.length &&
          ReadPayload(entry.offset, header, &payload)) {
        AddMetadata(entry.offset, header, payload);
      } else {
        AddDamaged(entry.offset);
      }
    }
    // Other types are a later writer's additions: skipped.
  }
  return true;
}

// Walks the chunks from the file header on, up to the last complete one.
// Reads go through a block of the file, so small chunks cost no system
// call each.
void RecordingReader::Scan() {
  block_.resize(size_t(std::max<uint64_t>(1, std::min<uint64_t>(fileSize_, kScanBlock))));
  blockOffset_ = 0;
  blockLength_ = 0;
  uint64_t offset = kFileHeaderSize;
  report_.usableBytes = offset;
  std::vector<uint8_t> payload;
  while (fileSize_ - offset >= kChunkHeaderSize) {
    uint8_t headerBytes[kChunkHeaderSize];
    ChunkHeader header;
    if (!ScanCopy(offset, kChunkHeaderSize, headerBytes) || !DecodeChunkHeader(headerBytes, &header) ||
        header.length > MaxPayloadLength(header.type)) {
      // Its length cannot be trusted, so nothing after it can be found.
      AddDamaged(offset);
      report_.damagedTail = true;
      break;
    }
    if (header.length > fileSize_ - offset - kChunkHeaderSize) {
      break;  // cut short: where a recording that was not closed ends
    }
    const uint64_t next = offset + kChunkHeaderSize + header.length;
    if (header.type == kChunkTrailer) {
      report_.usableBytes = next;
      break;
    }
    const uint64_t payloadOffset = offset + kChunkHeaderSize;
    if (header.type == kChunkFrame) {
      uint8_t frameHeader[kFrameHeaderSize];
      FrameInfo frame;
      FrameEncoding encoding;
      if (header.length >= kFrameHeaderSize && ScanCopy(payloadOffset, kFrameHeaderSize, frameHeader) &&
          ScanCrcMatches(payloadOffset, header) &&
          DecodeFrameHeader(frameHeader, header.length, &frame, &encoding) == KR_STATUS_OK) {
        AddFrame(offset, header.length, frame);
      } else {
        AddDamaged(offset);
      }
    } else if (IsMetadata(header.type)) {
      payload.resize(header.length);  // within the file and the type's limit, checked above
      if (ScanCopy(payloadOffset, header.length, payload.data()) &&
          Crc32(payload.data(), payload.size()) == header.payloadCrc) {
        AddMetadata(offset, header, payload);
      } else {
        AddDamaged(offset);
      }
    }
    offset = next;
    report_.usableBytes = next;
  }
  block_ = std::vector<uint8_t>();
}

void RecordingReader::AddMetadata(uint64_t offset, const ChunkHeader& header, const std::vector<uint8_t>& payload) {
  Entry entry{offset, 0, header.type, 0, 0, header.length, 0};
  switch (header.type) {
    case kChunkDeviceProperties: {
      std::vector<Property> properties;
      if (DecodeProperties(payload.data(), payload.size(), &properties) != KR_STATUS_OK) {
        AddDamaged(offset);
      } else if (!haveDeviceProperties_) {  // the writer makes one; others are ignored
        deviceProperties_ = std::move(properties);
        haveDeviceProperties_ = true;
      }
      return;
    }
    case kChunkStreamDefined: {
      StreamDefinition stream;
      // Ids rise in order of definition; anything else was not written by us.
      if (DecodeStreamDefinition(payload.data(), payload.size(), &stream) != KR_STATUS_OK ||
          (!streams_.empty() && stream.id <= streams_.back().id)) {
        AddDamaged(offset);
        return;
      }
      entry.streamId = stream.id;
      streams_.push_back(std::move(stream));
      frames_.emplace_back();
      break;
    }
    case kChunkStreamRemoved:
      if (DecodeStreamRemoved(payload.data(), payload.size(), &entry.streamId) != KR_STATUS_OK ||
          StreamSlot(entry.streamId) < 0) {
        AddDamaged(offset);
        return;
      }
      break;
    case kChunkPropertyChange: {
      PropertyChange change;
      if (DecodePropertyChange(payload.data(), payload.size(), &change) != KR_STATUS_OK) {
        AddDamaged(offset);
        return;
      }
      entry.change = uint32_t(changes_.size());
      changes_.push_back(std::move(change));
      changeEntries_.push_back(entries_.size());
      break;
    }
    default:
      return;
  }
  entries_.push_back(entry);
}

void RecordingReader::AddFrame(uint64_t offset, uint32_t length, const FrameInfo& frame) {
  const int slot = StreamSlot(frame.streamId);
  if (slot < 0) {
    AddDamaged(offset);  // its stream's definition is damaged or missing
    return;
  }
  StreamFrames& stream = frames_[size_t(slot)];
  if (!stream.entries.empty() && entries_[stream.entries.back()].timestamp > frame.timestamp) {
    stream.timeOrdered = false;
  }
  stream.entries.push_back(entries_.size());
  entries_.push_back(Entry{offset, frame.timestamp, kChunkFrame, frame.streamId, frame.frameId, length, 0});
}

void RecordingReader::AddDamaged(uint64_t offset) {
  entries_.push_back(Entry{offset, 0, kDamagedEntry, 0, 0, 0, 0});
  report_.damagedChunks++;
}

// ---- file access ----

bool RecordingReader::ReadAt(uint64_t offset, void* buffer, size_t size) const {
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t got = pread(fd_, bytes, size, off_t(offset));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    bytes += got;
    offset += uint64_t(got);
    size -= size_t(got);
  }
  return true;
}

bool RecordingReader::ReadChunkHeader(uint64_t offset, ChunkHeader* header) const {
  uint8_t bytes[kChunkHeaderSize];
  return offset <= fileSize_ && fileSize_ - offset >= kChunkHeaderSize && ReadAt(offset, bytes, sizeof(bytes)) &&
         DecodeChunkHeader(bytes, header);
}

bool RecordingReader::ReadPayload(uint64_t offset, const ChunkHeader& header, std::vector<uint8_t>* buffer) const {
  // Both limits hold before the allocation: the type's and the file's.
  if (header.length > MaxPayloadLength(header.type) || offset > fileSize_ ||
      fileSize_ - offset < kChunkHeaderSize + uint64_t(header.length)) {
    return false;
  }
  buffer->resize(header.length);
  return ReadAt(offset + kChunkHeaderSize, buffer->data(), header.length) &&
         Crc32(buffer->data(), buffer->size()) == header.payloadCrc;
}

// Visits size bytes of the file from offset through the scan block, in
// pieces of at most the block's size.
template <typename Visit>
bool RecordingReader::ScanPieces(uint64_t offset, uint64_t size, Visit visit) {
  while (size > 0) {
    if (offset < blockOffset_ || offset >= blockOffset_ + blockLength_) {
      blockLength_ = size_t(std::min<uint64_t>(block_.size(), fileSize_ - std::min(offset, fileSize_)));
      blockOffset_ = offset;
      if (blockLength_ == 0 || !ReadAt(offset, block_.data(), blockLength_)) {
        blockLength_ = 0;
        return false;
      }
    }
    const size_t start = size_t(offset - blockOffset_);
    const size_t piece = size_t(std::min<uint64_t>(size, blockLength_ - start));
    visit(block_.data() + start, piece);
    offset += piece;
    size -= piece;
  }
  return true;
}

bool RecordingReader::ScanCopy(uint64_t offset, uint64_t size, uint8_t* out) {
  return ScanPieces(offset, size, [&](const uint8_t* bytes, size_t piece) {
    std::copy(bytes, bytes + piece, out);
    out += piece;
  });
}

bool RecordingReader::ScanCrcMatches(uint64_t offset, const ChunkHeader& header) {
  uint32_t crc = 0;
  return ScanPieces(offset, header.length,
                    [&](const uint8_t* bytes, size_t piece) { crc = Crc32(bytes, piece, crc); }) &&
         crc == header.payloadCrc;
}

int RecordingReader::StreamSlot(uint32_t id) const {
  const auto found = std::lower_bound(streams_.begin(), streams_.end(), id,
                                      [](const StreamDefinition& stream, uint32_t key) { return stream.id < key; });
  return found != streams_.end() && found->id == id ? int(found - streams_.begin()) : -1;
}

// ---- playback ----

const StreamDefinition* RecordingReader::FindStream(uint32_t id) const {
  const int slot = StreamSlot(id);
  return slot < 0 ? nullptr : &streams_[size_t(slot)];
}

uint64_t RecordingReader::FrameCount(uint32_t streamId) const {
  const int slot = StreamSlot(streamId);
  return slot < 0 ? 0 : frames_[size_t(slot)].entries.size();
}

uint64_t RecordingReader::StoredBytes(uint32_t streamId) const {
  const int slot = StreamSlot(streamId);
  uint64_t total = 0;
  if (slot < 0) return total;
  for (size_t entry : frames_[size_t(slot)].entries) total += entries_[entry].length;
  return total;
}

uint64_t RecordingReader::TotalFrames() const {
  uint64_t total = 0;
  for (const StreamFrames& stream : frames_) {
    total += stream.entries.size();
  }
  return total;
}

KrStatus RecordingReader::GetFrame(uint32_t streamId, uint64_t ordinal, FrameInfo* frame) const {
  TOLLAN_REQUIRE(frame);
  const int slot = StreamSlot(streamId);
  if (slot < 0 || ordinal >= frames_[size_t(slot)].entries.size()) {
    return KR_STATUS_TL_FRAME_NOT_FOUND;
  }
  const Entry& entry = entries_[FrameEntry(slot, ordinal)];
  *frame = FrameInfo();
  frame->streamId = entry.streamId;
  frame->frameId = entry.frameId;
  frame->timestamp = entry.timestamp;
  return KR_STATUS_OK;
}

KrStatus RecordingReader::Next(Item* item) {
  TOLLAN_REQUIRE(item);
  current_.valid = false;
  while (cursor_ < entries_.size()) {
    const Entry& entry = entries_[cursor_++];
    *item = Item();
    item->streamId = entry.streamId;
    switch (entry.type) {
      case kDamagedEntry:
        return KR_STATUS_TL_FILE_CORRUPT;
      case kChunkStreamDefined:
        item->kind = Item::Kind::kStreamAdded;
        return KR_STATUS_OK;
      case kChunkStreamRemoved:
        item->kind = Item::Kind::kStreamRemoved;
        return KR_STATUS_OK;
      case kChunkPropertyChange:
        item->kind = Item::Kind::kPropertyChange;
        item->change = &changes_[entry.change];
        return KR_STATUS_OK;
      case kChunkFrame:
        TOLLAN_TRY(LoadFrame(entry));
        item->kind = Item::Kind::kFrame;
        item->frame = current_.info;
        return KR_STATUS_OK;
      default:
        break;
    }
  }
  return KR_STATUS_TL_END_OF_FILE;
}

void RecordingReader::Rewind(size_t mark) {
  cursor_ = std::min(mark, entries_.size());
  current_.valid = false;
}

// Reads and checks a frame's chunk header and frame header against what
// the index or scan recorded for it.
KrStatus RecordingReader::LoadFrame(const Entry& entry) {
  uint8_t bytes[kChunkHeaderSize + kFrameHeaderSize];
  if (!ReadAt(entry.offset, bytes, sizeof(bytes))) {
    return KR_STATUS_TL_FILE_CORRUPT;
  }
  uint8_t headerBytes[kChunkHeaderSize];
  uint8_t frameBytes[kFrameHeaderSize];
  std::copy(bytes, bytes + kChunkHeaderSize, headerBytes);
  std::copy(bytes + kChunkHeaderSize, bytes + sizeof(bytes), frameBytes);
  ChunkHeader header;
  CurrentFrame frame;
  if (!DecodeChunkHeader(headerBytes, &header) || header.type != kChunkFrame || header.length != entry.length ||
      DecodeFrameHeader(frameBytes, header.length, &frame.info, &frame.encoding) != KR_STATUS_OK ||
      frame.info.streamId != entry.streamId || frame.info.frameId != entry.frameId ||
      frame.info.timestamp != entry.timestamp) {
    return KR_STATUS_TL_FILE_CORRUPT;
  }
  // A compressed frame claims a size its stored bytes do not hold: bounded
  // by the stream's own frame size before anyone allocates for it.
  const int slot = StreamSlot(entry.streamId);
  if (frame.encoding != FrameEncoding::kRaw && slot >= 0 && size_t(slot) < limits_.size() && limits_[size_t(slot)] != 0 &&
      frame.info.size > limits_[size_t(slot)]) {
    return KR_STATUS_TL_FILE_CORRUPT;
  }
  frame.valid = true;
  frame.dataOffset = entry.offset + sizeof(bytes);
  frame.storedSize = header.length - kFrameHeaderSize;
  frame.payloadCrc = header.payloadCrc;
  frame.headerCrc = Crc32(frameBytes, sizeof(frameBytes));
  current_ = frame;
  return KR_STATUS_OK;
}

KrStatus RecordingReader::ReadFrameData(void* buffer, uint32_t capacity) {
  if (!current_.valid) {
    return KR_STATUS_TL_FRAME_NOT_FOUND;
  }
  if (buffer == nullptr && current_.info.size > 0) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  if (capacity < current_.info.size) {
    return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  }
  if (current_.encoding == FrameEncoding::kRaw) {
    // Straight into the caller's buffer. With checks on, in pieces, each
    // checked right after its read while it is still in the processor's
    // cache (see "Speed" in docs/recording-format.md for the measurements).
    auto* bytes = static_cast<uint8_t*>(buffer);
    const bool verify = options_.verifyFrameData;
    uint32_t crc = current_.headerCrc;
    for (uint32_t done = 0; done < current_.storedSize;) {
      const uint32_t piece = verify ? std::min(kCheckedPiece, current_.storedSize - done) : current_.storedSize - done;
      if (!ReadAt(current_.dataOffset + done, bytes + done, piece)) {
        return KR_STATUS_TL_FILE_CORRUPT;
      }
      if (verify) {
        crc = Crc32(bytes + done, piece, crc);
      }
      done += piece;
    }
    return verify && crc != current_.payloadCrc ? KR_STATUS_TL_FILE_CORRUPT : KR_STATUS_OK;
  }
  // Compressed: the stored size was checked against the file when the chunk
  // was found, so this allocation is bounded by the file. The codec checks
  // the bytes again (they may have passed a CRC by chance, or not been
  // checked at all) and writes only into the frame's own size.
  scratch_.resize(current_.storedSize);
  if (!ReadAt(current_.dataOffset, scratch_.data(), current_.storedSize) ||
      (options_.verifyFrameData &&
       Crc32(scratch_.data(), current_.storedSize, current_.headerCrc) != current_.payloadCrc)) {
    return KR_STATUS_TL_FILE_CORRUPT;
  }
  if (!codec_) codec_.reset(new FrameCodec);
  if (codec_->Decode(Codec(current_.encoding), scratch_.data(), current_.storedSize, buffer, current_.info.size) !=
      DecodeStatus::kOk) {
    return KR_STATUS_TL_FILE_CORRUPT;
  }
  return KR_STATUS_OK;
}

// ---- seeking ----

KrStatus RecordingReader::SeekFrame(uint32_t streamId, uint64_t ordinal) {
  const int slot = StreamSlot(streamId);
  if (slot < 0 || ordinal >= frames_[size_t(slot)].entries.size()) {
    return KR_STATUS_TL_FRAME_NOT_FOUND;
  }
  cursor_ = FrameEntry(slot, ordinal);
  current_.valid = false;
  return KR_STATUS_OK;
}

KrStatus RecordingReader::SeekTime(uint32_t streamId, uint64_t timestamp) {
  // The entry of a stream's last frame at or before the time, else of its
  // first frame.
  auto target = [&](const StreamFrames& stream) {
    size_t chosen = 0;
    if (stream.timeOrdered) {
      const auto after =
          std::upper_bound(stream.entries.begin(), stream.entries.end(), timestamp,
                           [&](uint64_t time, size_t entry) { return time < entries_[entry].timestamp; });
      chosen = after == stream.entries.begin() ? 0 : size_t(after - stream.entries.begin()) - 1;
    } else {
      bool found = false;
      for (size_t i = 0; i < stream.entries.size(); ++i) {
        const uint64_t time = entries_[stream.entries[i]].timestamp;
        if (time <= timestamp && (!found || time >= entries_[stream.entries[chosen]].timestamp)) {
          chosen = i;
          found = true;
        }
      }
    }
    return stream.entries[chosen];
  };

  bool found = false;
  size_t position = 0;
  for (size_t slot = 0; slot < frames_.size(); ++slot) {
    if (frames_[slot].entries.empty() || (streamId != kAllStreams && streams_[slot].id != streamId)) {
      continue;
    }
    const size_t candidate = target(frames_[slot]);
    position = found ? std::min(position, candidate) : candidate;
    found = true;
  }
  if (!found) {
    return KR_STATUS_TL_FRAME_NOT_FOUND;
  }
  cursor_ = position;
  current_.valid = false;
  return KR_STATUS_OK;
}

uint64_t RecordingReader::TellFrame(uint32_t streamId) const {
  const int slot = StreamSlot(streamId);
  if (slot < 0) {
    return 0;
  }
  const std::vector<size_t>& entries = frames_[size_t(slot)].entries;
  return uint64_t(std::lower_bound(entries.begin(), entries.end(), cursor_) - entries.begin());
}

uint64_t RecordingReader::TellTime() const {
  for (size_t i = cursor_; i < entries_.size(); ++i) {
    if (entries_[i].type == kChunkFrame) {
      return entries_[i].timestamp;
    }
  }
  for (size_t i = entries_.size(); i > 0; --i) {
    if (entries_[i - 1].type == kChunkFrame) {
      return entries_[i - 1].timestamp;
    }
  }
  return 0;
}

std::vector<const PropertyChange*> RecordingReader::ChangesBeforeCursor() const {
  std::vector<const PropertyChange*> before;
  for (size_t i = 0; i < changes_.size() && changeEntries_[i] < cursor_; ++i) {
    before.push_back(&changes_[i]);
  }
  return before;
}

}  // namespace recording
}  // namespace tollan
