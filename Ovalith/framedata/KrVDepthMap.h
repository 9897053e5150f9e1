// KrVDepthMap: a depth frame shown as a matrix of unsigned 16-bit depth
// values. Bound to a stream it wraps the stream's buffer without copying
// and follows the stream's properties; unbound it owns its pixels and serves
// as a copy (Clone) or a window (Initialize) of another map.
//
// Ownership: the matrix either wraps the stream's (or the caller's) buffer
// or owns its pixels. A copy of a map that owns its pixels gets its own
// copy of them; a copy of a wrapping map wraps the same buffer. Copies own
// their own stream handle, subscriptions and translator (see the base
// classes), so copies and sources can be destroyed in any order.
//
// Choices of this implementation:
// - Clear fills the pixels the matrix holds (XRes x YRes of a bound map);
// - Clone gives the target this map's window and parent exactly (offsets,
//   resolution and parent resolution) and the same translator set-up;
// - cloning a map into itself changes nothing.
//
// Threads: as KrVStreamData; a map bound to a stream changes when the
// device reads (its buffer is the stream's).
#pragma once

#include <Ovalith/framedata/KrVDepthRepresentation.h>
#include <Ovalith/geometry/KrVMatrix.h>

class KrVDepthMap : public KrVDepthRepresentation {
 public:
  // Unbound, owning an empty matrix.
  KrVDepthMap();
  // Bound to stream; wraps its buffer at the stream's resolution. Not valid
  // when the buffer cannot be reached.
  KrVDepthMap(KrVStream* stream, int live, int deferred);
  // Unbound and not valid; wraps the caller's xRes x yRes values.
  KrVDepthMap(unsigned short* buffer, unsigned short xRes, unsigned short yRes);
  KrVDepthMap(const KrVDepthMap& other) = default;
  KrVDepthMap& operator=(const KrVDepthMap& other) = default;
  ~KrVDepthMap() override;

  // The depth values.
  unsigned short* Data() { return static_cast<unsigned short*>(matrix.Data()); }
  const unsigned short* Data() const { return static_cast<const unsigned short*>(matrix.Data()); }
  unsigned short& operator[](unsigned int i) { return Data()[i]; }
  const unsigned short& operator[](unsigned int i) const { return Data()[i]; }
  // Value (matrix XRes) * y + x.
  unsigned short& operator()(int x, int y) { return matrix(x, y); }
  const unsigned short& operator()(int x, int y) const { return matrix(x, y); }
  const KrVDepthMatrix& GetMatrix() const { return matrix; }

  // Sets every value to NoSampleValue; nothing when not valid.
  void Clear();
  // Wraps the caller's buffer of xRes x yRes values (a live map keeps its
  // own resolution fields); 0x10001 when not valid.
  KrStatus SetBuffer(void* buffer, unsigned short xRes, unsigned short yRes);
  // Makes room for xRes x yRes values (an owned buffer grows, an external
  // one must be large enough); on failure the matrix keeps its resolution.
  KrStatus ReAdjust(unsigned short xRes, unsigned short yRes);
  // Copies other's current frame into the bound stream.
  KrStatus CopyFrom(const KrVDepthMap& other, unsigned long long timestamp);
  // Makes this map a window of xRes x yRes at (xOffset, yOffset) of other's
  // frame, bound to other's stream, filled with NoSampleValue. Note the
  // order: resolution first.
  KrStatus Initialize(const KrVDepthMap& other, unsigned short xRes, unsigned short yRes, unsigned short xOffset,
                      unsigned short yOffset);
  // Makes target a copy of this map: same window, parent, depth values and
  // pixels, owning (or filling) its own buffer.
  KrStatus Clone(KrVDepthMap& target) const;

  // Converts the pixels (or a window of width x height at (x, y)) into
  // real-world points with the map's translator: one point per pixel with
  // a sample (every pixel with KRV_NO_SAMPLE_KEEP), row by row, equal to
  // the per-point conversion. KR_STATUS_QM_NOT_INITIALIZED without a
  // translator.
  KrStatus ConvertToRealWorld(KrVPointContainer& points, KrVNoSampleHandling handling = KRV_NO_SAMPLE_SKIP) const;
  KrStatus ConvertToRealWorld(unsigned short x, unsigned short y, unsigned short width, unsigned short height,
                              KrVPointContainer& points, KrVNoSampleHandling handling = KRV_NO_SAMPLE_SKIP) const;

 protected:
  // Reads the depth representation, then wraps the stream's buffer.
  KrStatus ReadPropertiesFromStream() override;

 private:
  // Gives the matrix room for XRes x YRes and fills it with NoSampleValue;
  // a matrix sharing source's pixels gets a buffer of its own first.
  KrStatus PrepareOwnPixels(const KrVDepthMap& source);
  void Fill(unsigned short value);

  KrVDepthMatrix matrix;  // the pixels
};
