#include "SceneRenderer.h"

#include <Tollan/TollanStatus.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tollan {
namespace sensor {
namespace {

// ---- the room, in mm, camera at the origin looking along +Z, Y down ----
constexpr double kWallZ = 3000.0;
constexpr double kCameraHeight = 800.0;  // the floor is the plane Y = +800
constexpr double kWindowX0 = -1400.0, kWindowX1 = -600.0, kWindowY0 = -900.0, kWindowY1 = -200.0;  // on the wall
constexpr double kCabinetZ = 2200.0, kCabinetX0 = 550.0, kCabinetX1 = 1000.0, kCabinetTopY = -600.0;
constexpr double kBallZ = 1500.0, kBallRadius = 150.0;
constexpr double kPanelSide = 360.0, kPanelMeanZ = 1900.0, kPanelSwingZ = 700.0;
constexpr double kPi = 3.14159265358979323846;
// Periods of the motions, in frames.
constexpr double kBallPeriodX = 150.0, kBallPeriodY = 97.0, kPanelPeriodX = 173.0, kPanelPeriodZ = 211.0;

// Values a raw (infra-red) depth layer uses for pixels without a depth.
constexpr uint16_t kRawNoSample = 0;
constexpr uint16_t kRawShadow = 1;

struct Rgb {
  uint8_t r, g, b;
};
constexpr Rgb kPanelColour{60, 170, 90};
constexpr Rgb kPanelBorder{25, 80, 40};
constexpr uint8_t kStripOn = 235, kStripOff = 16;

// Pixel positions of the room at one resolution. The factory calibration
// gives the focal length, so the picture does not follow calibration writes.
struct Layout {
  int w = 0, h = 0;
  double f = 0, cx = 0, cy = 0, baseline = 0;
  int winX0 = 0, winX1 = 0, winY0 = 0, winY1 = 0;
  int cabX0 = 0, cabX1 = 0, cabY0 = 0, cabY1 = 0, cabShadow = 0;
  int ballR = 0;
  int stripRows = 0, blockW = 0, border = 0;
};

int ProjectU(const Layout& l, double x, double z) { return static_cast<int>(std::lround(l.cx + x * l.f / z)); }
int ProjectV(const Layout& l, double y, double z) { return static_cast<int>(std::lround(l.cy + y * l.f / z)); }
int ShadowWidth(const Layout& l, double nearZ, double farZ) {
  return farZ <= nearZ ? 0 : static_cast<int>(std::lround(l.f * l.baseline * (1.0 / nearZ - 1.0 / farZ)));
}

Layout MakeLayout(uint32_t w, uint32_t h) {
  const ShiftParams factory;
  Layout l;
  l.w = static_cast<int>(w);
  l.h = static_cast<int>(h);
  l.f = static_cast<double>(factory.zpd) / (factory.zpps * 1280.0 / w);
  l.cx = w / 2.0;
  l.cy = h / 2.0;
  l.baseline = factory.lddis * 10.0;
  l.winX0 = ProjectU(l, kWindowX0, kWallZ);
  l.winX1 = ProjectU(l, kWindowX1, kWallZ);
  l.winY0 = ProjectV(l, kWindowY0, kWallZ);
  l.winY1 = ProjectV(l, kWindowY1, kWallZ);
  l.cabX0 = ProjectU(l, kCabinetX0, kCabinetZ);
  l.cabX1 = std::min(l.w, ProjectU(l, kCabinetX1, kCabinetZ));
  l.cabY0 = ProjectV(l, kCabinetTopY, kCabinetZ);
  l.cabY1 = std::min(l.h, ProjectV(l, kCameraHeight, kCabinetZ));
  l.cabShadow = ShadowWidth(l, kCabinetZ, kWallZ);
  l.ballR = static_cast<int>(std::lround(kBallRadius * l.f / kBallZ));
  l.stripRows = std::max(2, l.h / 60);
  l.blockW = l.w / 32;
  l.border = std::max(1, l.w / 213);
  return l;
}

// Where the moving objects are in one frame.
struct Pose {
  int ballU = 0, ballV = 0;
  int panelX0 = 0, panelX1 = 0, panelY0 = 0, panelY1 = 0;
  double panelZ = 0;
  bool panelFirst = false;  // the panel is behind the ball
};

Pose PoseAt(const Layout& l, uint32_t frameId) {
  const double n = frameId;
  Pose p;
  p.ballU = static_cast<int>(std::lround(l.cx + 0.30 * l.w * std::sin(2 * kPi * n / kBallPeriodX)));
  p.ballV = static_cast<int>(std::lround(l.h * (0.40 + 0.12 * std::sin(2 * kPi * n / kBallPeriodY + 1.0))));
  p.panelZ = kPanelMeanZ + kPanelSwingZ * std::sin(2 * kPi * n / kPanelPeriodZ);
  const double side = kPanelSide * l.f / p.panelZ;
  const double centreU = l.cx + 0.28 * l.w * std::cos(2 * kPi * n / kPanelPeriodX);
  const double centreV = 0.62 * l.h;
  p.panelX0 = static_cast<int>(std::lround(centreU - side / 2));
  p.panelY0 = static_cast<int>(std::lround(centreV - side / 2));
  p.panelX1 = p.panelX0 + static_cast<int>(std::lround(side));
  p.panelY1 = p.panelY0 + static_cast<int>(std::lround(side));
  p.panelFirst = p.panelZ > kBallZ;
  return p;
}

// The static room's true depth at a pixel; shadow and noSample tell the
// pixels without one.
double RoomDepth(const Layout& l, int u, int v, bool* shadow, bool* noSample) {
  *shadow = *noSample = false;
  const double dv = v + 0.5 - l.cy;
  const double floorZ = dv > 0 ? kCameraHeight * l.f / dv : kWallZ * 2;
  const bool inCabinetRows = v >= l.cabY0 && v < l.cabY1;
  if (inCabinetRows && u >= l.cabX0 && u < l.cabX1) return kCabinetZ;
  const double z = std::min(kWallZ, floorZ);
  if (inCabinetRows && u >= l.cabX0 - l.cabShadow && u < l.cabX0 && z > kCabinetZ) *shadow = true;
  if (floorZ >= kWallZ && u >= l.winX0 && u < l.winX1 && v >= l.winY0 && v < l.winY1) *noSample = true;
  return z;
}

Rgb Shade(Rgb c, double k) {
  auto ch = [k](uint8_t x) { return static_cast<uint8_t>(std::clamp(x * k, 0.0, 255.0)); };
  return Rgb{ch(c.r), ch(c.g), ch(c.b)};
}

Rgb RoomColour(const Layout& l, int u, int v) {
  const double dv = v + 0.5 - l.cy;
  const double floorZ = dv > 0 ? kCameraHeight * l.f / dv : kWallZ * 2;
  if (v >= l.cabY0 && v < l.cabY1 && u >= l.cabX0 && u < l.cabX1) {
    return u == (l.cabX0 + l.cabX1) / 2 ? Rgb{140, 150, 170} : Rgb{88, 98, 120};
  }
  if (floorZ < kWallZ) {  // floor tiles of 300 mm
    const double x = (u + 0.5 - l.cx) * floorZ / l.f;
    const bool dark = ((static_cast<int>(std::floor(x / 300)) + static_cast<int>(std::floor(floorZ / 300))) & 1) != 0;
    return Shade(dark ? Rgb{118, 84, 52} : Rgb{150, 110, 70}, 1.0 - 0.15 * floorZ / kWallZ);
  }
  if (u >= l.winX0 && u < l.winX1 && v >= l.winY0 && v < l.winY1) {
    const double t = static_cast<double>(v - l.winY0) / std::max(1, l.winY1 - l.winY0);
    return Rgb{static_cast<uint8_t>(110 + 60 * t), static_cast<uint8_t>(160 + 40 * t), 225};
  }
  return Shade(Rgb{196, 186, 164}, 1.0 - 0.25 * v / l.h);
}

// Infra-red brightness (0..1023) of a depth, lit by the emitter; shadows get
// only ambient light and no-sample areas reflect almost nothing.
uint16_t IrLevel(uint16_t rawDepth) {
  if (rawDepth == kRawNoSample) return 12;
  if (rawDepth == kRawShadow) return 90;
  return static_cast<uint16_t>(std::lround(1023.0 * std::min(1.0, 1200.0 / rawDepth)));
}

// The projected dot pattern: a fixed pseudo-random field of bright dots.
uint8_t Speckle(int u, int v) {
  uint32_t x = static_cast<uint32_t>(u) * 73856093u ^ static_cast<uint32_t>(v) * 19349663u;
  x ^= x >> 13;
  x *= 0x5bd1e995u;
  x ^= x >> 15;
  return (x & 3u) == 0 ? 255 : 70;
}

template <typename T>
void FillSpan(T* row, int x0, int x1, int w, T value) {
  x0 = std::max(x0, 0);
  x1 = std::min(x1, w);
  for (int x = x0; x < x1; ++x) row[x] = value;
}

void FillRgbSpan(uint8_t* row, int x0, int x1, int w, Rgb c) {
  x0 = std::max(x0, 0);
  x1 = std::min(x1, w);
  for (int x = x0; x < x1; ++x) {
    row[3 * x] = c.r;
    row[3 * x + 1] = c.g;
    row[3 * x + 2] = c.b;
  }
}

void MirrorRgb(uint8_t* row, int w) {
  for (int a = 0, b = w - 1; a < b; ++a, --b) {
    for (int k = 0; k < 3; ++k) std::swap(row[3 * a + k], row[3 * b + k]);
  }
}

bool IsPixelKind(StreamKind kind) { return kind != StreamKind::kAudio; }

// ---- the colour camera's view (two cameras): rays through the room ----

constexpr double kNoHit = 1e300;

struct Vec3 {
  double x, y, z;
};

// The colour camera placed in the room (the depth camera's coordinates) and
// where the moving objects are in one frame, in mm.
struct ColourView {
  geometry::PinholeCamera cam;
  double rt[9];  // R transposed: colour camera directions to room directions
  Vec3 centre;   // the colour camera's centre in the room
  int w = 0, h = 0;

  void Set(const CameraRig& rig, uint32_t width, uint32_t height) {
    cam = rig.ColourCamera(width, height);
    const geometry::RigidMotion m = rig.DepthToColour();
    for (int i = 0; i < 3; ++i) {
      for (int k = 0; k < 3; ++k) rt[3 * i + k] = m.r[3 * k + i];
    }
    // X = R^T (X_c - t): the centre is -R^T t.
    centre = {-(rt[0] * m.t[0] + rt[1] * m.t[1] + rt[2] * m.t[2]), -(rt[3] * m.t[0] + rt[4] * m.t[1] + rt[5] * m.t[2]),
              -(rt[6] * m.t[0] + rt[7] * m.t[1] + rt[8] * m.t[2])};
    w = static_cast<int>(width);
    h = static_cast<int>(height);
  }
  Vec3 Ray(int i, int j) const {
    const double a = (i - cam.cx) / cam.fx, b = (j - cam.cy) / cam.fy;
    return {rt[0] * a + rt[1] * b + rt[2], rt[3] * a + rt[4] * b + rt[5], rt[6] * a + rt[7] * b + rt[8]};
  }
  // The colour pixel (fractional) of a room point; false behind the camera.
  bool Pixel(const Vec3& p, double* u, double* v) const {
    const double dx = p.x - centre.x, dy = p.y - centre.y, dz = p.z - centre.z;
    // X_c = R (X - C): R is rt transposed.
    const double x = rt[0] * dx + rt[3] * dy + rt[6] * dz, y = rt[1] * dx + rt[4] * dy + rt[7] * dz,
                 z = rt[2] * dx + rt[5] * dy + rt[8] * dz;
    if (!(z > 1)) return false;
    *u = cam.fx * x / z + cam.cx;
    *v = cam.fy * y / z + cam.cy;
    return true;
  }
};

// The moving objects of one frame in room coordinates: the same motions as
// the depth camera's sprites, at the 640 x 480 reference.
struct WorldPose {
  Vec3 ball{0, 0, kBallZ};
  double ballRadius = kBallRadius;
  double panelX0 = 0, panelY0 = 0, panelZ = 0;
  double panelBorder = 0;
};

WorldPose WorldPoseAt(uint32_t frameId) {
  const double n = frameId, f = CameraRig::DepthFocal(), w = 640, h = 480;
  WorldPose p;
  p.ball.x = 0.30 * w * std::sin(2 * kPi * n / kBallPeriodX) * kBallZ / f;
  p.ball.y = h * (-0.10 + 0.12 * std::sin(2 * kPi * n / kBallPeriodY + 1.0)) * kBallZ / f;
  p.panelZ = kPanelMeanZ + kPanelSwingZ * std::sin(2 * kPi * n / kPanelPeriodZ);
  p.panelX0 = 0.28 * w * std::cos(2 * kPi * n / kPanelPeriodX) * p.panelZ / f - kPanelSide / 2;
  p.panelY0 = 0.12 * h * p.panelZ / f - kPanelSide / 2;
  p.panelBorder = 3.0 * p.panelZ / f;
  return p;
}

// Distance along the ray to the ball, kNoHit when it misses.
double HitBall(const ColourView& view, const WorldPose& pose, const Vec3& d) {
  const Vec3 o{view.centre.x - pose.ball.x, view.centre.y - pose.ball.y, view.centre.z - pose.ball.z};
  const double a = d.x * d.x + d.y * d.y + d.z * d.z, b = o.x * d.x + o.y * d.y + o.z * d.z;
  const double c = o.x * o.x + o.y * o.y + o.z * o.z - pose.ballRadius * pose.ballRadius;
  const double disc = b * b - a * c;
  if (disc < 0) return kNoHit;
  const double t = (-b - std::sqrt(disc)) / a;
  return t > 0 ? t : kNoHit;
}

double HitPanel(const ColourView& view, const WorldPose& pose, const Vec3& d, bool* border) {
  if (!(d.z > 0)) return kNoHit;
  const double t = (pose.panelZ - view.centre.z) / d.z;
  const double x = view.centre.x + t * d.x - pose.panelX0, y = view.centre.y + t * d.y - pose.panelY0;
  if (x < 0 || x >= kPanelSide || y < 0 || y >= kPanelSide) return kNoHit;
  const double e = pose.panelBorder;
  *border = x < e || y < e || x >= kPanelSide - e || y >= kPanelSide - e;
  return t;
}

Rgb BallShade(const WorldPose& pose, const Vec3& hit) {
  const double nx = (hit.x - pose.ball.x) / pose.ballRadius, ny = (hit.y - pose.ball.y) / pose.ballRadius,
               nz = (hit.z - pose.ball.z) / pose.ballRadius;
  const double lx = -0.5, ly = -0.6, lz = -0.62, ln = std::sqrt(lx * lx + ly * ly + lz * lz);
  const double lambert = std::max(0.0, (nx * lx + ny * ly + nz * lz) / ln);
  return Shade(Rgb{210, 40, 35}, 0.22 + 0.78 * lambert);
}

// The static room's colour along the ray of colour pixel (i, j).
Rgb RoomColourSeen(const ColourView& view, int i, int j) {
  const Vec3 d = view.Ray(i, j);
  const Vec3& c = view.centre;
  if (d.z > 0) {
    const double t = (kCabinetZ - c.z) / d.z, x = c.x + t * d.x, y = c.y + t * d.y;
    if (x >= kCabinetX0 && x < kCabinetX1 && y >= kCabinetTopY && y < kCameraHeight) {
      const double half = 0.5 * kCabinetZ / view.cam.fx;  // one pixel wide
      return std::fabs(x - 0.5 * (kCabinetX0 + kCabinetX1)) < half ? Rgb{140, 150, 170} : Rgb{88, 98, 120};
    }
  }
  if (d.y > 0) {
    const double t = (kCameraHeight - c.y) / d.y, x = c.x + t * d.x, z = c.z + t * d.z;
    if (z < kWallZ && z > 0) {
      const bool dark = ((static_cast<int>(std::floor(x / 300)) + static_cast<int>(std::floor(z / 300))) & 1) != 0;
      return Shade(dark ? Rgb{118, 84, 52} : Rgb{150, 110, 70}, 1.0 - 0.15 * z / kWallZ);
    }
  }
  if (d.z > 0) {
    const double t = (kWallZ - c.z) / d.z, x = c.x + t * d.x, y = c.y + t * d.y;
    if (x >= kWindowX0 && x < kWindowX1 && y >= kWindowY0 && y < kWindowY1) {
      const double k = (y - kWindowY0) / (kWindowY1 - kWindowY0);
      return Rgb{static_cast<uint8_t>(110 + 60 * k), static_cast<uint8_t>(160 + 40 * k), 225};
    }
  }
  return Shade(Rgb{196, 186, 164}, 1.0 - 0.25 * j / view.h);
}

// The colour pixels a box of room points may cover, clipped to the frame:
// columns [*x0, *x1) and rows [*y0, *y1); empty when behind the camera.
void ScreenBox(const ColourView& view, const Vec3* corners, int count, int* x0, int* x1, int* y0, int* y1) {
  double u0 = 1e9, u1 = -1e9, v0 = 1e9, v1 = -1e9;
  for (int k = 0; k < count; ++k) {
    double u, v;
    if (!view.Pixel(corners[k], &u, &v)) {
      *x0 = *x1 = *y0 = *y1 = 0;
      return;
    }
    u0 = std::min(u0, u), u1 = std::max(u1, u), v0 = std::min(v0, v), v1 = std::max(v1, v);
  }
  *x0 = static_cast<int>(std::clamp(std::floor(u0) - 1, 0.0, double(view.w)));
  *x1 = static_cast<int>(std::clamp(std::ceil(u1) + 2, 0.0, double(view.w)));
  *y0 = static_cast<int>(std::clamp(std::floor(v0) - 1, 0.0, double(view.h)));
  *y1 = static_cast<int>(std::clamp(std::ceil(v1) + 2, 0.0, double(view.h)));
}

}  // namespace

// ---- the cache: the room and the ball of one geometry ----

struct SceneRenderer::Cache {
  // What the cached layers were built for.
  StreamKind kind = StreamKind::kAudio;
  uint32_t w = 0, h = 0;
  ShiftParams shift;
  uint16_t shadow = 0, noSample = 0;
  bool twoCameras = false;  // depth, infra-red: the ball is traced as a sphere; image: the colour camera's view
  CameraRig rig;
  // Two cameras, depth and infra-red: the ball of the current frame, traced
  // as a sphere over the box [ballX0, ballX1) x [ballY0, ballY1); 0 where
  // the ray misses it.
  std::vector<uint16_t> tracedBall;
  int ballX0 = 0, ballX1 = 0, ballY0 = 0, ballY1 = 0;

  Layout layout;
  ColourView view;  // two cameras: the colour camera in the room
  // Depth layer: reported depths (depth streams) or raw mm with the
  // kRaw* markers (infra-red), one value per pixel of the room.
  std::vector<uint16_t> roomDepth;
  std::vector<uint16_t> ballDepth;  // (2r+1)^2, valid inside the chords
  std::vector<int> chord;           // half width of the ball in each of its rows
  std::vector<uint8_t> roomRgb;
  std::vector<uint8_t> ballRgb;
  std::vector<uint8_t> speckle;
  std::vector<uint16_t> irLevel;  // by raw depth
  // Row scratch for formats that are converted after composing.
  std::vector<uint16_t> row16;
  std::vector<uint16_t> rowClean;  // the row before depth noise
  std::vector<uint16_t> rowIr;
  std::vector<uint8_t> rowRgb;
  // Whole depth frames: the depth camera's (hole filter, registration) and
  // its registered mapping.
  std::vector<uint16_t> frame16;
  std::vector<uint16_t> registered16;
  HoleScratch holes;

  bool Matches(const RenderParams& p, const DepthTables* tables) const {
    const bool two = p.rig.twoCameras;
    return kind == p.kind && w == p.xRes && h == p.yRes && shadow == p.shadowValue && noSample == p.noSampleValue &&
           two == twoCameras && (!two || SameRig(p.rig)) &&
           (p.kind != StreamKind::kDepth || (tables != nullptr && shift == tables->Params()));
  }

  bool SameRig(const CameraRig& r) const {
    return r.colourFocal == rig.colourFocal && r.baseline == rig.baseline && r.pitch == rig.pitch && r.yaw == rig.yaw &&
           r.roll == rig.roll;
  }

  // A reported depth for a true depth (depth layer) or a raw one.
  uint16_t DepthValue(double z, const DepthTables* tables) const {
    if (kind == StreamKind::kDepth) {
      const uint16_t q = tables->Quantize(z);
      return q != 0 ? q : noSample;
    }
    return static_cast<uint16_t>(std::clamp(std::lround(z), 2L, 65535L));
  }
  uint16_t ShadowMark() const { return kind == StreamKind::kDepth ? shadow : kRawShadow; }
  uint16_t NoSampleMark() const { return kind == StreamKind::kDepth ? noSample : kRawNoSample; }

  void Build(const RenderParams& p, const DepthTables* tables) {
    kind = p.kind;
    w = p.xRes;
    h = p.yRes;
    shift = tables ? tables->Params() : ShiftParams();
    shadow = p.shadowValue;
    noSample = p.noSampleValue;
    twoCameras = p.rig.twoCameras;
    rig = p.rig;
    layout = MakeLayout(w, h);
    const Layout& l = layout;
    const size_t pixels = static_cast<size_t>(w) * h;
    const int r = l.ballR, side = 2 * r + 1;

    chord.assign(side, 0);
    for (int k = 0; k < side; ++k)
      chord[k] = static_cast<int>(std::floor(std::sqrt(double(r) * r - double(k - r) * (k - r))));

    if (kind == StreamKind::kImage && twoCameras) {
      view.Set(rig, w, h);
      roomRgb.resize(pixels * 3);
      for (int v = 0; v < l.h; ++v) {
        for (int u = 0; u < l.w; ++u) {
          const Rgb c = RoomColourSeen(view, u, v);
          uint8_t* px = &roomRgb[(static_cast<size_t>(v) * l.w + u) * 3];
          px[0] = c.r, px[1] = c.g, px[2] = c.b;
        }
      }
      rowRgb.resize(static_cast<size_t>(w) * 3);
      return;
    }
    if (kind == StreamKind::kImage) {
      roomRgb.resize(pixels * 3);
      for (int v = 0; v < l.h; ++v) {
        for (int u = 0; u < l.w; ++u) {
          const Rgb c = RoomColour(l, u, v);
          uint8_t* px = &roomRgb[(static_cast<size_t>(v) * l.w + u) * 3];
          px[0] = c.r, px[1] = c.g, px[2] = c.b;
        }
      }
      ballRgb.assign(static_cast<size_t>(side) * side * 3, 0);
      const double lx = -0.5, ly = -0.6, lz = -0.62, ln = std::sqrt(lx * lx + ly * ly + lz * lz);
      for (int k = 0; k < side; ++k) {
        for (int j = 0; j < side; ++j) {
          const double nx = double(j - r) / r, ny = double(k - r) / r, d2 = nx * nx + ny * ny;
          if (d2 > 1.0) continue;
          const double nz = -std::sqrt(1.0 - d2);
          const double lambert = std::max(0.0, (nx * lx + ny * ly + nz * lz) / ln);
          const Rgb c = Shade(Rgb{210, 40, 35}, 0.22 + 0.78 * lambert);
          uint8_t* px = &ballRgb[(static_cast<size_t>(k) * side + j) * 3];
          px[0] = c.r, px[1] = c.g, px[2] = c.b;
        }
      }
      rowRgb.resize(static_cast<size_t>(w) * 3);
      return;
    }

    roomDepth.resize(pixels);
    for (int v = 0; v < l.h; ++v) {
      for (int u = 0; u < l.w; ++u) {
        bool inShadow, noDepth;
        const double z = RoomDepth(l, u, v, &inShadow, &noDepth);
        roomDepth[static_cast<size_t>(v) * l.w + u] = inShadow  ? ShadowMark()
                                                      : noDepth ? NoSampleMark()
                                                                : DepthValue(z, tables);
      }
    }
    ballDepth.assign(static_cast<size_t>(side) * side, 0);
    for (int k = 0; k < side; ++k) {
      for (int j = 0; j < side; ++j) {
        const double d2 = (double(j - r) * (j - r) + double(k - r) * (k - r)) / (double(r) * r);
        if (d2 <= 1.0)
          ballDepth[static_cast<size_t>(k) * side + j] = DepthValue(kBallZ - kBallRadius * std::sqrt(1.0 - d2), tables);
      }
    }
    row16.resize(w);
    rowClean.resize(w);
    if (kind == StreamKind::kDepth) frame16.resize(pixels);
    if (kind == StreamKind::kDepth && twoCameras) registered16.resize(pixels);
    if (kind == StreamKind::kIR) {
      speckle.resize(pixels);
      for (int v = 0; v < l.h; ++v) {
        for (int u = 0; u < l.w; ++u) speckle[static_cast<size_t>(v) * l.w + u] = Speckle(u, v);
      }
      irLevel.resize(65536);
      for (uint32_t z = 0; z < 65536; ++z) irLevel[z] = IrLevel(static_cast<uint16_t>(z));
      rowIr.resize(w);
    }
  }

  // The depth layer of row v with the moving objects: room, then the
  // farther object, then the nearer, each with its shadow on its left.
  void ComposeDepthRow(const Pose& pose, uint16_t panelValue, int v, uint16_t* row) const {
    const Layout& l = layout;
    std::memcpy(row, &roomDepth[static_cast<size_t>(v) * l.w], static_cast<size_t>(l.w) * sizeof(uint16_t));
    for (int pass = 0; pass < 2; ++pass) {
      if ((pass == 0) == pose.panelFirst) {
        if (v >= pose.panelY0 && v < pose.panelY1) {
          CastShadow(row, pose.panelX0, pose.panelZ);
          FillSpan(row, pose.panelX0, pose.panelX1, l.w, panelValue);
        }
      } else {
        if (twoCameras) {
          DrawTracedBall(v, row);
          continue;
        }
        const int k = v - pose.ballV + l.ballR;
        if (k < 0 || k > 2 * l.ballR) continue;
        const int x0 = pose.ballU - chord[k], x1 = pose.ballU + chord[k] + 1;
        CastShadow(row, x0, kBallZ);
        const int c0 = std::max(x0, 0), c1 = std::min(x1, l.w);
        if (c0 < c1) {
          const uint16_t* src = &ballDepth[static_cast<size_t>(k) * (2 * l.ballR + 1) + (c0 - (pose.ballU - l.ballR))];
          std::memcpy(row + c0, src, static_cast<size_t>(c1 - c0) * sizeof(uint16_t));
        }
      }
    }
  }

  // Traces the frame's ball, a sphere in the room, through the depth
  // camera's pixels (two cameras, so that both cameras see the same ball).
  void TraceBall(const WorldPose& world, const DepthTables* tables) {
    const Layout& l = layout;
    const Vec3& b = world.ball;
    const double r = world.ballRadius, reach = l.f * r / (b.z - r) + 2;
    const double cu = l.cx + l.f * b.x / b.z, cv = l.cy + l.f * b.y / b.z;
    ballX0 = std::clamp(static_cast<int>(std::floor(cu - reach)), 0, l.w);
    ballX1 = std::clamp(static_cast<int>(std::ceil(cu + reach)) + 1, 0, l.w);
    ballY0 = std::clamp(static_cast<int>(std::floor(cv - reach)), 0, l.h);
    ballY1 = std::clamp(static_cast<int>(std::ceil(cv + reach)) + 1, 0, l.h);
    const int bw = ballX1 - ballX0;
    tracedBall.assign(static_cast<size_t>(std::max(0, bw)) * std::max(0, ballY1 - ballY0), 0);
    const double cc = b.x * b.x + b.y * b.y + b.z * b.z - r * r;
    for (int v = ballY0; v < ballY1; ++v) {
      for (int u = ballX0; u < ballX1; ++u) {
        // The ray (a, c, 1) of pixel (u, v): its depth is the distance along it.
        const double a = (u - l.cx) / l.f, c = (v - l.cy) / l.f;
        const double dd = a * a + c * c + 1, db = a * b.x + c * b.y + b.z;
        const double disc = db * db - dd * cc;
        if (disc < 0) continue;
        const uint16_t z = DepthValue((db - std::sqrt(disc)) / dd, tables);
        tracedBall[static_cast<size_t>(v - ballY0) * bw + (u - ballX0)] = z;  // 0 (a miss) only beyond the tables
      }
    }
  }

  void DrawTracedBall(int v, uint16_t* row) const {
    if (v < ballY0 || v >= ballY1) return;
    const int bw = ballX1 - ballX0;
    const uint16_t* src = &tracedBall[static_cast<size_t>(v - ballY0) * bw];
    int first = -1;
    for (int k = 0; k < bw && first < 0; ++k) first = src[k] != 0 ? k : -1;
    if (first < 0) return;
    CastShadow(row, ballX0 + first, kBallZ);
    for (int k = first; k < bw; ++k) {
      if (src[k] != 0) row[ballX0 + k] = src[k];
    }
  }

  // Shadow of an object whose left edge is at x0 and depth z, over what the
  // row shows just left of it.
  void CastShadow(uint16_t* row, int x0, double z) const {
    if (x0 <= 0 || x0 > layout.w) return;
    const uint16_t behind = row[x0 - 1];
    const double behindZ = (behind == ShadowMark() || behind == NoSampleMark()) ? kWallZ : behind;
    const int width = ShadowWidth(layout, z, behindZ);
    FillSpan(row, x0 - width, x0, layout.w, ShadowMark());
  }

  void ComposeRgbRow(const Pose& pose, const NoiseParams& noise, uint32_t frameId, int v, uint8_t* row) const {
    const Layout& l = layout;
    std::memcpy(row, &roomRgb[static_cast<size_t>(v) * l.w * 3], static_cast<size_t>(l.w) * 3);
    for (int pass = 0; pass < 2; ++pass) {
      if ((pass == 0) == pose.panelFirst) {
        if (v < pose.panelY0 || v >= pose.panelY1) continue;
        const bool edgeRow = v < pose.panelY0 + l.border || v >= pose.panelY1 - l.border;
        FillRgbSpan(row, pose.panelX0, pose.panelX1, l.w, edgeRow ? kPanelBorder : kPanelColour);
        if (!edgeRow) {
          FillRgbSpan(row, pose.panelX0, pose.panelX0 + l.border, l.w, kPanelBorder);
          FillRgbSpan(row, pose.panelX1 - l.border, pose.panelX1, l.w, kPanelBorder);
        }
      } else {
        const int k = v - pose.ballV + l.ballR;
        if (k < 0 || k > 2 * l.ballR) continue;
        const int c0 = std::max(pose.ballU - chord[k], 0), c1 = std::min(pose.ballU + chord[k] + 1, l.w);
        if (c0 < c1) {
          const uint8_t* src =
              &ballRgb[(static_cast<size_t>(k) * (2 * l.ballR + 1) + (c0 - (pose.ballU - l.ballR))) * 3];
          std::memcpy(row + 3 * c0, src, static_cast<size_t>(c1 - c0) * 3);
        }
      }
    }
    AddColourNoise(noise, frameId, v, l.w, row);
    if (v < l.stripRows) {
      for (int b = 0; b < 32; ++b) {
        const uint8_t level = ((frameId >> (31 - b)) & 1u) ? kStripOn : kStripOff;
        FillRgbSpan(row, b * l.blockW, (b + 1) * l.blockW, l.w, Rgb{level, level, level});
      }
    }
  }

  // Row v of the colour camera's image: the cached room, then the ball and
  // the panel where their rays hit (the nearer wins).
  void ComposeSeenRgbRow(const WorldPose& pose, const int* ballBox, const int* panelBox, const NoiseParams& noise,
                         uint32_t frameId, int v, uint8_t* row) const {
    const Layout& l = layout;
    std::memcpy(row, &roomRgb[static_cast<size_t>(v) * l.w * 3], static_cast<size_t>(l.w) * 3);
    for (const int* box : {ballBox, panelBox}) {
      if (v < box[2] || v >= box[3]) continue;
      for (int u = box[0]; u < box[1]; ++u) {
        const Vec3 d = view.Ray(u, v);
        bool border = false;
        const double tb = HitBall(view, pose, d), tp = HitPanel(view, pose, d, &border);
        if (tb == kNoHit && tp == kNoHit) continue;
        Rgb c;
        if (tb <= tp) {
          c = BallShade(pose, Vec3{view.centre.x + tb * d.x, view.centre.y + tb * d.y, view.centre.z + tb * d.z});
        } else {
          c = border ? kPanelBorder : kPanelColour;
        }
        row[3 * u] = c.r, row[3 * u + 1] = c.g, row[3 * u + 2] = c.b;
      }
    }
    AddColourNoise(noise, frameId, v, l.w, row);
    if (v < l.stripRows) {
      for (int b = 0; b < 32; ++b) {
        const uint8_t level = ((frameId >> (31 - b)) & 1u) ? kStripOn : kStripOff;
        FillRgbSpan(row, b * l.blockW, (b + 1) * l.blockW, l.w, Rgb{level, level, level});
      }
    }
  }

  // The pixel boxes of the ball and the panel in the colour view.
  void ObjectBoxes(const WorldPose& pose, int* ballBox, int* panelBox) const {
    const double r = pose.ballRadius;
    Vec3 cube[8];
    for (int k = 0; k < 8; ++k) {
      cube[k] = {pose.ball.x + ((k & 1) ? r : -r), pose.ball.y + ((k & 2) ? r : -r), pose.ball.z + ((k & 4) ? r : -r)};
    }
    ScreenBox(view, cube, 8, &ballBox[0], &ballBox[1], &ballBox[2], &ballBox[3]);
    const Vec3 square[4] = {{pose.panelX0, pose.panelY0, pose.panelZ},
                            {pose.panelX0 + kPanelSide, pose.panelY0, pose.panelZ},
                            {pose.panelX0, pose.panelY0 + kPanelSide, pose.panelZ},
                            {pose.panelX0 + kPanelSide, pose.panelY0 + kPanelSide, pose.panelZ}};
    ScreenBox(view, square, 4, &panelBox[0], &panelBox[1], &panelBox[2], &panelBox[3]);
  }

  // The whole depth frame in the depth camera's view with its noise, and
  // its small holes filled when asked.
  void ComposeDepthFrame(const Pose& pose, uint16_t panelValue, const NoiseParams& noise, const DepthTables& tables,
                         uint32_t frameId, bool fillHoles) {
    const Layout& l = layout;
    for (int v = 0; v < l.h; ++v) {
      uint16_t* depth = &frame16[static_cast<size_t>(v) * l.w];
      ComposeDepthRow(pose, panelValue, v, depth);
      AddDepthNoise(noise, tables, shadow, noSample, frameId, v, l.w, depth, rowClean.data());
    }
    if (fillHoles) FillSmallHoles(frame16.data(), l.w, l.h, noSample, shadow, &holes);
  }

  // That frame mapped into the colour camera's view at the same resolution.
  void RegisterDepthFrame(const Pose& pose, uint16_t panelValue, const NoiseParams& noise, const DepthTables& tables,
                          uint32_t frameId, bool fillHoles) {
    ComposeDepthFrame(pose, panelValue, noise, tables, frameId, fillHoles);
    geometry::DepthMapping mapping;
    mapping.Set(rig.DepthCamera(w, h), rig.ColourCamera(w, h), rig.DepthToColour());
    geometry::MapDepthFrame(mapping, frame16.data(), noSample, shadow, registered16.data());
  }

  // Infra-red levels (0..1023) of row v.
  void ComposeIrRow(const Pose& pose, uint16_t panelValue, const NoiseParams& noise, uint32_t frameId, int v,
                    uint16_t* out) {
    const Layout& l = layout;
    ComposeDepthRow(pose, panelValue, v, row16.data());
    const uint8_t* dots = &speckle[static_cast<size_t>(v) * l.w];
    for (int u = 0; u < l.w; ++u) out[u] = static_cast<uint16_t>((irLevel[row16[u]] * dots[u] + 127) / 255);
    AddIrNoise(noise, frameId, v, l.w, out);
    if (v < l.stripRows) {
      for (int b = 0; b < 32; ++b) {
        const uint16_t level = ((frameId >> (31 - b)) & 1u) ? 1023 : 0;
        FillSpan(out, b * l.blockW, (b + 1) * l.blockW, l.w, level);
      }
    }
  }
};

// ---- parameters ----

RenderParams MakeRenderParams(const StreamSettings& s, bool deviceMirror) {
  RenderParams p;
  p.kind = s.Kind();
  p.xRes = s.XRes();
  p.yRes = s.YRes();
  p.outputFormat = s.OutputFormat();
  p.mirror = deviceMirror || s.Mirror();
  p.cropping = s.Cropping();
  p.rig = s.Rig();
  p.registered = s.Registers();
  p.holeFilter = s.HoleFilter();
  if (s.Kind() == StreamKind::kDepth) {
    p.minDepth = s.MinDepth();
    p.maxDepth = s.MaxDepth();
    p.shadowValue = s.ShadowValue();
    p.noSampleValue = s.NoSampleValue();
  }
  return p;
}

uint32_t FrameBytes(const RenderParams& p) {
  const bool crop = p.cropping.enabled != 0;
  const uint32_t w = crop ? p.cropping.xSize : p.xRes;
  const uint32_t h = crop ? p.cropping.ySize : p.yRes;
  return w * h * BytesPerPixel(p.outputFormat);
}

// ---- rendering ----

SceneRenderer::SceneRenderer() : cache_(new Cache) {}
SceneRenderer::~SceneRenderer() = default;

KrStatus SceneRenderer::Render(const RenderParams& p, const DepthTables* tables, uint32_t frameId, void* out,
                               uint32_t capacity, uint32_t* size) {
  if (size == nullptr || (out == nullptr && capacity != 0)) return KR_STATUS_OS_NULL_POINTER;
  const bool crop = p.cropping.enabled != 0;
  const uint32_t x0 = crop ? p.cropping.xOffset : 0, y0 = crop ? p.cropping.yOffset : 0;
  const uint32_t ow = crop ? p.cropping.xSize : p.xRes, oh = crop ? p.cropping.ySize : p.yRes;
  const bool fits = x0 + ow <= p.xRes && y0 + oh <= p.yRes && ow > 0 && oh > 0;
  if (!IsPixelKind(p.kind) || !IsFormatOffered(p.kind, p.outputFormat) || !FindResolutionByXRes(p.xRes) ||
      !FindResolutionByYRes(p.yRes) || !fits || (p.kind == StreamKind::kDepth && tables == nullptr) ||
      (p.outputFormat == KR_OUTPUT_FORMAT_YUV422 && (x0 % 2 != 0 || ow % 2 != 0))) {
    return KR_STATUS_TL_BAD_PROPERTY_VALUE;
  }
  const uint32_t bytes = FrameBytes(p);
  if (capacity < bytes) return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  Cache& c = *cache_;
  if (!c.Matches(p, tables)) c.Build(p, tables);

  const Layout& l = c.layout;
  const Pose pose = PoseAt(l, frameId);
  const uint16_t panelValue = p.kind == StreamKind::kImage ? 0 : c.DepthValue(pose.panelZ, tables);
  uint8_t* dst = static_cast<uint8_t*>(out);
  const uint32_t bpp = BytesPerPixel(p.outputFormat);
  const size_t outRow = static_cast<size_t>(ow) * bpp;
  const bool aligned = reinterpret_cast<uintptr_t>(out) % alignof(uint16_t) == 0;
  if (c.twoCameras && p.kind != StreamKind::kImage) c.TraceBall(WorldPoseAt(frameId), tables);
  const bool registered = p.kind == StreamKind::kDepth && p.registered && c.twoCameras;
  const bool filtered = p.kind == StreamKind::kDepth && p.holeFilter;
  if (registered) {
    c.RegisterDepthFrame(pose, panelValue, p.noise, *tables, frameId, filtered);
  } else if (filtered) {
    c.ComposeDepthFrame(pose, panelValue, p.noise, *tables, frameId, true);
  }
  const bool seen = p.kind == StreamKind::kImage && c.twoCameras;
  const WorldPose world = WorldPoseAt(frameId);
  int ballBox[4] = {0, 0, 0, 0}, panelBox[4] = {0, 0, 0, 0};
  if (seen) c.ObjectBoxes(world, ballBox, panelBox);

  for (uint32_t v = y0; v < y0 + oh; ++v, dst += outRow) {
    const int row = static_cast<int>(v);
    if (p.kind == StreamKind::kDepth) {
      // Depth in mm straight into the frame when nothing else is asked.
      const bool direct = !crop && aligned && p.outputFormat == KR_OUTPUT_FORMAT_DEPTH_VALUES;
      uint16_t* depth = direct ? reinterpret_cast<uint16_t*>(dst) : c.row16.data();
      if (registered) {
        std::memcpy(depth, &c.registered16[static_cast<size_t>(row) * l.w], static_cast<size_t>(l.w) * 2);
      } else if (filtered) {
        std::memcpy(depth, &c.frame16[static_cast<size_t>(row) * l.w], static_cast<size_t>(l.w) * 2);
      } else {
        c.ComposeDepthRow(pose, panelValue, row, depth);
        AddDepthNoise(p.noise, *tables, p.shadowValue, p.noSampleValue, frameId, row, l.w, depth, c.rowClean.data());
      }
      if (p.minDepth > tables->NearestDepth() || p.maxDepth < tables->FarthestDepth()) {
        for (int u = 0; u < l.w; ++u) {
          const uint16_t z = depth[u];
          if (z != p.shadowValue && z != p.noSampleValue && (z < p.minDepth || z > p.maxDepth)) {
            depth[u] = p.noSampleValue;
          }
        }
      }
      if (p.mirror) std::reverse(depth, depth + l.w);
      if (direct) continue;
      if (p.outputFormat == KR_OUTPUT_FORMAT_DEPTH_VALUES) {
        std::memcpy(dst, depth + x0, outRow);
      } else {  // shift values through D2S; shadow and no-sample become shift 0
        const std::vector<uint16_t>& d2s = tables->D2S();
        const uint16_t top = static_cast<uint16_t>(d2s.size() - 1);
        for (uint32_t u = 0; u < ow; ++u) {
          const uint16_t shift = d2s[std::min(depth[x0 + u], top)];
          std::memcpy(dst + 2 * u, &shift, sizeof(shift));
        }
      }
    } else if (p.kind == StreamKind::kImage) {
      const bool direct = !crop && p.outputFormat == KR_OUTPUT_FORMAT_RGB24;
      uint8_t* rgb = direct ? dst : c.rowRgb.data();
      if (seen) {
        c.ComposeSeenRgbRow(world, ballBox, panelBox, p.noise, frameId, row, rgb);
      } else {
        c.ComposeRgbRow(pose, p.noise, frameId, row, rgb);
      }
      if (p.mirror) MirrorRgb(rgb, l.w);
      if (direct) continue;
      const uint8_t* px = rgb + 3 * x0;
      if (p.outputFormat == KR_OUTPUT_FORMAT_RGB24) {
        std::memcpy(dst, px, outRow);
      } else if (p.outputFormat == KR_OUTPUT_FORMAT_GRAYSCALE8) {
        for (uint32_t u = 0; u < ow; ++u, px += 3)
          dst[u] = static_cast<uint8_t>((77 * px[0] + 150 * px[1] + 29 * px[2]) >> 8);
      } else {  // YUV 4:2:2 as Y0 U Y1 V, BT.601, colour of each pair averaged
        for (uint32_t u = 0; u < ow; u += 2, px += 6) {
          const int r = (px[0] + px[3]) / 2, g = (px[1] + px[4]) / 2, b = (px[2] + px[5]) / 2;
          dst[2 * u] = static_cast<uint8_t>((77 * px[0] + 150 * px[1] + 29 * px[2]) >> 8);
          dst[2 * u + 1] = static_cast<uint8_t>(std::clamp(((-43 * r - 85 * g + 128 * b) >> 8) + 128, 0, 255));
          dst[2 * u + 2] = static_cast<uint8_t>((77 * px[3] + 150 * px[4] + 29 * px[5]) >> 8);
          dst[2 * u + 3] = static_cast<uint8_t>(std::clamp(((128 * r - 107 * g - 21 * b) >> 8) + 128, 0, 255));
        }
      }
    } else {
      uint16_t* ir = c.rowIr.data();
      c.ComposeIrRow(pose, panelValue, p.noise, frameId, row, ir);
      if (p.mirror) std::reverse(ir, ir + l.w);
      if (p.outputFormat == KR_OUTPUT_FORMAT_GRAYSCALE16) {
        std::memcpy(dst, ir + x0, outRow);
      } else {
        for (uint32_t u = 0; u < ow; ++u) {
          const uint8_t level = static_cast<uint8_t>(ir[x0 + u] >> 2);
          for (uint32_t k = 0; k < bpp; ++k) dst[u * bpp + k] = level;
        }
      }
    }
  }
  *size = bytes;
  return KR_STATUS_OK;
}

}  // namespace sensor
}  // namespace tollan
