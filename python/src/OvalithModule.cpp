// _ovalith: the compiled core of the Python package "ovalith". The package's
// Python layer (ovalith/__init__.py) gives the interface users see; this
// file wraps the engine's device, recorder and translator.
//
// Frame memory: the arrays handed out view the engine's frame itself, in
// the kit's buffer under a hold (KrVDevice::HoldFrameBuffer) taken when
// Python first asks for a stream's frame of a read. No later read writes
// into a held buffer (the stream's next frame goes into a buffer of its
// own), so an array, or a plain NumPy array, memoryview or buffer taken
// from one, always shows its own frame, even through the paths NumPy reads
// in C (np.array, np.frombuffer, ufunc loops) without asking the array
// first. A loop that drops its views before the next read lets the kit
// reuse the buffer: no copy and no allocation per frame. Where the kit
// cannot hold a frame (a device in compatibility mode keeps frames in
// buffers of its own) the arrays view a copy in a store of their own
// instead, reused for the stream's next frame once nothing points at it.
// Each array's base is a FrameLease that owns the hold or the store and
// names the device core and the read generation it came from; the arrays
// are read-only and so is their base, so NumPy refuses to make them
// writeable. Every read, seek or close moves the generation on, and the
// Python layer checks the lease before each access it can see, so a view
// used after the read that replaced it raises StaleFrameError; the paths
// it cannot see show the view's own frame.
//
// Threads: the GIL is released around every engine call that can block or
// that may wait for the kit's producer thread; the new-frame callback takes
// the GIL on the kit's thread before it calls into Python.
#include "ModeText.h"

#include <Ovalith/Ovalith.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
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

// A name or path handed to the engine as C text: a NUL inside would cut it
// short and name something else.
const std::string& Text(const std::string& text, const char* what) {
  if (text.find('\0') != std::string::npos) throw py::value_error(std::string(what) + " holds a NUL character");
  return text;
}

std::string TypeName(py::handle value) { return py::str(py::type::of(value).attr("__name__")); }

// Python values as the engine's property types, refused with the
// property's name: integers (Python's, NumPy's, anything with __index__;
// not floats), reals (any real number), text (str without NUL) and general
// values (bytes-like).
uint64_t IntegerOf(py::handle value, const std::string& name) {
  if (PyFloat_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    throw py::type_error(name + " takes an integer, not " + TypeName(value));
  }
  // An array of more than one element has __index__ too, and refuses it.
  py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
  if (!number) {
    PyErr_Clear();
    throw py::type_error(name + " takes an integer, not " + TypeName(value));
  }
  const unsigned long long result = PyLong_AsUnsignedLongLong(number.ptr());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    throw py::value_error(name + " takes an integer from 0 to 2**64-1, not " + std::string(py::repr(number)));
  }
  return result;
}

double RealOf(py::handle value, const std::string& name) {
  if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())) {
    throw py::type_error(name + " takes a real number, not " + TypeName(value));
  }
  const double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::type_error(name + " takes a real number, not " + TypeName(value));
  }
  return result;
}

std::string TextOf(py::handle value, const std::string& name) {
  if (!PyUnicode_Check(value.ptr())) throw py::type_error(name + " takes a text (str), not " + TypeName(value));
  return Text(value.cast<std::string>(), name.c_str());
}

// Any object with the buffer protocol (bytes, bytearray, memoryview, an
// array) but numbers, NumPy's scalars among them, and text.
bool IsBytesLike(py::handle value) {
  if (PyUnicode_Check(value.ptr()) || !PyObject_CheckBuffer(value.ptr())) return false;
  return !PyNumber_Check(value.ptr()) || py::isinstance<py::array>(value);
}

std::string BytesOf(py::handle value, const std::string& name) {
  py::object bytes;
  if (IsBytesLike(value)) bytes = py::reinterpret_steal<py::object>(PyBytes_FromObject(value.ptr()));
  if (!bytes) {
    PyErr_Clear();
    throw py::type_error(name + " takes bytes, not " + TypeName(value));
  }
  return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

// The fields the engine keeps for a stream's current frame: what a read
// publishes, never set from Python.
bool IsFrameField(const std::string& property) {
  static const char* const kFields[] = {"Buffer", "BufferSize", "RequiredDataSize", "Timestamp", "FrameId", "IsNew"};
  for (const char* field : kFields) {
    if (property == field) return true;
  }
  return false;
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

// The memory under the arrays of one stream's frame: cache-line aligned,
// sized for the frame copied into it.
class FrameStore {
 public:
  explicit FrameStore(size_t size)
      : size_(size), data_(static_cast<unsigned char*>(::operator new(size == 0 ? 1 : size, kAlignment))) {}
  ~FrameStore() { ::operator delete(data_, kAlignment); }
  FrameStore(const FrameStore&) = delete;
  FrameStore& operator=(const FrameStore&) = delete;
  size_t Size() const { return size_; }
  unsigned char* Data() const { return data_; }

 private:
  static constexpr std::align_val_t kAlignment{64};
  size_t size_;
  unsigned char* data_;
};

// Memory for arrays that are filled, used and dropped in turn, such as
// ovalith.dask's chunks of frames (_ovalith.Block, an object with the
// buffer protocol that NumPy wraps without a copy). A block that its last
// array lets go of returns its memory to a small pool, and the next block
// of the same size takes it with its pages already mapped: a process whose
// allocator hands large blocks back to the system at once (as dask's
// workers are set up to) would otherwise fault in and clear every chunk's
// pages afresh. The pool keeps at most kPoolBlocks blocks of kPoolBytes in
// all. Any thread (the pool has a lock of its own).
class Block {
 public:
  explicit Block(size_t size) : size_(size), data_(Take(size)) {}
  ~Block() { Give(size_, data_); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  size_t Size() const { return size_; }
  unsigned char* Data() const { return data_; }

 private:
  static constexpr std::align_val_t kAlignment{64};
  static constexpr size_t kPoolBlocks = 8;
  static constexpr size_t kPoolBytes = size_t{512} << 20;
  struct Pool {
    std::mutex lock;
    std::vector<std::pair<size_t, unsigned char*>> free;
    size_t bytes = 0;
  };
  static Pool& ThePool() {
    static Pool* pool = new Pool;  // never destroyed: blocks may outlive static destruction
    return *pool;
  }
  static unsigned char* Take(size_t size) {
    Pool& pool = ThePool();
    {
      std::lock_guard<std::mutex> hold(pool.lock);
      for (auto it = pool.free.begin(); it != pool.free.end(); ++it) {
        if (it->first == size) {
          unsigned char* data = it->second;
          pool.bytes -= size;
          pool.free.erase(it);
          return data;
        }
      }
    }
    return static_cast<unsigned char*>(::operator new(size == 0 ? 1 : size, kAlignment));
  }
  static void Give(size_t size, unsigned char* data) {
    Pool& pool = ThePool();
    std::pair<size_t, unsigned char*> dropped{0, nullptr};
    {
      std::lock_guard<std::mutex> hold(pool.lock);
      if (size > kPoolBytes) {
        dropped = {size, data};
      } else {
        pool.free.emplace_back(size, data);
        pool.bytes += size;
        // The oldest go first while the pool is over either bound.
        if (pool.free.size() > kPoolBlocks || pool.bytes > kPoolBytes) {
          dropped = pool.free.front();
          pool.bytes -= dropped.first;
          pool.free.erase(pool.free.begin());
        }
      }
    }
    if (dropped.second != nullptr) ::operator delete(dropped.second, kAlignment);
  }
  size_t size_;
  unsigned char* data_;
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
  // The last store of each stream, reused while no array points into it.
  std::map<std::string, std::shared_ptr<FrameStore>> stores;

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

// The base object of every frame array: owns the store the array views
// and tells whether the array is still current.
struct FrameLease {
  std::shared_ptr<DeviceCore> core;
  uint64_t generation;
  std::shared_ptr<FrameStore> store;       // the copy the arrays show, or
  std::shared_ptr<KrBufferHoldImpl> held;  // the kit's buffer they show
  bool Valid() const { return core->open && core->generation.load() == generation; }
};

class Device {
 public:
  Device() : core_(std::make_shared<DeviceCore>()) {}

  // settings: {stream: {property: value}}, the streams' initial values;
  // modes: {stream type: mode text as the command-line tool takes it}.
  void OpenSensor(const std::string& connection, const std::vector<std::string>& streams, py::dict settings,
                  py::dict modes) {
    Text(connection, "a connection string");
    std::vector<std::unique_ptr<KrVPropertySet>> initial;
    std::vector<py::object> given;  // each stream's settings, or None
    std::vector<std::vector<std::string>> names;
    std::vector<std::string> modeTexts;
    for (const std::string& type : streams) {
      Text(type, "a stream name");
      given.push_back(settings.contains(type) ? settings[py::str(type)].cast<py::dict>() : py::object(py::none()));
      names.emplace_back();
      if (!given.back().is_none()) {
        for (auto item : py::reinterpret_borrow<py::dict>(given.back())) {
          if (PyUnicode_Check(item.first.ptr())) names.back().push_back(item.first.cast<std::string>());
        }
      }
      modeTexts.push_back(modes.contains(type) ? modes[py::str(type)].cast<std::string>() : std::string());
      initial.push_back(InitialValues(type, given.back(), modeTexts.back(), nullptr));
    }
    std::vector<char> text(connection.begin(), connection.end());
    text.push_back('\0');
    KrVDevice& device = core_->device;
    py::gil_scoped_release release;
    const KrStatus status =
        device.CreateByConnectionString(text.data(), KR_DEVICE_MODE_READ, nullptr, KR_DEVICE_SHARING_EXCLUSIVE);
    if (status != KR_STATUS_OK) {
      py::gil_scoped_acquire gil;
      Raise(status, "cannot open " + connection);
    }
    core_->engineOpen = true;
    const auto fail = [&](KrStatus failed, const std::string& what) {
      device.Close();
      core_->engineOpen = false;
      py::gil_scoped_acquire gil;
      Raise(failed, what);
    };
    for (size_t i = 0; i < streams.size(); ++i) {
      const std::string& type = streams[i];
      KrStatus added = device.AddStream(type.c_str(), type.c_str(), initial[i].get());
      if ((added == KR_STATUS_TL_BAD_PROPERTY_TYPE || added == KR_STATUS_TL_PROPERTY_NOT_FOUND) && !names[i].empty()) {
        // The settings were taken by their values' types. Take them by
        // their properties' types, as a stream added bare tells them: a
        // value that fits none names its property, as assignment does.
        std::map<std::string, KrPropertyType> types;
        if (device.AddStream(type.c_str(), type.c_str(), nullptr) == KR_STATUS_OK) {
          for (const std::string& name : names[i]) {
            KrPropertyType found;
            if (device.GetPropertyType(type.c_str(), name.c_str(), found) == KR_STATUS_OK) types[name] = found;
          }
          device.RemoveStream(type.c_str());
          {
            py::gil_scoped_acquire gil;
            try {
              initial[i] = InitialValues(type, given[i], modeTexts[i], &types);
            } catch (...) {
              device.Close();
              core_->engineOpen = false;
              throw;
            }
          }
          added = device.AddStream(type.c_str(), type.c_str(), initial[i].get());
        }
      }
      if (added == KR_STATUS_TL_BAD_PROPERTY_VALUE && !modeTexts[i].empty()) {
        fail(added, connection + " does not offer " + type + " " + modeTexts[i] + "; it offers " +
                        ovalith_tool::OfferedModes(device, type));
      }
      if (added != KR_STATUS_OK) fail(added, "cannot add a " + type + " stream to " + connection);
    }
    const KrStatus opened = streams.empty() ? KR_STATUS_OK : device.OpenAllStreams();
    if (opened != KR_STATUS_OK) fail(opened, "cannot open the streams of " + connection);
    core_->open = true;
  }

  // Puts a sensor's stream of this type (named after it) into a mode given
  // as the command-line tool takes it: the stream is opened anew, as a
  // stream refuses to change its shape while open. A mode the sensor does
  // not offer leaves the stream as it was and names those it offers.
  void SetMode(const std::string& type, const std::string& text) {
    Require();
    const ovalith_tool::StreamMode mode = ParseMode(type, text);
    if (!IsStream(type)) throw py::value_error("the device has no " + type + " stream");
    KrVDevice& device = core_->device;
    // What the stream holds now, to restore it after a refusal.
    KrVPropertySet old;
    for (const auto& value : mode.values) {
      uint64_t current = 0;
      if (device.GetProperty(type.c_str(), value.first, current) == KR_STATUS_OK) {
        old.AddProperty(type.c_str(), value.first, current);
      }
    }
    KrVPropertySet wanted;
    for (const auto& value : mode.values) wanted.AddProperty(type.c_str(), value.first, value.second);
    ++core_->generation;
    KrStatus added;
    std::string offered;
    {
      py::gil_scoped_release release;
      Check(device.RemoveStream(type.c_str()), "cannot reopen the " + type + " stream");
      added = device.AddStream(type.c_str(), type.c_str(), &wanted);
      if (added != KR_STATUS_OK) {
        if (added == KR_STATUS_TL_BAD_PROPERTY_VALUE) offered = ovalith_tool::OfferedModes(device, type);
        device.AddStream(type.c_str(), type.c_str(), &old);
      }
      device.OpenStream(type.c_str());
    }
    if (added == KR_STATUS_TL_BAD_PROPERTY_VALUE) {
      Raise(added, "the sensor does not offer " + type + " " + text + "; it offers " + offered);
    }
    Check(added, "cannot put the " + type + " stream into " + text);
  }

  void OpenFile(const std::string& path) {
    Text(path, "a recording's path");
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = core_->device.OpenFileForReading(path.c_str());
    }
    Check(status, "cannot open recording " + path);
    core_->engineOpen = true;
    core_->open = true;
    filePath_ = path;
  }

  // Ends the device for Python. Arrays still alive keep their stores (and
  // become stale); the engine device closes now.
  void Close() {
    if (!core_->open) return;
    core_->open = false;
    ++core_->generation;
    core_->stores.clear();
    DeviceCore* core = core_.get();
    py::gil_scoped_release release;
    core->ReleaseEngine();
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

  // (array, timestamp, frame id, new) of one stream's current frame, on
  // the kit's buffer under a hold, or else in a store of its own (see the
  // head of this file).
  py::tuple Frame(const std::string& name) {
    Require();
    KrVStreamData* data = nullptr;
    Check(core_->device.GetStreamData(name.c_str(), data), "no stream " + name);
    const size_t bytes = data->Data() == nullptr ? 0 : data->GetDataSize();
    const uint64_t generation = core_->generation.load();
    KrBufferHold hold = nullptr;
    if (bytes > 0 && core_->device.HoldFrameBuffer(name.c_str(), &hold) == KR_STATUS_OK) {
      std::shared_ptr<KrBufferHoldImpl> held(hold, [](KrBufferHold h) { KrStreamDataReleaseBuffer(&h); });
      py::object lease = py::cast(FrameLease{core_, generation, nullptr, std::move(held)});
      py::object array = ArrayOf(*data, bytes, data->Data(), lease);
      return py::make_tuple(array, data->GetTimestamp(), data->GetFrameID(), data->IsDataNew() != 0);
    }
    std::shared_ptr<FrameStore>& store = core_->stores[name];
    if (!store || store.use_count() > 1 || store->Size() < bytes) store = std::make_shared<FrameStore>(bytes);
    if (bytes > 0) std::memcpy(store->Data(), data->Data(), bytes);
    py::object lease = py::cast(FrameLease{core_, generation, store, nullptr});
    py::object array = ArrayOf(*data, bytes, store->Data(), lease);
    return py::make_tuple(array, data->GetTimestamp(), data->GetFrameID(), data->IsDataNew() != 0);
  }

  // Copies the stream's current frame into out, a writable C-contiguous
  // array of the frame's element type and shape (the GIL released), with
  // no store in between: for callers that fill arrays of their own.
  // Returns (timestamp, frame id, new). A frame of another shape or type
  // raises ValueError naming both.
  py::tuple FrameInto(const std::string& name, py::array out) {
    Require();
    KrVStreamData* data = nullptr;
    Check(core_->device.GetStreamData(name.c_str(), data), "no stream " + name);
    const size_t bytes = data->Data() == nullptr ? 0 : data->GetDataSize();
    if (bytes == 0) throw py::value_error(name + " holds no frame");
    const Layout layout = LayoutOf(*data, bytes);
    auto text = [](const py::dtype& type, const std::vector<size_t>& shape) {
      std::string t = py::cast<std::string>(type.attr("name")) + " (";
      for (size_t i = 0; i < shape.size(); ++i) t += (i ? ", " : "") + std::to_string(shape[i]);
      return t + (shape.size() == 1 ? ",)" : ")");
    };
    std::vector<size_t> given(out.shape(), out.shape() + out.ndim());
    // By number and byte order: a dtype that crossed a pickle is an equal
    // object, not the same one.
    const bool sameType = out.dtype().num() == layout.type.num() && out.dtype().byteorder() != '>';
    if (!sameType || given != layout.shape) {
      throw py::value_error(name + "'s frame is " + text(layout.type, layout.shape) + ", the array " +
                            text(out.dtype(), given));
    }
    if (!out.writeable() || !(out.flags() & py::array::c_style)) {
      throw py::value_error("the array to fill must be writable and C-contiguous");
    }
    const size_t needed = static_cast<size_t>(out.nbytes());
    void* to = out.mutable_data();
    const void* from = data->Data();
    {
      py::gil_scoped_release release;
      std::memcpy(to, from, needed);
    }
    return py::make_tuple(data->GetTimestamp(), data->GetFrameID(), data->IsDataNew() != 0);
  }

  // Leaves a stream out of the reads that follow (a recording then passes
  // over its frames without reading them).
  void CloseStream(const std::string& name) {
    Require();
    ++core_->generation;
    core_->stores.erase(name);
    Check(core_->device.CloseStream(name.c_str()), "cannot close stream " + name);
  }

  // The real-world points of the depth frame: N x 3 (no-sample and shadow
  // pixels left out), or H x W x 3 with NaN at those pixels.
  py::array Points(bool keepShape) {
    KrVDepthMap& depth = DepthMap();
    const size_t width = depth.GetXRes();
    const size_t height = depth.GetYRes();
    CheckFits(depth, width * height * 2);
    if (!keepShape) {
      // Room for every pixel, left as it is (the conversion writes what is
      // kept); the array returned views the points kept.
      py::array_t<float> room({width * height, size_t{3}});
      KrStatus status;
      size_t kept = 0;
      {
        py::gil_scoped_release release;
        KrVPointContainer points(reinterpret_cast<KrVPoint*>(room.mutable_data()),
                                 static_cast<unsigned int>(width * height));
        status = depth.ConvertToRealWorld(points, KRV_NO_SAMPLE_OR_SHADOW_SKIP);
        kept = points.GetSize();
      }
      Check(status, "cannot convert the depth frame");
      return room[py::slice(0, static_cast<py::ssize_t>(kept), 1)];
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
        const unsigned short shadow = depth.GetShadowValue();
        const float nan = std::nanf("");
        for (size_t i = 0; i < width * height; ++i) {
          if (pixels[i] == noSample || pixels[i] == shadow) out[i].SetPoint(nan, nan, nan);
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
      const float nan = std::nanf("");
      for (size_t i = 0; i < count; ++i) {
        // A point not known in every coordinate has no place in the image.
        if (!std::isfinite(out[i].X()) || !std::isfinite(out[i].Y()) || !std::isfinite(out[i].Z())) {
          out[i].SetPoint(nan, nan, nan);
        } else {
          translator->RW2ProjectiveFloat(out[i]);
        }
      }
    }
    return std::move(result);
  }

  // The pinhole model of a pixel stream's current mode, read from its
  // properties now: {width, height, fx, fy, cx, cy, K (row-major, 9),
  // model, coefficients (5)}.
  py::dict Intrinsics(const std::string& stream) {
    Require();
    Text(stream, "a stream name");
    KrVCameraIntrinsics k;
    Check(KrVCameraIntrinsics::FromStream(core_->device, stream.c_str(), k),
          "cannot read the intrinsics of " + stream);
    double matrix[9];
    k.GetMatrix(matrix);
    py::dict result;
    result["width"] = k.width;
    result["height"] = k.height;
    result["fx"] = k.fx;
    result["fy"] = k.fy;
    result["cx"] = k.cx;
    result["cy"] = k.cy;
    result["K"] = std::vector<double>(matrix, matrix + 9);
    result["model"] = std::string(k.GetDistortionModel());
    result["coefficients"] = std::vector<double>(k.distortion, k.distortion + 5);
    return result;
  }

  // The motion from the depth (or infra-red) stream's camera to the colour
  // camera, read now: (rotation row-major (9), translation in mm (3)).
  py::tuple Extrinsics(const std::string& stream) {
    Require();
    Text(stream, "a stream name");
    KrVCameraExtrinsics e;
    Check(KrVCameraExtrinsics::FromStream(core_->device, stream.c_str(), e),
          "cannot read the extrinsics of " + stream);
    return py::make_tuple(std::vector<double>(e.rotation, e.rotation + 9),
                          std::vector<double>(e.translation, e.translation + 3));
  }

  // The depth frame in the image's grid (image height x width uint16).
  py::array AlignedDepth(const std::string& depthStream, const std::string& imageStream) {
    const Pair pair = PairOf(depthStream, imageStream);
    const KrVCameraIntrinsics& image = pair.aligner.GetImageIntrinsics();
    py::array_t<uint16_t> result({static_cast<size_t>(image.height), static_cast<size_t>(image.width)});
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = pair.aligner.AlignDepthToImage(pair.depth->Data(), pair.depthCount, pair.noSample, pair.shadow,
                                              result.mutable_data(), static_cast<size_t>(result.size()));
    }
    Check(status, "cannot align " + depthStream + " to " + imageStream);
    return std::move(result);
  }

  // The image in the depth frame's grid (depth height x width, the image's
  // pixel layout), zeros where no image pixel shows a depth pixel.
  py::array AlignedImage(const std::string& depthStream, const std::string& imageStream) {
    const Pair pair = PairOf(depthStream, imageStream);
    py::array result = AlignImage(pair, depthStream, imageStream);
    return result;
  }

  // Points (N x 3 float32, as Points gives them) with the colour of each
  // (N x 3 uint8, the aligned image's pixel); or both H x W x 3 with
  // keepShape (NaN points, black colours where no depth).
  py::tuple PointsWithColours(const std::string& depthStream, const std::string& imageStream, bool keepShape) {
    const Pair pair = PairOf(depthStream, imageStream);
    if (pair.bytesPerPixel != 3) {
      throw py::value_error("colours need an RGB colour frame; " + imageStream + " is not one");
    }
    py::array_t<uint8_t> aligned = AlignImage(pair, depthStream, imageStream);
    py::array points = Points(keepShape);
    if (keepShape) return py::make_tuple(points, aligned);
    const size_t count = static_cast<size_t>(points.shape(0));
    py::array_t<uint8_t> colours({count, size_t{3}});
    size_t taken = 0;
    {
      const uint8_t* in = aligned.data();
      uint8_t* out = colours.mutable_data();
      for (size_t i = 0; i < pair.depthCount; ++i) {
        const unsigned short value = pair.depth->Data()[i];
        if (value == pair.noSample || value == pair.shadow) continue;
        if (taken == count) break;
        std::memcpy(out + 3 * taken, in + 3 * i, 3);
        ++taken;
      }
    }
    if (taken != count) {
      Raise(KR_STATUS_QM_ILLEGAL_INPUT, "the depth frame's points and pixels disagree (" + std::to_string(count) +
                                            " points, " + std::to_string(taken) + " pixels with depth)");
    }
    return py::make_tuple(points, colours);
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
    Text(module, "a module name");
    Text(property, "a property name");
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
    Text(module, "a module name");
    Text(property, "a property name");
    KrVDevice& device = core_->device;
    const std::string name = module + "." + property;
    const std::string what = "cannot set " + name;
    KrPropertyType type;
    Check(device.GetPropertyType(module.c_str(), property.c_str(), type), what);
    if (IsFrameField(property) && IsStream(module)) {
      throw py::type_error(name + " is a field of the current frame, read-only from Python");
    }
    KrStatus status;
    switch (type) {
      case KR_PROPERTY_TYPE_INTEGER: {
        const uint64_t number = IntegerOf(value, name);
        py::gil_scoped_release release;
        status = device.SetProperty(module.c_str(), property.c_str(), number);
        break;
      }
      case KR_PROPERTY_TYPE_REAL: {
        const double number = RealOf(value, name);
        py::gil_scoped_release release;
        status = device.SetProperty(module.c_str(), property.c_str(), number);
        break;
      }
      case KR_PROPERTY_TYPE_STRING: {
        const std::string text = TextOf(value, name);
        py::gil_scoped_release release;
        status = device.SetProperty(module.c_str(), property.c_str(), text.c_str());
        break;
      }
      default: {
        std::string bytes = BytesOf(value, name);
        KrGeneralBuffer buffer{bytes.data(), static_cast<uint32_t>(bytes.size())};
        py::gil_scoped_release release;
        status = device.SetProperty(module.c_str(), property.c_str(), buffer);
        break;
      }
    }
    if (status != KR_STATUS_OK) Raise(status, what + " to " + std::string(py::repr(value)));
  }

  bool HasProperty(const std::string& module, const std::string& property) {
    Require();
    Text(module, "a module name");
    Text(property, "a property name");
    int exists = 0;
    return core_->device.DoesPropertyExist(module.c_str(), property.c_str(), &exists) == KR_STATUS_OK && exists;
  }

  bool HasModule(const std::string& module) {
    Require();
    Text(module, "a module name");
    int exists = 0;
    return core_->device.DoesModuleExist(module.c_str(), &exists) == KR_STATUS_OK && exists;
  }

  std::vector<std::string> PropertyNames(const std::string& module) {
    Require();
    Text(module, "a module name");
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

  // streams: the names of the streams to record, all of them when empty;
  // compress: the codec of each kind of stream as the command-line tool's
  // record --compress takes it ("depth=depth,image=lz4"), raw when empty.
  void StartRecording(const std::string& path, const std::vector<std::string>& streams, const std::string& compress) {
    Require();
    Text(path, "a recording's path");
    Text(compress, "a codec choice");
    if (core_->recorder) {
      throw std::runtime_error("already recording into " + recordingPath_ + "; stop that recording first");
    }
    const std::vector<std::string> names = StreamNames();
    for (const std::string& stream : streams) {
      if (std::find(names.begin(), names.end(), Text(stream, "a stream name")) == names.end()) {
        throw py::value_error("no stream " + stream + " to record (streams: " + Joined(names) + ")");
      }
    }
    auto recorder = std::make_unique<KrVDeviceRecorder>(&core_->device, path.c_str());
    {
      py::gil_scoped_release release;
      KrStatus status = recorder->StartRecording(streams.empty() ? 1 : 0);
      std::string what = "cannot record into " + path;
      for (size_t i = 0; status == KR_STATUS_OK && i < streams.size(); ++i) {
        status = recorder->AddStream(streams[i].c_str());
        what = "cannot record the " + streams[i] + " stream into " + path;
      }
      // The codecs apply from each stream's first frame: nothing is written yet.
      if (status == KR_STATUS_OK && !compress.empty()) {
        status = recorder->GetWriteDevice()->SetProperty("Device", "Compression", compress.c_str());
        what = "compress=" + compress + " is not a codec choice (e.g. depth=depth,image=lz4; codecs: raw, depth, "
               "lz4, zstd, zlib)";
      }
      if (status != KR_STATUS_OK) {
        recorder->StopRecording();
        py::gil_scoped_acquire gil;
        Raise(status, what);
      }
    }
    core_->recorder = std::move(recorder);
    recordingPath_ = path;
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

  // The package checks the range: frame counts from 1, time in microseconds.
  void SeekFrame(uint32_t frame) {
    Require();
    ++core_->generation;
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = core_->device.SeekFrame(frame);
    }
    Check(status, "cannot seek to frame " + std::to_string(frame));
  }

  void SeekTime(uint64_t time) {
    Require();
    ++core_->generation;
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = core_->device.SeekTime(time);
    }
    Check(status, "cannot seek to " + std::to_string(time) + " us");
  }

  // The time of a recording's last frame (of the stream its frame numbers
  // count): the end of the times a seek takes. Learned once, from a reader
  // of its own, so that this device's position stays where it is.
  uint64_t EndTime() {
    Require();
    if (filePath_.empty()) Raise(KR_STATUS_TL_NOT_SUPPORTED, "only a recording has a time span");
    if (!endTime_) {
      uint64_t frames = 0;
      Check(core_->device.GetProperty("Device", "NumberOfFrames", frames), "cannot count the frames of " + filePath_);
      if (frames == 0) Raise(KR_STATUS_TL_FRAME_NOT_FOUND, filePath_ + " holds no frames");
      uint64_t time = 0;
      KrStatus status;
      {
        py::gil_scoped_release release;
        KrVDevice reader;
        status = reader.OpenFileForReading(filePath_.c_str());
        if (status == KR_STATUS_OK) {
          status = reader.SeekFrame(static_cast<uint32_t>(std::min<uint64_t>(frames, UINT32_MAX)));
          if (status == KR_STATUS_OK) status = reader.TellTime(&time);
          reader.Close();
        }
      }
      Check(status, "cannot find the time of the last frame of " + filePath_);
      endTime_ = time;
    }
    return *endTime_;
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

  static ovalith_tool::StreamMode ParseMode(const std::string& type, const std::string& text) {
    std::string option;
    for (const char c : type) option += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    ovalith_tool::StreamMode mode;
    if (!ovalith_tool::ParseStreamMode(option, Text(text, "a mode"), &mode)) {
      throw py::value_error(ovalith_tool::LastFailure());
    }
    return mode;
  }

  static std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
  }

  bool IsStream(const std::string& module) {
    for (const std::string& stream : StreamNames()) {
      if (stream == module) return true;
    }
    return false;
  }

  KrVDepthMap& DepthMap() {
    Require();
    KrVDepthMap* depth = core_->device.GetDepthMap();
    if (depth == nullptr || !depth->IsValid()) Raise(KR_STATUS_OS_NOT_FOUND, "the device has no depth stream");
    return *depth;
  }

  // A depth frame and an image of this device with the aligner of their
  // cameras as they are now; the sizes are those of the buffers held.
  struct Pair {
    KrVFrameAligner aligner;
    KrVDepthMap* depth = nullptr;
    size_t depthCount = 0;
    unsigned short noSample = 0;
    unsigned short shadow = 0;
    KrVImageMap* image = nullptr;
    size_t imageBytes = 0;
    unsigned int bytesPerPixel = 0;
  };

  Pair PairOf(const std::string& depthStream, const std::string& imageStream) {
    Require();
    Text(depthStream, "a stream name");
    Text(imageStream, "a stream name");
    Pair pair;
    KrVStreamData* depth = nullptr;
    KrVStreamData* image = nullptr;
    Check(core_->device.GetStreamData(depthStream.c_str(), depth), "no stream " + depthStream);
    Check(core_->device.GetStreamData(imageStream.c_str(), image), "no stream " + imageStream);
    pair.depth = dynamic_cast<KrVDepthMap*>(depth);
    pair.image = dynamic_cast<KrVImageMap*>(image);
    if (pair.depth == nullptr || pair.depth->Data() == nullptr) {
      Raise(KR_STATUS_OS_NOT_FOUND, depthStream + " holds no depth frame");
    }
    if (pair.image == nullptr || pair.image->Data() == nullptr) {
      Raise(KR_STATUS_OS_NOT_FOUND, imageStream + " holds no image frame");
    }
    pair.depthCount = pair.depth->GetDataSize() / sizeof(unsigned short);
    pair.noSample = pair.depth->GetNoSampleValue();
    pair.shadow = pair.depth->GetShadowValue();
    pair.imageBytes = pair.image->GetDataSize();
    switch (pair.image->GetOutputFormat()) {
      case KR_OUTPUT_FORMAT_RGB24: pair.bytesPerPixel = 3; break;
      case KR_OUTPUT_FORMAT_GRAYSCALE8: pair.bytesPerPixel = 1; break;
      case KR_OUTPUT_FORMAT_GRAYSCALE16: pair.bytesPerPixel = 2; break;
      default: pair.bytesPerPixel = 0; break;
    }
    Check(pair.aligner.Init(core_->device, depthStream.c_str(), imageStream.c_str()),
          "cannot align " + depthStream + " and " + imageStream);
    return pair;
  }

  static py::array AlignImage(const Pair& pair, const std::string& depthStream, const std::string& imageStream) {
    if (pair.bytesPerPixel == 0) {
      throw py::value_error(imageStream + " is not in a pixel format that can be aligned (RGB, grey 8 or 16 bits)");
    }
    const KrVCameraIntrinsics& depth = pair.aligner.GetDepthIntrinsics();
    std::vector<size_t> shape{static_cast<size_t>(depth.height), static_cast<size_t>(depth.width)};
    if (pair.bytesPerPixel == 3) shape.push_back(3);
    py::array result(pair.bytesPerPixel == 2 ? py::dtype::of<uint16_t>() : py::dtype::of<uint8_t>(), shape);
    const size_t outBytes = static_cast<size_t>(result.nbytes());
    auto* out = static_cast<unsigned char*>(result.mutable_data());
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = pair.aligner.AlignImageToDepth(pair.depth->Data(), pair.depthCount, pair.noSample, pair.shadow,
                                              static_cast<const unsigned char*>(pair.image->Data()),
                                              pair.imageBytes, pair.bytesPerPixel, out, outBytes);
    }
    Check(status, "cannot align " + imageStream + " to " + depthStream);
    return result;
  }

  // A stream's initial values: settings (a dict, or None) and the values
  // of its mode (text as the command-line tool takes it, or empty). With
  // types, each setting is taken as its property's type, and a property
  // not among them is refused; without, the value's type picks it (see
  // KindOf).
  static std::unique_ptr<KrVPropertySet> InitialValues(const std::string& type, py::handle settings,
                                                       const std::string& modeText,
                                                       const std::map<std::string, KrPropertyType>* types) {
    auto set = std::make_unique<KrVPropertySet>();
    if (!settings.is_none()) FillSet(*set, type, py::reinterpret_borrow<py::dict>(settings), types);
    if (!modeText.empty()) {
      for (const auto& value : ParseMode(type, modeText).values) {
        Check(set->AddProperty(type.c_str(), value.first, value.second),
              "cannot take the " + type + " mode " + modeText);
      }
    }
    return set;
  }

  static void FillSet(KrVPropertySet& set, const std::string& module, const py::dict& values,
                      const std::map<std::string, KrPropertyType>* types) {
    for (auto item : values) {
      if (!PyUnicode_Check(item.first.ptr())) {
        throw py::type_error("property names of " + module + " are text, not " + TypeName(item.first));
      }
      const std::string property = Text(item.first.cast<std::string>(), "a property name");
      const std::string name = module + "." + property;
      py::handle value = item.second;
      KrPropertyType kind = KindOf(value);
      if (types != nullptr) {
        const auto found = types->find(property);
        if (found == types->end()) Raise(KR_STATUS_TL_PROPERTY_NOT_FOUND, module + " has no property " + property);
        kind = found->second;
      }
      KrStatus status;
      switch (kind) {
        case KR_PROPERTY_TYPE_INTEGER:
          status = set.AddProperty(module.c_str(), property.c_str(), IntegerOf(value, name));
          break;
        case KR_PROPERTY_TYPE_REAL:
          status = set.AddProperty(module.c_str(), property.c_str(), RealOf(value, name));
          break;
        case KR_PROPERTY_TYPE_STRING:
          status = set.AddProperty(module.c_str(), property.c_str(), TextOf(value, name).c_str());
          break;
        default: {
          std::string bytes = BytesOf(value, name);
          status = set.AddProperty(module.c_str(), property.c_str(),
                                   KrGeneralBuffer{bytes.data(), static_cast<uint32_t>(bytes.size())});
          break;
        }
      }
      Check(status, "cannot take " + name + " = " + std::string(py::repr(value)));
    }
  }

  // The property type a value stands for when no property tells: text;
  // integers (bool, NumPy's, anything with __index__, a 0-d integer array);
  // bytes-like values (an array of one or more dimensions among them);
  // else a real.
  static KrPropertyType KindOf(py::handle value) {
    if (PyUnicode_Check(value.ptr())) return KR_PROPERTY_TYPE_STRING;
    if (py::isinstance<py::array>(value)) {
      const py::array array = py::reinterpret_borrow<py::array>(value);
      if (array.ndim() > 0) return KR_PROPERTY_TYPE_GENERAL;
      const char kind = array.dtype().kind();
      return kind == 'i' || kind == 'u' || kind == 'b' ? KR_PROPERTY_TYPE_INTEGER : KR_PROPERTY_TYPE_REAL;
    }
    if (IsBytesLike(value)) return KR_PROPERTY_TYPE_GENERAL;
    if (PyIndex_Check(value.ptr()) && !PyFloat_Check(value.ptr())) return KR_PROPERTY_TYPE_INTEGER;
    return KR_PROPERTY_TYPE_REAL;
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

  // The element type and shape of the array a frame of bytes bytes shows.
  struct Layout {
    py::dtype type;
    std::vector<size_t> shape;
  };
  static Layout LayoutOf(KrVStreamData& data, size_t bytes) {
    auto layout = [&](py::dtype type, std::vector<size_t> shape) -> Layout {
      size_t needed = static_cast<size_t>(type.itemsize());
      for (size_t extent : shape) needed *= extent;
      if (needed > bytes) {
        throw py::value_error("the frame holds " + std::to_string(bytes) + " bytes, its shape needs " +
                              std::to_string(needed));
      }
      return Layout{type, std::move(shape)};
    };
    if (auto* depth = dynamic_cast<KrVDepthMap*>(&data)) {
      return layout(py::dtype::of<uint16_t>(), {depth->GetYRes(), depth->GetXRes()});
    }
    if (auto* image = dynamic_cast<KrVImageMap*>(&data)) {
      const size_t height = image->GetYRes();
      const size_t width = image->GetXRes();
      switch (image->GetOutputFormat()) {
        case KR_OUTPUT_FORMAT_RGB24:
          return layout(py::dtype::of<uint8_t>(), {height, width, 3});
        case KR_OUTPUT_FORMAT_GRAYSCALE8:
          return layout(py::dtype::of<uint8_t>(), {height, width});
        case KR_OUTPUT_FORMAT_GRAYSCALE16:
          return layout(py::dtype::of<uint16_t>(), {height, width});
        case KR_OUTPUT_FORMAT_YUV422:
          return layout(py::dtype::of<uint8_t>(), {height, width, 2});
        default:  // compressed: the bytes as they came
          return layout(py::dtype::of<uint8_t>(), {bytes});
      }
    }
    if (auto* audio = dynamic_cast<KrVAudioBuffer*>(&data)) {
      const size_t channels = audio->GetNumberOfChannels() == 0 ? 1 : audio->GetNumberOfChannels();
      return layout(py::dtype::of<int16_t>(), {bytes / (2 * channels), channels});
    }
    return layout(py::dtype::of<uint8_t>(), {bytes});
  }

  // The frame's read-only array on memory (bytes long, a copy of data's
  // frame) owned by lease; an empty frame gives an empty array.
  static py::object ArrayOf(KrVStreamData& data, size_t bytes, const void* memory, const py::object& lease) {
    if (bytes == 0) return py::array_t<uint8_t>(0);
    const Layout layout = LayoutOf(data, bytes);
    py::array array(layout.type, layout.shape, memory, lease);
    array.attr("flags").attr("writeable") = false;
    return std::move(array);
  }

  std::shared_ptr<DeviceCore> core_;
  std::string recordingPath_;  // of the recording in progress, for messages
  std::string filePath_;       // of the recording played, empty on a sensor
  std::optional<uint64_t> endTime_;
};

// The engine's depth filter chain on NumPy arrays: ovalith.filters.Chain.
// A chain keeps state (the temporal filter's history), so calls on one
// chain are serialised; the GIL is released while it filters.
class FilterChain {
 public:
  explicit FilterChain(const std::string& text) {
    std::string error;
    if (chain_.Parse(Text(text, "a filter chain"), &error) != KR_STATUS_OK) {
      throw py::value_error(error.empty() ? "not a filter chain: " + text : error);
    }
  }

  // depth: a C-contiguous H x W uint16 array (the package checks it).
  // Returns (filtered array, fx, fy, cx, cy of its grid).
  py::tuple Apply(py::array depth, uint16_t noSample, uint16_t shadow, double fx, double fy, double cx, double cy) {
    if (depth.ndim() != 2 || !depth.dtype().is(py::dtype::of<uint16_t>()) ||
        !(depth.flags() & py::array::c_style)) {
      throw py::type_error("a filter chain takes a C-contiguous H x W uint16 array");
    }
    const size_t height = static_cast<size_t>(depth.shape(0));
    const size_t width = static_cast<size_t>(depth.shape(1));
    if (width > UINT32_MAX || height > UINT32_MAX) throw py::value_error("the depth array is too large");
    const std::unique_lock<std::mutex> lock = Lock();
    input_.width = static_cast<uint32_t>(width);
    input_.height = static_cast<uint32_t>(height);
    input_.noSampleValue = noSample;
    input_.shadowValue = shadow;
    input_.fx = fx;
    input_.fy = fy;
    input_.cx = cx;
    input_.cy = cy;
    const auto* pixels = static_cast<const uint16_t*>(depth.data());
    input_.pixels.assign(pixels, pixels + width * height);
    KrStatus status;
    {
      py::gil_scoped_release release;
      status = chain_.Apply(input_, output_);
    }
    Check(status, "cannot filter the depth frame with " + chain_.Describe());
    if (output_.pixels.size() != static_cast<size_t>(output_.width) * output_.height) {
      Raise(KR_STATUS_QM_ILLEGAL_INPUT, "the filter chain gave " + std::to_string(output_.pixels.size()) +
                                            " pixels for a " + std::to_string(output_.width) + " x " +
                                            std::to_string(output_.height) + " frame");
    }
    py::array_t<uint16_t> result({static_cast<size_t>(output_.height), static_cast<size_t>(output_.width)});
    if (!output_.pixels.empty()) {
      std::memcpy(result.mutable_data(), output_.pixels.data(), output_.pixels.size() * sizeof(uint16_t));
    }
    return py::make_tuple(std::move(result), output_.fx, output_.fy, output_.cx, output_.cy);
  }

  void Reset() {
    const std::unique_lock<std::mutex> lock = Lock();
    chain_.Reset();
  }

  std::string Describe() {
    const std::unique_lock<std::mutex> lock = Lock();
    return chain_.Describe();
  }

 private:
  // Waits for the chain without the GIL: its holder may be waiting for the
  // GIL to hand back its result.
  std::unique_lock<std::mutex> Lock() {
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    py::gil_scoped_release release;
    lock.lock();
    return lock;
  }

  std::mutex mutex_;
  KrVDepthFilterChain chain_;
  KrVDepthImage input_;   // reused between calls
  KrVDepthImage output_;
};

}  // namespace

PYBIND11_MODULE(_ovalith, m) {
  m.doc() = "Compiled core of the ovalith package; use the package, not this module.";
  m.def("_set_error_class", [](py::object error) { ErrorClass() = std::move(error); });
  py::class_<Block>(m, "Block", py::buffer_protocol())
      .def(py::init<size_t>(), py::arg("size"))
      .def("__len__", &Block::Size)
      .def_buffer([](Block& block) {
        return py::buffer_info(block.Data(), 1, py::format_descriptor<uint8_t>::format(), 1,
                               {static_cast<py::ssize_t>(block.Size())}, {py::ssize_t{1}}, false);
      });
  m.def("status_text", [](KrStatus status) {
    const char* text = krGetStatusString(status);
    return std::string(text ? text : "");
  });
  m.def("init", [](const std::string& config) {
    Text(config, "a configuration file's path");
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

  py::class_<FilterChain>(m, "FilterChain")
      .def(py::init<const std::string&>())
      .def("apply", &FilterChain::Apply)
      .def("reset", &FilterChain::Reset)
      .def("describe", &FilterChain::Describe);

  py::class_<Device>(m, "Device")
      .def(py::init<>())
      .def("open_sensor", &Device::OpenSensor)
      .def("open_file", &Device::OpenFile)
      .def("close", &Device::Close)
      .def("set_mode", &Device::SetMode)
      .def_property_readonly("is_open", &Device::IsOpen)
      .def_property_readonly("generation", &Device::Generation)
      .def("read", &Device::Read)
      .def("stream_names", &Device::StreamNames)
      .def("frame", &Device::Frame)
      .def("frame_into", &Device::FrameInto)
      .def("close_stream", &Device::CloseStream)
      .def("points", &Device::Points)
      .def("project", &Device::Project)
      .def("intrinsics", &Device::Intrinsics)
      .def("extrinsics", &Device::Extrinsics)
      .def("aligned_depth", &Device::AlignedDepth)
      .def("aligned_image", &Device::AlignedImage)
      .def("points_with_colours", &Device::PointsWithColours)
      .def("_time_conversions", &Device::TimeConversions)
      .def("get_property", &Device::GetProperty)
      .def("set_property", &Device::SetProperty)
      .def("has_property", &Device::HasProperty)
      .def("has_module", &Device::HasModule)
      .def("property_names", &Device::PropertyNames)
      .def("start_recording", &Device::StartRecording)
      .def("stop_recording", &Device::StopRecording)
      .def("seek_frame", &Device::SeekFrame)
      .def("seek_time", &Device::SeekTime)
      .def("tell_frame", &Device::TellFrame)
      .def("tell_time", &Device::TellTime)
      .def("end_time", &Device::EndTime)
      .def("set_callback", &Device::SetCallback);
}
