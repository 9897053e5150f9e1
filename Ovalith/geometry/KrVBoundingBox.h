// KrVBoundingBox: an axis-aligned box that grows to enclose the points
// added to it. Mins and maxs have a defined value only once a point has been
// added (count > 0).
//
// A plain value: no ownership, no virtual operations, no locking.
#pragma once

#include <Ovalith/geometry/KrVPoint.h>

class KrVBoundingBox {
 public:
  KrVBoundingBox() : count(0), mins(0, 0, 0), maxs(0, 0, 0) {}
  // The box of the two points (count 2).
  KrVBoundingBox(const KrVPoint& a, const KrVPoint& b);
  KrVBoundingBox(const KrVBoundingBox& other) = default;
  KrVBoundingBox& operator=(const KrVBoundingBox& other) = default;

  // Widens the box to hold the point and counts it.
  void AddPoint(const KrVPoint& p);
  void AddPoint(float x, float y, float z) { AddPoint(KrVPoint(x, y, z)); }
  // Bounds inclusive on every axis; the count is not consulted.
  bool IsPointWithin(const KrVPoint& p) const;
  // Clamps the box to [0, res - 1] on each axis: a negative minimum becomes
  // 0, a maximum at or beyond the resolution becomes resolution - 1.
  void CutToResolution(unsigned short xRes, unsigned short yRes, unsigned short zRes);
  void Clear() { count = 0; }
  unsigned int GetSize() const { return count; }
  bool IsValid() const { return count > 0; }
  KrVPoint& GetMins() { return mins; }
  const KrVPoint& GetMins() const { return mins; }
  KrVPoint& GetMaxs() { return maxs; }
  const KrVPoint& GetMaxs() const { return maxs; }

 private:
  unsigned int count;  // points added since construction or Clear
  KrVPoint mins;
  KrVPoint maxs;
};
