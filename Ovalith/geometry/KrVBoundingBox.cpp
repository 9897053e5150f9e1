#include <Ovalith/geometry/KrVBoundingBox.h>

namespace {

// One axis of AddPoint: a value that lowers the minimum is not compared with
// the maximum (it cannot exceed it once the box holds a point).
void Widen(float value, float& minimum, float& maximum) {
  if (minimum > value) {
    minimum = value;
  } else if (value > maximum) {
    maximum = value;
  }
}

bool Within(float value, float minimum, float maximum) { return !(minimum > value || value > maximum); }

void Cut(unsigned short resolution, float& minimum, float& maximum) {
  if (0.0f > minimum) {
    minimum = 0.0f;
  }
  const float limit = static_cast<float>(resolution);
  if (maximum >= limit) {
    maximum = limit - 1.0f;
  }
}

}  // namespace

KrVBoundingBox::KrVBoundingBox(const KrVPoint& a, const KrVPoint& b) : count(1), mins(a), maxs(a) { AddPoint(b); }

void KrVBoundingBox::AddPoint(const KrVPoint& p) {
  if (count == 0) {
    mins = p;
    maxs = p;
    count = 1;
    return;
  }
  Widen(p.X(), mins.X(), maxs.X());
  Widen(p.Y(), mins.Y(), maxs.Y());
  Widen(p.Z(), mins.Z(), maxs.Z());
  ++count;
}

bool KrVBoundingBox::IsPointWithin(const KrVPoint& p) const {
  return Within(p.X(), mins.X(), maxs.X()) && Within(p.Y(), mins.Y(), maxs.Y()) && Within(p.Z(), mins.Z(), maxs.Z());
}

void KrVBoundingBox::CutToResolution(unsigned short xRes, unsigned short yRes, unsigned short zRes) {
  Cut(xRes, mins.X(), maxs.X());
  Cut(yRes, mins.Y(), maxs.Y());
  Cut(zRes, mins.Z(), maxs.Z());
}
