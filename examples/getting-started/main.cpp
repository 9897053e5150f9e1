// A first application: open the simulated sensor, read depth, turn one
// pixel into a real-world point, and record ten frames into a file.
#include <Ovalith/Ovalith.h>

#include <cstdio>
#include <cstdlib>

static bool Ok(KrStatus status, const char* what) {
  if (status != KR_STATUS_OK) std::fprintf(stderr, "%s: %s\n", what, krGetStatusString(status));
  return status == KR_STATUS_OK;
}

// Finds the pixel nearest to (*x, *y) that holds a measured depth: real
// depth has holes (no sample) and shadows beside near objects.
static bool FindSample(const KrVDepthMap& depth, int* x, int* y) {
  const int width = depth.GetXRes(), height = depth.GetYRes();
  for (int ring = 0; ring < width || ring < height; ++ring) {
    for (int dy = -ring; dy <= ring; ++dy) {
      for (int dx = -ring; dx <= ring; ++dx) {
        const int px = *x + dx, py = *y + dy;
        if (std::abs(dx) != ring && std::abs(dy) != ring) continue;  // inside: seen already
        if (px < 0 || py < 0 || px >= width || py >= height) continue;
        const unsigned short z = depth(px, py);
        if (z != depth.GetNoSampleValue() && z != depth.GetShadowValue()) {
          *x = px;
          *y = py;
          return true;
        }
      }
    }
  }
  return false;
}

int main() {
  if (!Ok(KrVDevice::EngineInit(nullptr, "."), "EngineInit")) return 1;
  bool ok;
  {
    KrVDevice sensor;
    ok = Ok(sensor.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), "CreateSensor") &&
         Ok(sensor.AddStream("Depth", "Depth", nullptr), "AddStream") && Ok(sensor.OpenAllStreams(), "Open") &&
         Ok(sensor.Read(), "Read");
    if (ok) {
      const KrVDepthMap& depth = *sensor.GetDepthMap();
      int x = depth.GetXRes() * 3 / 8, y = depth.GetYRes() / 8;
      if (FindSample(depth, &x, &y)) {
        KrVPoint point(x, y, depth(x, y));  // column, row, depth in mm
        depth.GetRealWorldTranslator()->Projective2RW(point);
        std::printf("pixel (%d, %d): %.0f mm away, at x %.1f, y %.1f mm\n", x, y, point.Z(), point.X(), point.Y());
      } else {
        std::printf("no pixel of the first frame holds a depth sample\n");
      }
      KrVDeviceRecorder recorder(&sensor, "first.rec");
      ok = Ok(recorder.StartRecording(1), "StartRecording");
      for (int frame = 0; ok && frame < 10; ++frame) {
        ok = Ok(sensor.Read(), "Read") && Ok(recorder.WriteData(), "WriteData");
      }
      ok = Ok(recorder.StopRecording(), "StopRecording") && ok;
      if (ok) std::printf("recorded first.rec\n");
    }
  }
  KrVDevice::EngineShutdown();
  return ok ? 0 : 1;
}
