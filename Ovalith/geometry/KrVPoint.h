// KrVPoint: a point of three single-precision coordinates. In projective
// space X is the pixel column, Y the pixel row and Z the depth; in real-world
// space X, Y and Z are in the depth unit.
//
// A plain value: 12 bytes, no virtual operations, trivially copyable, so
// arrays of points can be filled and copied as bytes. No locking.
#pragma once

#include <type_traits>

class KrVPoint {
 public:
  KrVPoint() = default;  // coordinates left unset
  KrVPoint(float newX, float newY, float newZ) : x(newX), y(newY), z(newZ) {}
  KrVPoint(const KrVPoint& other) = default;
  KrVPoint& operator=(const KrVPoint& other) = default;

  void SetPoint(float newX, float newY, float newZ) {
    x = newX;
    y = newY;
    z = newZ;
  }
  float X() const { return x; }
  float Y() const { return y; }
  float Z() const { return z; }
  float& X() { return x; }
  float& Y() { return y; }
  float& Z() { return z; }

 private:
  float x;
  float y;
  float z;
};

static_assert(sizeof(KrVPoint) == 12, "a point is three packed floats");
static_assert(std::is_trivially_copyable<KrVPoint>::value, "points are copied as bytes");
