// KrVPointContainer: a growable array of KrVPoint, the output of the
// translator's whole-frame conversions.
//
// Ownership and copies: as KrVContainer (an owned buffer is copied, an
// external one is shared). Add reports a failed growth (a full external
// container, or no memory) instead of dropping it; callers that do not care
// may ignore the status. No locking; one thread at a time.
#pragma once

#include <Ovalith/geometry/KrVContainer.h>
#include <Ovalith/geometry/KrVPoint.h>

class KrVPointContainer : public KrVContainer {
 public:
  // An owned, zero-filled container of capacity points.
  explicit KrVPointContainer(unsigned int capacity);
  // Wraps capacity points of external memory.
  KrVPointContainer(KrVPoint* points, unsigned int capacity);
  KrVPointContainer(const KrVPointContainer& other) = default;
  KrVPointContainer& operator=(const KrVPointContainer& other) = default;
  ~KrVPointContainer() override;

  // The point in slot i; no range check.
  KrVPoint& operator[](int i) { return Points()[i]; }
  const KrVPoint& operator[](int i) const { return Points()[i]; }
  // Appends a copy of the point.
  KrStatus Add(const KrVPoint& point) { return KrVContainer::Add(&point); }
  // Declares the first count slots filled, for callers that write points
  // through Points(); more than the capacity is KR_STATUS_QM_BAD_PARAMETER.
  KrStatus SetSize(unsigned int count);
  KrVPoint* Points() { return static_cast<KrVPoint*>(Data()); }
  const KrVPoint* Points() const { return static_cast<const KrVPoint*>(Data()); }
};
