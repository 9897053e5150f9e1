// A first application: open the simulated sensor, read depth, turn one
// pixel into a real-world point, and record ten frames into a file.
#include <Ovalith/Ovalith.h>

#include <cstdio>

static bool Ok(KrStatus status, const char* what) {
  if (status != KR_STATUS_OK) std::fprintf(stderr, "%s: %s\n", what, krGetStatusString(status));
  return status == KR_STATUS_OK;
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
      const int x = depth.GetXRes() * 3 / 8, y = depth.GetYRes() / 8;
      KrVPoint point(x, y, depth(x, y));  // column, row, depth in mm
      depth.GetRealWorldTranslator()->Projective2RW(point);
      std::printf("pixel (%d, %d): %.0f mm away, at x %.1f, y %.1f mm\n", x, y, point.Z(), point.X(), point.Y());
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
