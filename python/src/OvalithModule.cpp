// _ovalith: the compiled core of the Python package "ovalith". The package's
// Python layer (ovalith/__init__.py) gives the interface users see; this
// file wraps the engine's device, recorder and translator.
//
// Frame memory: the arrays handed out view the buffers of the engine's
// stream records without a copy. Each array's base is a FrameLease that
// names the device core and the read generation it came from. A lease holds
// the core alive (shared ownership) and a hold on the kit buffer under the
// array, so neither garbage collection nor a stream that moves to a larger
// buffer frees memory under a view, a plain numpy.asarray() of one included;
// an explicit close with leases still alive stops the
// streams at once and lets the last lease release the engine device. Every
// read, seek or close moves the generation on, and the Python layer checks
// the lease before each access of an array, so a view used after the read
// that replaced its contents raises instead of showing another frame.
//
// Threads: the GIL is released around every engine call that can block or
// that may wait for the kit's producer thread; the new-frame callback takes
// the GIL on the kit's thread before it calls into Python.
#include <Ovalith/Ovalith.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// The Python class ovalith.Error, given by the package at import.
py::object& ErrorClass() {
  static py::object* error = new py::object();  // never destroyed: outlives interpreter teardown order
  return *error;
}

[[noreturn]] void Raise(KrStatus status, const std::string& what) {
  const char* text = krGetStatusString(status);
  if (!ErrorClass()) throw std::runtime_error(what + ": " + (text ? text : ""));
  py::object error = ErrorClass()(status, what, text ? text : "");
  PyErr_SetObject(ErrorClass().ptr(), error.ptr());
  throw py::error_already_set();
}

void Check(KrStatus status, const std::string& what) {
  if (status != KR_STATUS_OK) Raise(status, what);
}

// Calls a Python callable for every new frame event, on the kit's thread.
class CallbackHandler : public KrVNewDataFromStreamHandler {
 public:
  explicit CallbackHandler(py::object callable) : callable_(std::move(callable)) {}
  ~CallbackHandler() override {
    py::gil_scoped_acquire gil;
    callable_ = py::object();
  }
  void OnNewData(const char* streamName) override {
    if (!Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    try {
      callable_(std::string(streamName));
    } catch (py::error_already_set& error) {
      error.discard_as_unraisable("ovalith new-frame callback");
    }
  }

 private:
  py::object callable_;
};

// What a device object of the package owns: the engine device, its
// recorder and its callback. Shared by the Python device and every lease.
struct DeviceCore {
  KrVDevice device;
  std::unique_ptr<KrVDeviceRecorder> recorder;
  std::unique_ptr<CallbackHandler> callback;
  void* callbackCookie = nullptr;
  std::atomic<uint64_t> generation{1};
  bool open = false;        // the Python side may use the device
  bool engineOpen = false;  // the engine device still holds its streams

  ~DeviceCore() {
    py::gil_scoped_release release;
    ReleaseEngine();
  }

  // Stops recording and callbacks and closes the engine device. Called
  // without the GIL.
  void ReleaseEngine() {
    StopCallback();
    if (recorder) {
      recorder->StopRecording();
      recorder.reset();
    }
    if (engineOpen) {
      device.Close();
      engineOpen = false;
    }
  }

  void StopCallback() {
    if (callbackCookie != nullptr) {
      device.UnregisterFromNewDataFromStreamEvent(callbackCookie);
      callbackCookie = nullptr;
    }
    callback.reset();
  }
};

// The base object of every frame array: keeps the device core (and with it
// the engine buffer) alive and tells whether the array is still current.
struct FrameLease {
  std::shared_ptr<DeviceCore> core;
  uint64_t generation;
  // The kit buffer under the array: it stays allocated while any array
  // (or a plain NumPy view of one) still points at it, even after the
  // stream moved to a larger buffer or the device closed.
  std::shared_ptr<KrBufferHoldImpl> buffer;
  bool Valid() const { return core->open && core->generation.load() == generation; }
};

class Device {
 public:
  Device() : core_(std::make_shared<DeviceCore>()) {}

  // settings: {stream: {property: value}}, the streams' initial values.
  void OpenSensor(const std::string& connection, const std::vector<std::string>& streams, py::dict settings) {
    std::vector<std::unique_ptr<KrVPropertySet>> initial;
    for (const std::string& type : streams) {
      initial.push_back(std::make_unique<KrVPropertySet>());
      if (settings.contains(type)) FillSet(*initial.back(), type, settings[py::str(type)].cast<py::dict>());
    }
    std::vector<char> text(connection.begin(), connection.end());
    text.push_back('\0');
    KrVDevice& device = core_->device;
    {
      py::gil_scoped_release release;
      const KrStatus status =
          device.CreateByConnectionString(text.data(), KR_DEVICE_MODE_READ, nullptr, KR_DEVICE_SHARING_EXCLUSIVE);
      if (status != KR_STATUS_OK) {
        py::gil_scoped_acquire gil;
        Raise(status, "cannot open " + connection);
      }
      core_->engineOpen = true;
      for (size_t i = 0; i < streams.size(); ++i) {
        const std::string& type = streams[i];
        const KrStatus added = device.AddStream(type.c_str(), type.c_str(), initial[i].get());
        if (added != KR_STATUS_OK) {
          device.Close();
          core_->engineOpen = false;
          py::gil_scoped_acquire gil;
          Raise(added, "cannot add a " + type + " stream to " + connection);
        }
      }
      const KrStatus opened = streams.empty() ? KR_STATUS_OK : device.OpenAllStreams();
      if (opened != KR_STATUS_OK) {
        device.Close();
        core_->engineOpen = false;
        py::gil_scoped_acquire gil;
        Raise(opened, "cannot open the streams of " + connection);
      }
    }
    core_->open = true;
  }

  void OpenFile(const std::string& path) {
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = core_->device.OpenFileForReading(path.c_str());
    }
    Check(status, "cannot open recording " + path);
    core_->engineOpen = true;
    core_->open = true;
  }

  // Ends the device for Python. With arrays of the last read still alive the
  // streams stop now and the engine device closes with the last of them.
  void Close() {
    if (!core_->open) return;
    core_->open = false;
    ++core_->generation;
    DeviceCore* core = core_.get();
    const bool leased = core_.use_count() > 1;
    py::gil_scoped_release release;
    if (leased) {
      core->StopCallback();
      if (core->recorder) {
        core->recorder->StopRecording();
        core->recorder.reset();
      }
      core->device.CloseAllStreams();
    } else {
      core->ReleaseEngine();
    }
  }

  bool IsOpen() const { return core_->open; }
  uint64_t Generation() const { return core_->generation.load(); }

  // Reads every stream (the GIL released); while recording, writes the new
  // frames too. End of a recording returns false.
  bool Read() {
    Require();
    ++core_->generation;
    KrStatus status;
    KrStatus written = KR_STATUS_OK;
    {
      py::gil_scoped_release release;
      status = core_->device.Read();
      if (status == KR_STATUS_OK && core_->recorder) written = core_->recorder->WriteData();
    }
    if (status == KR_STATUS_TL_END_OF_FILE) return false;
    Check(status, "cannot read");
    Check(written, "cannot write the recording");
    return true;
  }

  std::vector<std::string> StreamNames() {
    Require();
    const char* names[64] = {};
    uint32_t count = 64;
    Check(core_->device.GetStreamNames(names, &count), "cannot list the streams");
    std::vector<std::string> result;
    for (uint32_t i = 0; i < count && i < 64; ++i) result.emplace_back(names[i]);
    return result;
  }

  // (array, timestamp, frame id, new) of one stream's current frame.
  py::tuple Frame(const std::string& name) {
    Require();
    KrVStreamData* data = nullptr;
    Check(core_->device.GetStreamData(name.c_str(), data), "no stream " + name);
    KrBufferHold hold = nullptr;
    Check(core_->device.HoldFrameBuffer(name.c_str(), &hold), "cannot hold the frame of " + name);
    std::shared_ptr<KrBufferHoldImpl> buffer(hold, [](KrBufferHold held) { KrStreamDataReleaseBuffer(&held); });
    py::object lease = py::cast(FrameLease{core_, core_->generation.load(), std::move(buffer)});
    py::object array = ArrayOf(*data, lease);
    return py::make_tuple(array, data->GetTimestamp(), data->GetFrameID(), data->IsDataNew() != 0);
  }

  // The real-world points of the depth frame: N x 3 (no-sample pixels left
  // out), or H x W x 3 with NaN at no-sample pixels.
  py::array Points(bool keepShape) {
    KrVDepthMap& depth = DepthMap();
    const size_t width = depth.GetXRes();
    const size_t height = depth.GetYRes();
    CheckFits(depth, width * height * 2);
    if (!keepShape) {
      auto* points = new KrVPointContainer(static_cast<unsigned int>(width * height));
      py::capsule owner(points, [](void* p) { delete static_cast<KrVPointContainer*>(p); });
      KrStatus status;
      {
        py::gil_scoped_release release;
        status = depth.ConvertToRealWorld(*points, KRV_NO_SAMPLE_SKIP);
      }
      Check(status, "cannot convert the depth frame");
      return py::array_t<float>({static_cast<size_t>(points->GetSize()), size_t{3}},
                                reinterpret_cast<float*>(points->Points()), owner);
    }
    py::array_t<float> result({height, width, size_t{3}});
    static_assert(sizeof(KrVPoint) == 3 * sizeof(float), "a point is three floats");
    auto* out = reinterpret_cast<KrVPoint*>(result.mutable_data());
    KrStatus status;
    {
      py::gil_scoped_release release;
      KrVPointContainer points(out, static_cast<unsigned int>(width * height));
      status = depth.ConvertToRealWorld(points, KRV_NO_SAMPLE_KEEP);
      if (status == KR_STATUS_OK) {
        const unsigned short* pixels = depth.Data();
        const unsigned short noSample = depth.GetNoSampleValue();
        const float nan = std::nanf("");
        for (size_t i = 0; i < width * height; ++i) {
          if (pixels[i] == noSample) out[i].SetPoint(nan, nan, nan);
        }
      }
    }
    Check(status, "cannot convert the depth frame");
    return std::move(result);
  }

  // Real-world points (N x 3, mm) to projective ones (column, row, depth).
  py::array Project(py::array_t<float, py::array::c_style | py::array::forcecast> points) {
    KrVDepthMap& depth = DepthMap();
    const KrVRealWorldTranslator* translator = depth.GetRealWorldTranslator();
    if (translator == nullptr) Raise(KR_STATUS_QM_NOT_INITIALIZED, "the depth stream has no calibration yet");
    if (points.ndim() < 1 || points.shape(points.ndim() - 1) != 3) {
      throw py::value_error("points must have 3 values in the last axis");
    }
    py::array_t<float> result(std::vector<py::ssize_t>(points.shape(), points.shape() + points.ndim()));
    const size_t count = static_cast<size_t>(points.size() / 3);
    std::memcpy(result.mutable_data(), points.data(), count * sizeof(KrVPoint));
    auto* out = reinterpret_cast<KrVPoint*>(result.mutable_data());
    {
      py::gil_scoped_release release;
      for (size_t i = 0; i < count; ++i) translator->RW2ProjectiveFloat(out[i]);
    }
    return std::move(result);
  }

  // For the benchmark: seconds that count whole-frame conversions of the
  // current depth frame take in C++ alone, into one reused container.
  double TimeConversions(int count) {
    KrVDepthMap& depth = DepthMap();
    KrVPointContainer points(static_cast<unsigned int>(depth.GetXRes()) * depth.GetYRes());
    py::gil_scoped_release release;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) depth.ConvertToRealWorld(points, KRV_NO_SAMPLE_SKIP);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  py::object GetProperty(const std::string& module, const std::string& property) {
    Require();
    KrVDevice& device = core_->device;
    KrPropertyType type;
    Check(device.GetPropertyType(module.c_str(), property.c_str(), type), "cannot read " + module + "." + property);
    const std::string what = "cannot read " + module + "." + property;
    switch (type) {
      case KR_PROPERTY_TYPE_INTEGER: {
        uint64_t value = 0;
        Check(device.GetProperty(module.c_str(), property.c_str(), value), what);
        return py::int_(value);
      }
      case KR_PROPERTY_TYPE_REAL: {
        double value = 0;
        Check(device.GetProperty(module.c_str(), property.c_str(), value), what);
        return py::float_(value);
      }
      case KR_PROPERTY_TYPE_STRING: {
        char value[KR_MAX_NAME_LENGTH] = {};
        Check(device.GetProperty(module.c_str(), property.c_str(), value), what);
        value[KR_MAX_NAME_LENGTH - 1] = '\0';
        return py::str(value);
      }
      default:
        return GetGeneral(module, property);
    }
  }

  void SetProperty(const std::string& module, const std::string& property, py::handle value) {
    Require();
    KrVDevice& device = core_->device;
    const std::string what = "cannot set " + module + "." + property;
    KrPropertyType type;
    Check(device.GetPropertyType(module.c_str(), property.c_str(), type), what);
    KrStatus status;
    switch (type) {
      case KR_PROPERTY_TYPE_INTEGER: {
        if (!py::isinstance<py::int_>(value)) throw py::type_error(module + "." + property + " takes an integer");
        const uint64_t number = value.cast<uint64_t>();
        py::gil_scoped_release release;
        status = device.SetProperty(module.c_str(), property.c_str(), number);
        break;
      }
      case KR_PROPERTY_TYPE_REAL: {
        const double number = value.cast<double>();
        py::gil_scoped_release release;
        status = device.SetProperty(module.c_str(), property.c_str(), number);
        break;
      }
      case KR_PROPERTY_TYPE_STRING: {
        const std::string text = value.cast<std::string>();
        py::gil_scoped_release release;
        status = device.SetProperty(module.c_str(), property.c_str(), text.c_str());
        break;
      }
      default: {
        std::string bytes = py::bytes(py::reinterpret_borrow<py::object>(value));
        KrGeneralBuffer buffer{bytes.data(), static_cast<uint32_t>(bytes.size())};
        py::gil_scoped_release release;
        status = device.SetProperty(module.c_str(), property.c_str(), buffer);
        break;
      }
    }
    Check(status, what);
  }

  bool HasProperty(const std::string& module, const std::string& property) {
    Require();
    int exists = 0;
    return core_->device.DoesPropertyExist(module.c_str(), property.c_str(), &exists) == KR_STATUS_OK && exists;
  }

  bool HasModule(const std::string& module) {
    Require();
    int exists = 0;
    return core_->device.DoesModuleExist(module.c_str(), &exists) == KR_STATUS_OK && exists;
  }

  std::vector<std::string> PropertyNames(const std::string& module) {
    Require();
    KrVPropertySet set;
    Check(core_->device.GetAllProperties(set, module.c_str()), "cannot list " + module);
    KrVPropertySetEnumerator entries(set, module.c_str());
    std::vector<std::string> names;
    bool end = false;
    while (entries.MoveNext(&end) == KR_STATUS_OK && !end) {
      KrPropertyType type;
      const char* moduleName = nullptr;
      const char* property = nullptr;
      if (entries.GetCurrentPropertyInfo(&type, &moduleName, &property) == KR_STATUS_OK) names.emplace_back(property);
    }
    return names;
  }

  void StartRecording(const std::string& path) {
    Require();
    if (core_->recorder) Raise(KR_STATUS_OS_ERROR, "already recording");
    auto recorder = std::make_unique<KrVDeviceRecorder>(&core_->device, path.c_str());
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = recorder->StartRecording(1);
    }
    Check(status, "cannot record into " + path);
    core_->recorder = std::move(recorder);
  }

  void StopRecording() {
    if (!core_->recorder) return;
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = core_->recorder->StopRecording();
    }
    core_->recorder.reset();
    Check(status, "cannot finish the recording");
  }

  void Seek(int64_t frame, int64_t time) {
    Require();
    ++core_->generation;
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = frame >= 0 ? core_->device.SeekFrame(static_cast<uint32_t>(frame))
                          : core_->device.SeekTime(static_cast<uint64_t>(time));
    }
    Check(status, "cannot seek");
  }

  uint32_t TellFrame() {
    Require();
    uint32_t frame = 0;
    Check(core_->device.TellFrame(&frame), "cannot tell the frame");
    return frame;
  }

  uint64_t TellTime() {
    Require();
    uint64_t time = 0;
    Check(core_->device.TellTime(&time), "cannot tell the time");
    return time;
  }

  void SetCallback(py::object callable) {
    Require();
    {
      py::gil_scoped_release release;
      core_->StopCallback();
    }
    if (callable.is_none()) return;
    core_->callback = std::make_unique<CallbackHandler>(std::move(callable));
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = core_->device.RegisterForNewDataFromStreamEvent(core_->callback.get(), core_->callbackCookie);
    }
    if (status != KR_STATUS_OK) {
      core_->callbackCookie = nullptr;
      core_->callback.reset();
    }
    Check(status, "cannot register the callback");
  }

 private:
  void Require() const {
    if (!core_->open) Raise(KR_STATUS_QM_NOT_INITIALIZED, "the device is closed");
  }

  KrVDepthMap& DepthMap() {
    Require();
    KrVDepthMap* depth = core_->device.GetDepthMap();
    if (depth == nullptr || !depth->IsValid()) Raise(KR_STATUS_OS_NOT_FOUND, "the device has no depth stream");
    return *depth;
  }

  static void FillSet(KrVPropertySet& set, const std::string& module, const py::dict& values) {
    for (auto item : values) {
      const std::string name = item.first.cast<std::string>();
      py::handle value = item.second;
      KrStatus status;
      if (py::isinstance<py::bool_>(value) || py::isinstance<py::int_>(value)) {
        status = set.AddProperty(module.c_str(), name.c_str(), value.cast<uint64_t>());
      } else if (py::isinstance<py::float_>(value)) {
        status = set.AddProperty(module.c_str(), name.c_str(), value.cast<double>());
      } else if (py::isinstance<py::str>(value)) {
        status = set.AddProperty(module.c_str(), name.c_str(), value.cast<std::string>().c_str());
      } else {
        std::string bytes = py::bytes(py::reinterpret_borrow<py::object>(value));
        status = set.AddProperty(module.c_str(), name.c_str(),
                                 KrGeneralBuffer{bytes.data(), static_cast<uint32_t>(bytes.size())});
      }
      Check(status, "cannot take " + module + "." + name);
    }
  }

  // A view must lie inside the bytes the engine says the frame holds.
  static void CheckFits(const KrVStreamData& data, size_t bytes) {
    if (data.Data() == nullptr || bytes > data.GetDataSize()) {
      throw py::value_error("the frame holds " + std::to_string(data.GetDataSize()) + " bytes, its shape needs " +
                            std::to_string(bytes));
    }
  }

  // A general value has a size of its own: read it through a property set,
  // which takes the value whole.
  py::object GetGeneral(const std::string& module, const std::string& property) {
    KrVPropertySet set;
    Check(core_->device.GetAllProperties(set, module.c_str()), "cannot read " + module + "." + property);
    KrVPropertySetEnumerator entries(set, module.c_str());
    bool end = false;
    while (entries.MoveNext(&end) == KR_STATUS_OK && !end) {
      KrPropertyType type;
      const char* moduleName = nullptr;
      const char* name = nullptr;
      if (entries.GetCurrentPropertyInfo(&type, &moduleName, &name) != KR_STATUS_OK || property != name) continue;
      KrGeneralBuffer value{};
      Check(entries.GetCurrentGeneralValue(&value), "cannot read " + module + "." + property);
      return py::bytes(static_cast<const char*>(value.pData), value.nDataSize);
    }
    // The frame fields of a stream ("Buffer": the frame's address) are the
    // engine's, not in the kit's set; they hold a pointer.
    void* pointer = nullptr;
    KrGeneralBuffer buffer{&pointer, sizeof(pointer)};
    Check(core_->device.GetProperty(module.c_str(), property.c_str(), buffer),
          "cannot read " + module + "." + property);
    return py::bytes(reinterpret_cast<const char*>(&pointer), sizeof(pointer));
  }

  // The frame's array view; an empty frame gives an empty array.
  static py::object ArrayOf(KrVStreamData& data, const py::object& lease) {
    if (data.Data() == nullptr || data.GetDataSize() == 0) return py::array_t<uint8_t>(0);
    auto view = [&](py::dtype type, std::vector<size_t> shape) -> py::object {
      size_t bytes = static_cast<size_t>(type.itemsize());
      for (size_t extent : shape) bytes *= extent;
      CheckFits(data, bytes);
      return py::array(type, shape, data.Data(), lease);
    };
    if (auto* depth = dynamic_cast<KrVDepthMap*>(&data)) {
      return view(py::dtype::of<uint16_t>(), {depth->GetYRes(), depth->GetXRes()});
    }
    if (auto* image = dynamic_cast<KrVImageMap*>(&data)) {
      const size_t height = image->GetYRes();
      const size_t width = image->GetXRes();
      switch (image->GetOutputFormat()) {
        case KR_OUTPUT_FORMAT_RGB24:
          return view(py::dtype::of<uint8_t>(), {height, width, 3});
        case KR_OUTPUT_FORMAT_GRAYSCALE8:
          return view(py::dtype::of<uint8_t>(), {height, width});
        case KR_OUTPUT_FORMAT_GRAYSCALE16:
          return view(py::dtype::of<uint16_t>(), {height, width});
        case KR_OUTPUT_FORMAT_YUV422:
          return view(py::dtype::of<uint8_t>(), {height, width, 2});
        default:  // compressed: the bytes as they came
          return view(py::dtype::of<uint8_t>(), {data.GetDataSize()});
      }
    }
    if (auto* audio = dynamic_cast<KrVAudioBuffer*>(&data)) {
      const size_t channels = audio->GetNumberOfChannels() == 0 ? 1 : audio->GetNumberOfChannels();
      return view(py::dtype::of<int16_t>(), {data.GetDataSize() / (2 * channels), channels});
    }
    return view(py::dtype::of<uint8_t>(), {data.GetDataSize()});
  }

  std::shared_ptr<DeviceCore> core_;
};

}  // namespace

PYBIND11_MODULE(_ovalith, m) {
  m.doc() = "Compiled core of the ovalith package; use the package, not this module.";
  m.def("_set_error_class", [](py::object error) { ErrorClass() = std::move(error); });
  m.def("status_text", [](KrStatus status) {
    const char* text = krGetStatusString(status);
    return std::string(text ? text : "");
  });
  m.def("init", [](const std::string& config) {
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = config.empty() ? KrVDevice::EngineInit(nullptr, "") : KrVDevice::EngineInit(config.c_str());
    }
    Check(status, "cannot start the engine");
  });
  m.def("shutdown", [] {
    py::gil_scoped_release release;
    KrVDevice::EngineShutdown();
  });
  m.def("devices", [] {
    KrVDevice device;
    std::vector<char[KR_MAX_NAME_LENGTH]> names(64);
    uint32_t count = 64;
    Check(device.Enumerate(names.data(), &count), "cannot list the devices");
    std::vector<std::string> result;
    for (uint32_t i = 0; i < count && i < names.size(); ++i) {
      names[i][KR_MAX_NAME_LENGTH - 1] = '\0';
      result.emplace_back(names[i]);
    }
    return result;
  });

  py::class_<FrameLease>(m, "FrameLease")
      .def_property_readonly("valid", &FrameLease::Valid)
      .def_property_readonly("generation", [](const FrameLease& lease) { return lease.generation; });

  py::class_<Device>(m, "Device")
      .def(py::init<>())
      .def("open_sensor", &Device::OpenSensor)
      .def("open_file", &Device::OpenFile)
      .def("close", &Device::Close)
      .def_property_readonly("is_open", &Device::IsOpen)
      .def_property_readonly("generation", &Device::Generation)
      .def("read", &Device::Read)
      .def("stream_names", &Device::StreamNames)
      .def("frame", &Device::Frame)
      .def("points", &Device::Points)
      .def("project", &Device::Project)
      .def("_time_conversions", &Device::TimeConversions)
      .def("get_property", &Device::GetProperty)
      .def("set_property", &Device::SetProperty)
      .def("has_property", &Device::HasProperty)
      .def("has_module", &Device::HasModule)
      .def("property_names", &Device::PropertyNames)
      .def("start_recording", &Device::StartRecording)
      .def("stop_recording", &Device::StopRecording)
      .def("seek", &Device::Seek)
      .def("tell_frame", &Device::TellFrame)
      .def("tell_time", &Device::TellTime)
      .def("set_callback", &Device::SetCallback);
}
