#include <Tollan/src/file/RecordingWriter.h>

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <system_error>

namespace tollan {
namespace recording {

namespace {

constexpr int kMaxParts = 3;

// Writes every byte of the vector at offset, resuming after short writes.
// A failure leaves the system's reason in *error (ENOSPC when a write took
// nothing without saying why).
bool WriteAllAt(int fd, uint64_t offset, iovec* parts, int count, int* error) {
  while (count > 0) {
    const ssize_t written = pwritev(fd, parts, count, off_t(offset));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      *error = written < 0 ? errno : ENOSPC;
      return false;
    }
    offset += uint64_t(written);
    size_t left = size_t(written);
    while (count > 0 && left >= parts->iov_len) {
      left -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
  return true;
}

}  // namespace

std::string RecordingWriter::WriteFailure::Describe() const {
  switch (what) {
    case What::kNone:
      return "";
    case What::kFrame: {
      std::string text = "frame " + std::to_string(ordinal);
      if (frameId != ordinal) text += " (id " + std::to_string(frameId) + ")";
      text += " of stream " + stream;
      if (alsoLost > 0) {
        text += " and " + std::to_string(alsoLost) + (alsoLost == 1 ? " queued frame" : " queued frames") + " after it";
      }
      return text;
    }
    case What::kMetadata:
      return "a stream or property change";
    case What::kIndex:
      return "the index";
    case What::kSync:
      return "the file's flush to the disk";
  }
  return "";
}

RecordingWriter::~RecordingWriter() { Close(); }

KrStatus RecordingWriter::Open(const char* path, const std::vector<Property>& deviceProperties) {
  Close();
  TOLLAN_REQUIRE(path);
  for (const Property& property : deviceProperties) {
    TOLLAN_TRY(CheckProperty(property));
  }
  payload_.clear();
  EncodeProperties(deviceProperties, &payload_);
  if (payload_.size() > kMaxMetadataPayload) {
    return KR_STATUS_OS_BAD_ARGUMENT;
  }

  fd_ = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    return KR_STATUS_TL_FILE_OPEN_FAILED;
  }
  committed_ = 0;
  broken_ = false;
  streams_.clear();
  index_.clear();
  totalFrames_ = 0;
  lastTimestamp_ = 0;
  lastFailure_ = WriteFailure();
  for (uint64_t& waits : waits_) waits = 0;

  uint8_t header[kFileHeaderSize];
  EncodeFileHeader(header);
  iovec part{header, sizeof(header)};
  KrStatus status = WriteAllAt(fd_, 0, &part, 1, &chunkError_) ? KR_STATUS_OK : KR_STATUS_TL_FILE_WRITE_FAILED;
  if (status == KR_STATUS_OK) {
    committed_ = kFileHeaderSize;
    status = WriteMetadata(kChunkDeviceProperties, payload_, 0);
  }
  if (status != KR_STATUS_OK) {
    close(fd_);
    fd_ = -1;
  }
  return status;
}

KrStatus RecordingWriter::Close() {
  if (fd_ < 0) {
    return KR_STATUS_OK;
  }
  // A frame lost in the background is reported even though the file is
  // then finished as usual; the index's own failure goes first.
  const KrStatus queued = Drain();
  const WriteFailure lostFrame = lastFailure_;
  StopEncoders();
  KrStatus status = broken_ ? KR_STATUS_TL_FILE_WRITE_FAILED : WriteIndexAndTrailer();
  if (close(fd_) != 0 && status == KR_STATUS_OK) {
    chunkError_ = errno;
    status = KR_STATUS_TL_FILE_WRITE_FAILED;
  }
  fd_ = -1;
  if (status != KR_STATUS_OK) {
    lastFailure_ = WriteFailure();
    lastFailure_.what = WriteFailure::What::kIndex;
    lastFailure_.error = chunkError_;
    return status;
  }
  lastFailure_ = lostFrame;
  return queued;
}

KrStatus RecordingWriter::Flush(bool durable) {
  if (fd_ < 0) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  TOLLAN_TRY(Drain());
  if (durable && fdatasync(fd_) != 0) {
    lastFailure_ = WriteFailure();
    lastFailure_.what = WriteFailure::What::kSync;
    lastFailure_.error = errno;
    return KR_STATUS_TL_FILE_WRITE_FAILED;
  }
  return KR_STATUS_OK;
}

KrStatus RecordingWriter::AddStream(const StreamDefinition& stream, uint32_t* id) {
  if (fd_ < 0) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  if (stream.name.empty() || stream.name.size() > kMaxNameLength || stream.type.size() > kMaxNameLength ||
      uint32_t(stream.compression) > kLastEncoding) {
    return KR_STATUS_OS_BAD_ARGUMENT;
  }
  for (const Property& property : stream.properties) {
    TOLLAN_TRY(CheckProperty(property));
  }
  TOLLAN_TRY(Drain());
  for (const StreamState& existing : streams_) {
    if (existing.live && existing.name == stream.name) {
      return KR_STATUS_TL_STREAM_ALREADY_EXISTS;
    }
  }
  StreamDefinition defined = stream;
  defined.id = uint32_t(streams_.size());
  payload_.clear();
  EncodeStreamDefinition(defined, &payload_);
  TOLLAN_TRY(WriteMetadata(kChunkStreamDefined, payload_, defined.id));
  uint32_t width = 0;  // the depth codec's row length: the stream's "XRes"
  for (const Property& property : defined.properties) {
    if (property.name == "XRes" && property.value.type == KR_PROPERTY_TYPE_INTEGER) {
      width = uint32_t(property.value.intValue);
    }
  }
  streams_.push_back(StreamState{defined.name, defined.compression, true, 0, 0, width});
  if (id != nullptr) {
    *id = defined.id;
  }
  return KR_STATUS_OK;
}

KrStatus RecordingWriter::SetCompression(uint32_t id, Compression compression) {
  if (uint32_t(compression) > kLastEncoding) {
    return KR_STATUS_OS_BAD_ARGUMENT;
  }
  if (LiveStream(id) == nullptr) {
    return KR_STATUS_TL_STREAM_NOT_FOUND;
  }
  streams_[id].compression = compression;
  return KR_STATUS_OK;
}

KrStatus RecordingWriter::RemoveStream(uint32_t id) {
  if (fd_ < 0) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  if (LiveStream(id) == nullptr) {
    return KR_STATUS_TL_STREAM_NOT_FOUND;
  }
  TOLLAN_TRY(Drain());
  payload_.clear();
  EncodeStreamRemoved(id, &payload_);
  TOLLAN_TRY(WriteMetadata(kChunkStreamRemoved, payload_, id));
  streams_[id].live = false;
  return KR_STATUS_OK;
}

KrStatus RecordingWriter::AppendPropertyChange(const Property& property) {
  if (fd_ < 0) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  TOLLAN_TRY(CheckProperty(property));
  TOLLAN_TRY(Drain());  // the change goes after every frame appended so far
  PropertyChange change;
  change.framesBefore = totalFrames_;
  change.timestamp = lastTimestamp_;
  change.property = property;
  payload_.clear();
  EncodePropertyChange(change, &payload_);
  TOLLAN_TRY(WriteMetadata(kChunkPropertyChange, payload_, 0));
  if (property.name == "XRes" && property.value.type == KR_PROPERTY_TYPE_INTEGER) {
    for (StreamState& stream : streams_) {
      if (stream.live && stream.name == property.module) stream.width = uint32_t(property.value.intValue);
    }
  }
  return KR_STATUS_OK;
}

KrStatus RecordingWriter::AppendFrame(const FrameInfo& frame, const void* data, Landed* landed) {
  if (fd_ < 0) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  const StreamState* stream = LiveStream(frame.streamId);
  if (stream == nullptr) {
    return KR_STATUS_TL_STREAM_NOT_FOUND;
  }
  if (data == nullptr && frame.size > 0) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  if (frame.size > kMaxFrameDataSize) {
    return KR_STATUS_OS_BAD_ARGUMENT;
  }

  const Codec codec =
      stream->compression != Compression::kNone && frame.size > 0 ? Codec(stream->compression) : Codec::kRaw;
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t ordinal = ++streams_[frame.streamId].appended;
  if (queued_ == written_ && (codec == Codec::kRaw || !background_ || (encoders_.empty() && !StartEncoders()))) {
    // Nothing queued before it (and no encoder threads to be had): written
    // here and now.
    lock.unlock();
    if (!codec_) codec_.reset(new FrameCodec);
    FrameEncoding encoding = FrameEncoding::kRaw;
    const Part stored = Encode(codec_.get(), codec, frame, data, stream->width, &compressed_, &encoding);
    WriteFailure failure;
    const KrStatus status = WriteFrame(frame, ordinal, encoding, stored, &failure);
    lock.lock();
    if (status != KR_STATUS_OK) {
      // Not in the file: a retry of the same frame keeps its number. An
      // earlier frame's failure stays for the next call.
      lastFailure_ = failure;
      --streams_[frame.streamId].appended;
      return status;
    }
    if (landed != nullptr) {
      *landed = Landed::kWritten;
    }
    return HandOverFailure();
  }
  // Wait for room; the slot after the last queued frame is then no longer
  // touched by the encoders. A wait means the encoders fell behind: counted
  // by the codec of the oldest frame, the one holding the queue up.
  if (queued_ - written_ >= kQueueDepth) {
    ++waits_[uint32_t(jobs_[written_ % kQueueDepth].codec)];
  }
  changed_.wait(lock, [this] { return queued_ - written_ < kQueueDepth; });
  Job& job = jobs_[queued_ % kQueueDepth];
  lock.unlock();
  job.frame = frame;
  job.ordinal = ordinal;
  job.codec = codec;
  job.width = stream->width;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  job.data.assign(bytes, bytes + frame.size);
  job.ready = false;
  lock.lock();
  ++queued_;
  const KrStatus earlier = HandOverFailure();
  lock.unlock();
  changed_.notify_all();
  if (landed != nullptr) {
    *landed = Landed::kQueued;
  }
  return earlier;
}

KrStatus RecordingWriter::HandOverFailure() {
  const KrStatus status = failed_;
  if (status != KR_STATUS_OK) {
    lastFailure_ = failedWhat_;
    failed_ = KR_STATUS_OK;
  }
  return status;
}

RecordingWriter::Part RecordingWriter::Encode(FrameCodec* codec, Codec chosen, const FrameInfo& frame, const void* data,
                                              uint32_t width, std::vector<uint8_t>* out, FrameEncoding* encoding) {
  // Fast settings only: a recording must keep up with the sensor. A frame
  // that does not shrink (or a codec that cannot take it) is stored raw.
  *encoding = FrameEncoding::kRaw;
  if (chosen != Codec::kRaw && codec->Encode(chosen, data, frame.size, width, out) && out->size() < frame.size) {
    *encoding = FrameEncoding(chosen);
    return Part{out->data(), out->size()};
  }
  return Part{data, frame.size};
}

KrStatus RecordingWriter::WriteFrame(const FrameInfo& frame, uint64_t ordinal, FrameEncoding encoding, Part stored,
                                     WriteFailure* failure) {
  uint8_t header[kFrameHeaderSize];
  EncodeFrameHeader(frame, encoding, header);
  const Part parts[] = {{header, sizeof(header)}, stored};
  const IndexEntry entry{0, frame.timestamp, kChunkFrame, frame.streamId, frame.frameId, 0};
  const KrStatus status = WriteChunk(kChunkFrame, parts, 2, &entry);
  if (status != KR_STATUS_OK) {
    // The stream's name does not change while frames are queued (stream
    // changes wait for the queue to empty).
    failure->what = WriteFailure::What::kFrame;
    failure->error = chunkError_;
    failure->stream = streams_[frame.streamId].name;
    failure->ordinal = ordinal;
    failure->frameId = frame.frameId;
    return status;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  streams_[frame.streamId].frames++;
  totalFrames_++;
  lastTimestamp_ = frame.timestamp;
  return KR_STATUS_OK;
}

bool RecordingWriter::StartEncoders() {
  // Two threads: one frame of each of two streams (depth and colour) is
  // encoded at the same time.
  for (int i = 0; i < 2; ++i) {
    try {
      encoders_.emplace_back([this] { EncoderLoop(); });
    } catch (const std::system_error&) {
      break;  // fewer threads (none: the caller encodes)
    }
  }
  return !encoders_.empty();
}

void RecordingWriter::EncoderLoop() {
  FrameCodec codec;  // its contexts and scratch stay with this thread
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || taken_ < queued_; });
    if (taken_ == queued_) {
      return;  // stopping, with nothing left
    }
    Job& job = jobs_[taken_++ % kQueueDepth];
    lock.unlock();
    Encode(&codec, job.codec, job.frame, job.data.data(), job.width, &job.encoded, &job.encoding);
    lock.lock();
    job.ready = true;
    // Whoever is not blocked by another writer writes every frame whose
    // turn has come, in order.
    while (!writing_ && written_ < taken_ && jobs_[written_ % kQueueDepth].ready) {
      Job& next = jobs_[written_ % kQueueDepth];
      writing_ = true;
      lock.unlock();
      const Part stored = next.encoding == FrameEncoding::kRaw ? Part{next.data.data(), next.data.size()}
                                                               : Part{next.encoded.data(), next.encoded.size()};
      WriteFailure failure;
      const KrStatus status = WriteFrame(next.frame, next.ordinal, next.encoding, stored, &failure);
      lock.lock();
      if (status != KR_STATUS_OK && failed_ == KR_STATUS_OK) {
        failed_ = status;
        failedWhat_ = failure;
      } else if (status != KR_STATUS_OK) {
        ++failedWhat_.alsoLost;  // lost too before the first was reported
      }
      next.ready = false;
      ++written_;
      writing_ = false;
      changed_.notify_all();
    }
  }
}

KrStatus RecordingWriter::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return written_ == queued_; });
  return HandOverFailure();
}

void RecordingWriter::StopEncoders() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& encoder : encoders_) {
    encoder.join();
  }
  encoders_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
}

uint64_t RecordingWriter::FrameCount(uint32_t streamId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return streamId < streams_.size() ? streams_[streamId].frames : 0;
}

uint64_t RecordingWriter::FramesTaken(uint32_t streamId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return streamId < streams_.size() ? streams_[streamId].appended : 0;
}

uint64_t RecordingWriter::TotalFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return totalFrames_;
}

uint64_t RecordingWriter::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return committed_;
}

uint64_t RecordingWriter::Queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queued_ - written_;
}

std::string RecordingWriter::FellBehind() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string names;
  for (uint32_t codec = 0; codec <= kLastCodec; ++codec) {
    if (waits_[codec] == 0) continue;
    if (!names.empty()) names += ",";
    names += CodecName(Codec(codec));
  }
  return names;
}

const RecordingWriter::StreamState* RecordingWriter::LiveStream(uint32_t id) const {
  return id < streams_.size() && streams_[id].live ? &streams_[id] : nullptr;
}

KrStatus RecordingWriter::WriteMetadata(uint32_t type, const std::vector<uint8_t>& payload, uint32_t streamId) {
  if (payload.size() > kMaxMetadataPayload) {
    return KR_STATUS_OS_BAD_ARGUMENT;
  }
  const Part part{payload.data(), payload.size()};
  const IndexEntry entry{0, 0, type, streamId, 0, 0};
  const KrStatus status = WriteChunk(type, &part, 1, &entry);
  if (status != KR_STATUS_OK) {
    lastFailure_ = WriteFailure();
    lastFailure_.what = WriteFailure::What::kMetadata;
    lastFailure_.error = chunkError_;
  }
  return status;
}

KrStatus RecordingWriter::WriteChunk(uint32_t type, const Part* parts, int partCount, const IndexEntry* entry) {
  if (broken_) {
    chunkError_ = 0;
    return KR_STATUS_TL_FILE_WRITE_FAILED;
  }
  ChunkHeader header;
  header.type = type;
  iovec vector[kMaxParts + 1];
  uint64_t length = 0;
  for (int i = 0; i < partCount; ++i) {
    header.payloadCrc = Crc32(parts[i].data, parts[i].size, header.payloadCrc);
    vector[i + 1] = iovec{const_cast<void*>(parts[i].data), parts[i].size};
    length += parts[i].size;
  }
  header.length = uint32_t(length);
  uint8_t headerBytes[kChunkHeaderSize];
  EncodeChunkHeader(header, headerBytes);
  vector[0] = iovec{headerBytes, sizeof(headerBytes)};

  if (!WriteAllAt(fd_, committed_, vector, partCount + 1, &chunkError_)) {
    // Cut the partial chunk off so the file still ends on a complete one,
    // and the next chunk (if the disk frees up) follows it directly.
    if (ftruncate(fd_, off_t(committed_)) != 0) {
      broken_ = true;
    }
    return KR_STATUS_TL_FILE_WRITE_FAILED;
  }
  if (entry != nullptr) {
    IndexEntry placed = *entry;
    placed.offset = committed_;
    placed.length = header.length;
    index_.push_back(placed);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  committed_ += kChunkHeaderSize + length;
  return KR_STATUS_OK;
}

KrStatus RecordingWriter::WriteIndexAndTrailer() {
  const uint64_t indexOffset = committed_;
  const uint64_t indexLength = 8 + uint64_t(index_.size()) * kIndexEntrySize;
  // An index too large for one chunk is left out: the file is still read,
  // by scanning.
  if (indexLength <= kMaxIndexPayload) {
    payload_.clear();
    payload_.reserve(size_t(indexLength));
    ByteWriter out(&payload_);
    out.U64(index_.size());
    for (const IndexEntry& entry : index_) {
      out.U64(entry.offset);
      out.U64(entry.timestamp);
      out.U32(entry.type);
      out.U32(entry.streamId);
      out.U32(entry.frameId);
      out.U32(entry.length);
    }
    const Part index{payload_.data(), payload_.size()};
    TOLLAN_TRY(WriteChunk(kChunkIndex, &index, 1, nullptr));

    std::vector<uint8_t> trailer;
    ByteWriter(&trailer).U64(indexOffset);
    ByteWriter(&trailer).U64(index_.size());
    const Part trailerPart{trailer.data(), trailer.size()};
    TOLLAN_TRY(WriteChunk(kChunkTrailer, &trailerPart, 1, nullptr));
  }
  return KR_STATUS_OK;
}

}  // namespace recording
}  // namespace tollan
