// The depth filters measured for what each is for, with the simulated
// sensor's exact room as the truth its noisy room is compared with.
#include <Ovalith/Ovalith.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>

namespace {

// Sensor 0 the noisy room, sensor 1 the exact one; the same frame id shows the same scene in both.
class DepthFilters : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/ovalith-filters-XXXXXX";
    directory_ = mkdtemp(pattern);
    std::ofstream(directory_ + "/Tollan.ini") << "[Tollan]\nSensors = 2\nPaced = 0\n[SensorV2.1]\nScene = clean\n";
    ASSERT_EQ(KrVDevice::EngineInit(nullptr, directory_.c_str()), KR_STATUS_OK);
    for (int sensor = 0; sensor < 2; ++sensor) {
      KrVDevice device;
      const std::string connection = "*:" + std::to_string(sensor);
      ASSERT_EQ(device.CreateSensor(connection.c_str(), nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
      ASSERT_EQ(device.AddStream("Depth", "Depth", nullptr), KR_STATUS_OK);
      ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
      for (int frame = 0; frame < kFrames; ++frame) {
        ASSERT_EQ(device.Read(), KR_STATUS_OK);
        const KrVDepthMap& map = *device.GetDepthMap();
        KrVDepthImage image;
        image.width = map.GetXRes();
        image.height = map.GetYRes();
        image.pixels.assign(map.Data(), map.Data() + size_t{image.width} * image.height);
        image.noSampleValue = map.GetNoSampleValue();
        image.shadowValue = map.GetShadowValue();
        (sensor == 0 ? noisy_ : clean_).push_back(image);
        if (translator_ == nullptr) translator_ = new KrVRealWorldTranslator(*map.GetRealWorldTranslator());
      }
    }
  }
  static void TearDownTestSuite() {
    delete translator_;
    KrVDevice::EngineShutdown();
    std::system(("rm -rf " + directory_).c_str());
  }
  // Pixels of a flat surface (wall, floor): measured in the exact room, as is every pixel 2 around them, all within
  // 2% of each other.
  static std::vector<size_t> Flat(const KrVDepthImage& clean) {
    std::vector<size_t> flat;
    const int w = static_cast<int>(clean.width), h = static_cast<int>(clean.height);
    for (int y = 2; y < h - 2; ++y) {
      for (int x = 2; x < w - 2; ++x) {
        const uint16_t z = clean.pixels[size_t(y) * w + x];
        bool ok = clean.IsDepth(z);
        for (int dy = -2; ok && dy <= 2; ++dy) {
          for (int dx = -2; ok && dx <= 2; ++dx) {
            const uint16_t n = clean.pixels[size_t(y + dy) * w + x + dx];
            ok = clean.IsDepth(n) && std::abs(n - z) <= z / 50;
          }
        }
        if (ok) flat.push_back(size_t(y) * w + x);
      }
    }
    return flat;
  }
  // Mean absolute error against the truth over the pixels both measured.
  static double Error(const KrVDepthImage& image, const KrVDepthImage& truth, const std::vector<size_t>& where) {
    double sum = 0;
    size_t count = 0;
    for (const size_t i : where) {
      if (!image.IsDepth(image.pixels[i])) continue;
      sum += std::abs(double(image.pixels[i]) - truth.pixels[i]);
      ++count;
    }
    return count > 0 ? sum / count : 1e9;
  }
  static constexpr int kFrames = 10;
  static std::string directory_;
  static std::vector<KrVDepthImage> noisy_, clean_;
  static KrVRealWorldTranslator* translator_;
};
std::string DepthFilters::directory_;
std::vector<KrVDepthImage> DepthFilters::noisy_, DepthFilters::clean_;
KrVRealWorldTranslator* DepthFilters::translator_ = nullptr;

// Spatial and temporal smoothing at least halve the error on the wall and the floor, and leave every large depth
// step of the room where it was, within a pixel.
TEST_F(DepthFilters, SmoothingHalvesTheNoiseAndKeepsTheEdges) {
  KrVDepthFilterChain chain;
  ASSERT_EQ(chain.Parse("spatial,temporal"), KR_STATUS_OK);
  KrVDepthImage out;
  for (int f = 0; f < kFrames; ++f) ASSERT_EQ(chain.Apply(noisy_[f], out), KR_STATUS_OK);
  const KrVDepthImage& clean = clean_.back();
  const std::vector<size_t> flat = Flat(clean);
  ASSERT_GT(flat.size(), clean.pixels.size() / 4);
  const double before = Error(noisy_.back(), clean, flat), after = Error(out, clean, flat);
  EXPECT_LT(after, before / 2) << "error " << before << " mm became " << after << " mm";
  // Steps of more than 300 mm between neighbours in a row of the exact room.
  size_t edges = 0, moved = 0;
  const uint32_t w = clean.width;
  for (uint32_t y = 0; y < clean.height; ++y) {
    for (uint32_t x = 2; x + 3 < w; ++x) {
      const size_t i = size_t(y) * w + x;
      const uint16_t a = clean.pixels[i], b = clean.pixels[i + 1];
      if (!clean.IsDepth(a) || !clean.IsDepth(b) || std::abs(a - b) < 300) continue;
      ++edges;
      bool kept = false;
      for (int s = -1; s <= 1 && !kept; ++s) {
        const uint16_t p = out.pixels[i + s], q = out.pixels[i + s + 1];
        kept = out.IsDepth(p) && out.IsDepth(q) && std::abs(p - q) >= 0.4 * std::abs(a - b);
      }
      moved += kept ? 0 : 1;
    }
  }
  ASSERT_GT(edges, 100u);
  EXPECT_LE(moved, edges / 50) << moved << " of " << edges << " edges moved by more than a pixel";
}

// A step larger than delta is never smoothed across: each side stays within its own values.
TEST_F(DepthFilters, SpatialNeverCrossesAStepLargerThanDelta) {
  KrVDepthImage image;
  image.width = 37;
  image.height = 11;
  std::mt19937 random(5);
  for (uint32_t y = 0; y < image.height; ++y) {
    for (uint32_t x = 0; x < image.width; ++x) image.pixels.push_back((x < 20 ? 1000 : 1100) + random() % 9);
  }
  image.pixels[3] = 0;  // a hole stays a hole
  KrVSpatialFilter spatial(0.3, 50, 5);
  KrVDepthImage out;
  ASSERT_EQ(spatial.Apply(image, out), KR_STATUS_OK);
  for (uint32_t y = 0; y < image.height; ++y) {
    for (uint32_t x = 0; x < image.width; ++x) {
      const uint16_t z = out.pixels[y * image.width + x];
      if (y == 0 && x == 3) {
        EXPECT_EQ(z, 0);
        continue;
      }
      EXPECT_TRUE(x < 20 ? z >= 1000 && z <= 1008 : z >= 1100 && z <= 1108) << x << "," << y << ": " << z;
    }
  }
  EXPECT_EQ(spatial.SetOptions(0, 50, 2), KR_STATUS_QM_BAD_PARAMETER);
  EXPECT_EQ(spatial.SetOptions(0.5, 50, 6), KR_STATUS_QM_BAD_PARAMETER);
}

// Hole filling leaves no hole in a frame with depth; "nearest" never takes a farther depth than "farthest", and
// "left" takes the nearest measured depth to the left in the row.
TEST_F(DepthFilters, HoleFillingFillsEveryHoleFromItsNeighbours) {
  const KrVDepthImage& noisy = noisy_.front();
  KrVDepthImage nearest, farthest, left;
  ASSERT_EQ(KrVHoleFillingFilter(KRV_HOLE_FILL_NEAREST).Apply(noisy, nearest), KR_STATUS_OK);
  ASSERT_EQ(KrVHoleFillingFilter(KRV_HOLE_FILL_FARTHEST).Apply(noisy, farthest), KR_STATUS_OK);
  ASSERT_EQ(KrVHoleFillingFilter(KRV_HOLE_FILL_LEFT).Apply(noisy, left), KR_STATUS_OK);
  size_t holes = 0, unfilled = 0, wrongLeft = 0, order = 0;
  for (uint32_t y = 0; y < noisy.height; ++y) {
    uint16_t lastMeasured = 0;
    for (uint32_t x = 0; x < noisy.width; ++x) {
      const size_t i = size_t(y) * noisy.width + x;
      const uint16_t z = noisy.pixels[i];
      if (noisy.IsDepth(z)) {
        lastMeasured = z;
        EXPECT_EQ(nearest.pixels[i], z);
        continue;
      }
      ++holes;
      unfilled += !nearest.IsDepth(nearest.pixels[i]) || !farthest.IsDepth(farthest.pixels[i]);
      order += nearest.pixels[i] > farthest.pixels[i];
      wrongLeft += left.pixels[i] != (lastMeasured != 0 ? lastMeasured : z);
    }
  }
  ASSERT_GT(holes, 1000u);
  EXPECT_EQ(unfilled, 0u);
  EXPECT_EQ(order, 0u);
  EXPECT_EQ(wrongLeft, 0u);
}

// Decimation's points are the full frame's points at the pixels they stand for, and a block without depth keeps
// what it holds: shadow stays shadow, no sample stays no sample.
TEST_F(DepthFilters, DecimationKeepsTheCameraTrue) {
  KrVDepthImage full = clean_.front();
  const double fx = translator_->GetZPD() / (translator_->GetZPPS() * translator_->GetF());
  full.fx = full.fy = fx;
  full.cx = full.width / 2;
  full.cy = full.height / 2;
  for (uint32_t k = 2; k <= 4; ++k) {
    SCOPED_TRACE(k);
    KrVDecimationFilter decimation(k);
    KrVDepthImage small;
    ASSERT_EQ(decimation.Apply(full, small), KR_STATUS_OK);
    EXPECT_EQ(small.width, (full.width + k - 1) / k);
    size_t wrong = 0, measured = 0;
    for (uint32_t v = 0; v < small.height; ++v) {
      for (uint32_t u = 0; u < small.width; ++u) {
        const uint16_t z = small.pixels[size_t(v) * small.width + u];
        if (!small.IsDepth(z)) continue;
        ++measured;
        KrVPoint expected(static_cast<float>(k * u), static_cast<float>(k * v), z);
        translator_->Projective2RW(expected);
        const double x = (u - small.cx) * z / small.fx, y = (v - small.cy) * z / small.fy;
        wrong += std::abs(x - expected.X()) > 1 || std::abs(y - expected.Y()) > 1;
      }
    }
    EXPECT_GT(measured, small.pixels.size() / 2);
    EXPECT_EQ(wrong, 0u);
  }
  KrVDepthImage odd;
  odd.width = 5;
  odd.height = 3;
  odd.pixels = {1, 1, 0, 0, 900, 1, 1, 0, 0, 7, 0, 0, 0, 0, 0};
  KrVDepthImage out;
  ASSERT_EQ(KrVDecimationFilter(2).Apply(odd, out), KR_STATUS_OK);
  EXPECT_EQ(out.pixels, (std::vector<uint16_t>{1, 0, 7, 0, 0, 0}));
  EXPECT_EQ(KrVDecimationFilter().SetFactor(5), KR_STATUS_QM_BAD_PARAMETER);
  odd.pixels.pop_back();  // fewer pixels than the size says
  EXPECT_EQ(KrVDecimationFilter(2).Apply(odd, out), KR_STATUS_QM_BAD_PARAMETER);
}

// The temporal filter holds a pixel through a short dropout only with persistence, and starts afresh after a reset
// or on a frame of another size.
TEST_F(DepthFilters, TemporalStatePersistsAndResets) {
  KrVDepthImage frame;
  frame.height = 1;
  KrVDepthImage out;
  for (uint32_t persistence : {0u, 1u}) {
    frame.width = 2;
    KrVTemporalFilter temporal(0.5, 50, persistence);
    for (uint16_t z : {1000, 1010, 1000}) {
      frame.pixels = {z, 2000};
      ASSERT_EQ(temporal.Apply(frame, out), KR_STATUS_OK);
    }
    EXPECT_NE(out.pixels[0], 1000);  // smoothed with its history
    frame.pixels = {0, 2000};
    ASSERT_EQ(temporal.Apply(frame, out), KR_STATUS_OK);
    EXPECT_EQ(out.pixels[0] != 0, persistence == 1);
    temporal.Reset();
    frame.pixels = {1200, 1};
    ASSERT_EQ(temporal.Apply(frame, out), KR_STATUS_OK);
    EXPECT_EQ(out.pixels, (std::vector<uint16_t>{1200, 1}));  // nothing of before, the shadow kept
    frame.width = 1;
    frame.pixels = {1300};
    ASSERT_EQ(temporal.Apply(frame, out), KR_STATUS_OK);
    EXPECT_EQ(out.pixels, (std::vector<uint16_t>{1300}));
  }
}

// The flying-pixel remover takes most of the points that float between surfaces and almost nothing of a wall.
TEST_F(DepthFilters, FlyingPixelsGoAndWallsStay) {
  const KrVDepthImage& noisy = noisy_.front();
  const KrVDepthImage& clean = clean_.front();
  KrVDepthImage out;
  ASSERT_EQ(KrVFlyingPixelFilter().Apply(noisy, out), KR_STATUS_OK);
  size_t flying = 0, flyingLeft = 0;
  for (size_t i = 0; i < noisy.pixels.size(); ++i) {
    const uint16_t z = noisy.pixels[i], truth = clean.pixels[i];
    if (!noisy.IsDepth(z) || !clean.IsDepth(truth) || std::abs(z - truth) < truth / 10) continue;
    ++flying;
    flyingLeft += out.IsDepth(out.pixels[i]);
  }
  ASSERT_GT(flying, 200u);
  EXPECT_LT(flyingLeft, flying / 4);
  size_t removed = 0;
  const std::vector<size_t> flat = Flat(clean);
  for (const size_t i : flat) removed += noisy.IsDepth(noisy.pixels[i]) && !out.IsDepth(out.pixels[i]);
  EXPECT_LT(removed, flat.size() / 200);
}

TEST(DepthFilterChain, ParsesWhatItDescribesAndRefusesTheRest) {
  KrVDepthFilterChain chain;
  ASSERT_EQ(chain.Parse("decimate=2,spatial,temporal=0.3:10:0,holes=nearest,flying=40"), KR_STATUS_OK);
  EXPECT_EQ(chain.Describe(), "decimate=2,spatial=0.5:60:2,temporal=0.3:10:0,holes=nearest,flying=40");
  std::string error;
  for (const char* bad : {"", "decimate=5", "spatial=2", "temporal=0.5:10:9", "holes=up", "blur", "spatial=0.5:x",
                          "decimate=2.5"}) {
    EXPECT_EQ(chain.Parse(bad, &error), KR_STATUS_QM_BAD_PARAMETER) << bad;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(chain.Describe(), "decimate=2,spatial=0.5:60:2,temporal=0.3:10:0,holes=nearest,flying=40");
  KrVDepthImage frame;
  frame.width = 4;
  frame.height = 4;
  frame.pixels.assign(16, 1500);
  KrVDepthImage out;
  ASSERT_EQ(chain.Apply(frame, out), KR_STATUS_OK);
  EXPECT_EQ(out.width, 2u);
  EXPECT_EQ(out.pixels, std::vector<uint16_t>(4, 1500));
}

}  // namespace
