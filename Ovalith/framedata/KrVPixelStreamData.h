// KrVPixelStreamData: a frame object with two-dimensional geometry: its
// resolution, its position as a window inside a larger parent frame, and
// the parent's resolution. Bound to a stream it follows "XRes", "YRes" and
// "Cropping": with cropping enabled the frame is the cropped window of the
// XRes x YRes parent, otherwise the whole parent.
//
// A live object (one the device binds) never changes its resolution through
// UpdateResolution or ResetSubMap (0x10001); a non-live object is positioned
// by Initialize and resized by the derived maps.
//
// Ownership, copies and threads: as KrVStreamData; copies take the six
// geometry fields.
#pragma once

#include <Ovalith/framedata/KrVStreamData.h>

#pragma pack(push, 1)
// The value of the "Cropping" stream property, little-endian.
struct CroppingRecord {
  int32_t enabled;  // boolean
  uint16_t xOffset;
  uint16_t yOffset;
  uint16_t xSize;
  uint16_t ySize;
};
#pragma pack(pop)
static_assert(sizeof(CroppingRecord) == 12, "CroppingRecord is 12 bytes");

class KrVPixelStreamData : public KrVStreamData {
 public:
  // Unbound frame of xRes x yRes that is its own parent.
  KrVPixelStreamData(unsigned short xRes = 0, unsigned short yRes = 0);
  // Bound to stream; a live object also watches "XRes", "YRes", "Cropping".
  KrVPixelStreamData(KrVStream* stream, int live, int deferred);
  KrVPixelStreamData(const KrVPixelStreamData& other) = default;
  KrVPixelStreamData& operator=(const KrVPixelStreamData& other) = default;
  ~KrVPixelStreamData() override;

  unsigned short GetXRes() const { return xRes; }
  unsigned short GetYRes() const { return yRes; }
  unsigned short GetXOffset() const { return xOffset; }
  unsigned short GetYOffset() const { return yOffset; }
  unsigned short GetParentXRes() const { return parentXRes; }
  unsigned short GetParentYRes() const { return parentYRes; }
  // Makes the frame its own parent; 0x10001 on a live object.
  KrStatus ResetSubMap();
  // Binds to other's stream as a window of xRes x yRes at (xOffset, yOffset)
  // inside other's frame (the parent is other's resolution).
  KrStatus Initialize(const KrVPixelStreamData& other, unsigned short xOffset, unsigned short yOffset,
                      unsigned short xRes, unsigned short yRes);

 protected:
  // Sets the resolution; 0x10001 on a live object.
  KrStatus UpdateResolution(unsigned short newXRes, unsigned short newYRes);
  // Gives this object other's window and parent exactly (for Clone).
  void CopyWindow(const KrVPixelStreamData& other);
  // Reads the base fields, then "XRes"/"YRes" (parent) and "Cropping".
  KrStatus ReadPropertiesFromStream() override;

  unsigned short xRes;  // the frame (window)
  unsigned short yRes;
  unsigned short xOffset;  // the window's place in the parent
  unsigned short yOffset;
  unsigned short parentXRes;
  unsigned short parentYRes;
};
