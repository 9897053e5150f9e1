// FrameQueue: the frames waiting to be sent to one viewer page, in the order
// they came, at most a fixed number of each stream; past that the oldest
// waiting frame of that stream is dropped (the page sees the gap in frame
// ids), so a page that stalls for a few frame intervals loses nothing and one
// that stops reading holds a bounded amount. Messages are shared, not
// copied: every page's queue points at the same bytes.
// Not thread-safe: its owner (the server's client) guards it with its mutex.
#pragma once

#include "ViewFrames.h"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <utility>
#include <vector>

namespace ovalith_view {

class FrameQueue {
 public:
  explicit FrameQueue(size_t perStream) : perStream_(perStream < 1 ? 1 : perStream) {}

  // Queues message of stream after those waiting; returns whether an older
  // frame of the stream was dropped for it.
  bool Push(size_t stream, Message message) {
    if (counts_.size() <= stream) counts_.resize(stream + 1, 0);
    bool dropped = false;
    if (counts_[stream] >= perStream_) {
      frames_.erase(std::find_if(frames_.begin(), frames_.end(),
                                 [stream](const std::pair<size_t, Message>& f) { return f.first == stream; }));
      --counts_[stream];
      dropped = true;
    }
    frames_.emplace_back(stream, std::move(message));
    ++counts_[stream];
    return dropped;
  }

  bool Empty() const { return frames_.empty(); }

  // Every waiting message, oldest first; the queue is then empty.
  std::vector<Message> TakeAll() {
    std::vector<Message> out;
    out.reserve(frames_.size());
    for (auto& frame : frames_) out.push_back(std::move(frame.second));
    frames_.clear();
    std::fill(counts_.begin(), counts_.end(), 0);
    return out;
  }

 private:
  size_t perStream_;
  std::deque<std::pair<size_t, Message>> frames_;  // (stream, message), oldest first
  std::vector<size_t> counts_;                     // how many of frames_ are of each stream
};

}  // namespace ovalith_view
