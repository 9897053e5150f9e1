// KrVDepthRepresentation: a pixel frame object that knows how to interpret
// depth: the depth range (ZMin, ZRes = "MaxDepthValue" + 1 in 16 bits), the
// values that mark a pixel without a sample and a shadowed pixel, and a
// KrVRealWorldTranslator set up from the stream's "ZPD" and "ZPPS" and the
// frame geometry. The depth map derives from it.
//
// Ownership: the object owns its translator (null until the first set-up).
// A copy gets its own translator (a copy of the source's); if that cannot be
// allocated the copy has none. Copies otherwise follow KrVPixelStreamData.
//
// Choices of this implementation:
// - ZMin, ZRes, NoSampleValue, ShadowValue and the mode start at 0;
// - a depth-field read that fails keeps the field's previous value; a failed
//   "ZPD" or "ZPPS" read keeps the translator's previous calibration value
//   (0 when there was no translator yet);
// - KrVProjectionMode: 0 none, 1 projective (the pixels are column, row,
//   depth; a depth map bound to a stream), 2 real world. The engine itself
//   does not read it.
//
// Threads: as KrVStreamData.
#pragma once

#include <Ovalith/framedata/KrVPixelStreamData.h>
#include <Ovalith/geometry/KrVRealWorldTranslator.h>

enum KrVProjectionMode {
  KRV_PROJECTION_MODE_NONE = 0,
  KRV_PROJECTION_MODE_PROJECTIVE = 1,
  KRV_PROJECTION_MODE_REAL_WORLD = 2,
};

class KrVDepthRepresentation : public KrVPixelStreamData {
 public:
  KrVDepthRepresentation();
  // Unbound frame of xRes x yRes.
  KrVDepthRepresentation(unsigned short xRes, unsigned short yRes);
  // Bound to stream; a live object also watches "MinDepthValue",
  // "MaxDepthValue", "ShadowValue", "NoSampleValue", "ZPD", "ZPPS".
  KrVDepthRepresentation(KrVStream* stream, int live, int deferred);
  KrVDepthRepresentation(const KrVDepthRepresentation& other);
  KrVDepthRepresentation& operator=(const KrVDepthRepresentation& other);
  ~KrVDepthRepresentation() override;

  unsigned short GetZMin() const { return zMin; }
  unsigned short GetZRes() const { return zRes; }
  unsigned short GetNoSampleValue() const { return noSampleValue; }
  unsigned short GetShadowValue() const { return shadowValue; }
  // Null until the first set-up (or when it could not be allocated).
  const KrVRealWorldTranslator* GetRealWorldTranslator() const { return translator; }
  KrVRealWorldTranslator* GetRealWorldTranslator() { return translator; }
  void SetMode(KrVProjectionMode newMode) { mode = newMode; }
  KrVProjectionMode GetMode() const { return mode; }
  // Binds to other's stream as a window (see KrVPixelStreamData), takes
  // other's depth values, and sets up the translator for the window.
  KrStatus Initialize(const KrVDepthRepresentation& other, unsigned short xOffset, unsigned short yOffset,
                      unsigned short xRes, unsigned short yRes);

 protected:
  // Reads the pixel fields, then the depth values and the calibration.
  KrStatus ReadPropertiesFromStream() override;
  // Gives this object other's window, parent and translator exactly.
  void CopyWindow(const KrVDepthRepresentation& other);

 private:
  // Sets up (or creates) the translator for the current geometry, reading
  // "ZPD" and "ZPPS"; fallback holds the values used when a read fails.
  void SetUpTranslator(const KrVRealWorldTranslator* fallback);
  void CopyTranslator(const KrVRealWorldTranslator* source);

  unsigned short zMin;
  unsigned short zRes;
  unsigned short noSampleValue;
  KrVRealWorldTranslator* translator;  // owned
  unsigned short shadowValue;
  KrVProjectionMode mode;
};
