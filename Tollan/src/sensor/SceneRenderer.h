// The simulated sensor's picture: a deterministic room in which objects move
// with the frame id, rendered as depth, shift, colour or infra-red frames.
//
// The room (camera 800 mm above the floor, looking at a wall 3000 mm away):
// the back wall with a window that returns no depth (no-sample pixels), the
// floor, a cabinet at 2200 mm on the right, a ball of 150 mm radius at
// 1500 mm travelling across the room, and a square panel of 360 mm that
// moves sideways and between 1200 and 2600 mm. The emitter sits 75 mm to the
// right of the camera, so near objects cast projector shadows (shadow
// pixels) on their left. The geometry uses the factory calibration, so
// writing calibration properties changes the depth values (through S2D),
// not the picture.
//
// With noise on (RenderParams::noise, SensorNoise.h) the frames look like a
// real sensor's: noisy depth, flying pixels, speckle and dropouts, noisy
// colour and infra-red; off, they show the clean room.
//
// Frame content is a pure function of (frame id, render parameters): two
// renderers, or two sensors, give the same bytes for the same id. Depth
// values are those the sensor can report: each is an entry of S2D (or the
// shadow or no-sample value), so a shift frame maps to the depth frame
// through S2D. Colour and infra-red frames carry the frame id in their top
// rows as 32 black or white blocks, most significant bit first. A mirrored
// frame is the exact left-right flip of the unmirrored one.
//
// Two cameras (CameraRig): depth and infra-red show the depth camera's
// view; the image shows the colour camera's, ray-traced through the same
// room, so raw depth and image differ by the parallax of the baseline (and
// by occlusion at object edges). Registered depth is the depth camera's
// frame mapped into the colour camera's view at the depth frame's own
// resolution (CameraGeometry.h, MapDepthFrame): the nearer surface wins,
// and pixels the depth camera saw nothing of hold the no-sample value.
// The hole filter (HoleFilter.h) works on the depth camera's frame before
// registration, so registering a filtered frame in the engine gives the
// sensor's registered frame bit for bit.
// Registered values are depths along the colour camera's axis, rounded to
// the mm. With one camera (the single-viewpoint rig) image and depth
// coincide and registration changes nothing.
//
// Speed: the static room is rendered once per geometry into cached rows;
// a frame copies those rows and draws the moving objects over them from
// cached sprites, so a frame costs little more than copying it.
//
// One renderer per stream (it caches that stream's room); not locked, one
// thread at a time.
#pragma once

#include "DepthTables.h"
#include "HoleFilter.h"
#include "SensorCameras.h"
#include "SensorModes.h"
#include "SensorNoise.h"
#include "StreamSettings.h"

#include <Orvane/OrvaneTypes.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace tollan {
namespace sensor {

// Everything a pixel frame depends on besides its id.
struct RenderParams {
  StreamKind kind = StreamKind::kDepth;
  uint32_t xRes = 640;
  uint32_t yRes = 480;
  uint32_t outputFormat = 1;
  bool mirror = false;
  CroppingValue cropping{};
  uint16_t minDepth = 0;
  uint16_t maxDepth = 10000;
  uint16_t shadowValue = 1;
  uint16_t noSampleValue = 0;
  NoiseParams noise;        // off: the clean room, exact values for tests
  CameraRig rig;            // image frames come from its colour camera
  bool registered = false;  // depth: mapped into the colour camera's view
  bool holeFilter = false;  // depth: small holes filled (HoleFilter.h); off here, on by the sensor's default
};

// The parameters of a stream's frames; the stream is mirrored when its own
// "Mirror" or the device's is set.
RenderParams MakeRenderParams(const StreamSettings& settings, bool deviceMirror);

// Bytes of one frame of these parameters (the cropping window when enabled).
uint32_t FrameBytes(const RenderParams& params);

class SceneRenderer {
 public:
  SceneRenderer();
  ~SceneRenderer();
  SceneRenderer(const SceneRenderer&) = delete;
  SceneRenderer& operator=(const SceneRenderer&) = delete;

  // Renders frame frameId into out and sets *size to the bytes written.
  // tables: the depth stream's S2D/D2S (required for depth streams, unused
  // otherwise). A buffer smaller than the frame: 0x10007, nothing written;
  // a kind or format the renderer has no picture for:
  // KR_STATUS_TL_BAD_PROPERTY_VALUE.
  KrStatus Render(const RenderParams& params, const DepthTables* tables, uint32_t frameId, void* out, uint32_t capacity,
                  uint32_t* size);

 private:
  struct Cache;
  std::unique_ptr<Cache> cache_;  // the room and sprites of the last geometry rendered
};

}  // namespace sensor
}  // namespace tollan
