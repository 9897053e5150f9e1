"""ovalith: depth-sensor frames as NumPy arrays.

    import ovalith
    with ovalith.open("*:0") as dev:          # simulated sensor 0
        frames = dev.read()
        print(frames.depth[240, 320], "mm")    # H x W uint16 view

Frame arrays belong to their read: after the next read, seek or close of
their device any use the package can see raises StaleFrameError, and what
it cannot see (np.array, np.frombuffer, ...) shows their own frame, never a
later one. Keep a frame with .copy(). Arrays are read-only. Frames count
from 1, as the command-line tool counts them.

See docs/python.md for the whole interface.
"""

import atexit
import collections
import os
import operator
import types
import threading
import time
import weakref

import numpy as np

from . import _ovalith
from ._version import __version__

__all__ = ["__version__", "Error", "StaleFrameError", "FrameArray", "Frames", "Device", "Properties", "Recording",
           "Intrinsics", "Extrinsics", "Distortion", "init", "devices", "open", "project", "status_text", "filters"]

# Statuses that mean "no such name": a mapping turns them into KeyError.
_MODULE_NOT_FOUND = 0x30814
_PROPERTY_NOT_FOUND = 0x3080B


class Error(Exception):
    """A refused engine call. .status is the engine's status number, .text
    the status registry's message for it."""

    def __init__(self, status, what="", text=None):
        self.status = int(status)
        self.text = _ovalith.status_text(self.status) if text is None else text
        self.what = what
        super().__init__("%s: %s (0x%X)" % (what, self.text, self.status) if what else
                         "%s (0x%X)" % (self.text, self.status))

    def __reduce__(self):
        return (type(self), (self.status, self.what, self.text))


class StaleFrameError(ReferenceError):
    """A frame view was used after the read (seek, close) that replaced it."""


_ovalith._set_error_class(Error)
status_text = _ovalith.status_text

_start_lock = threading.Lock()
_started = False
_open_devices = weakref.WeakSet()


def init(config=None):
    """Starts the engine. config: a kit configuration file (Tollan.ini
    format, see docs/tollan-configuration.md); None reads Tollan.ini in the
    current directory when there is one. The engine starts once per process;
    a later call changes nothing. open() and devices() start it on demand."""
    global _started
    with _start_lock:
        if not _started:
            _ovalith.init("" if config is None else str(config))
            _started = True


def _shutdown():
    global _started
    for device in list(_open_devices):
        device._force_close()
    if _started:
        _ovalith.shutdown()
        _started = False


atexit.register(_shutdown)


def devices():
    """Connection strings of the devices the kit offers ("*:0", ...)."""
    init()
    return list(_ovalith.devices())


# Stream types by the names the command-line tool uses, in either case.
_STREAM_TYPES = {"depth": "Depth", "image": "Image", "ir": "IR", "audio": "Audio"}


def _stream_type(name):
    if not isinstance(name, str):
        raise TypeError("stream types are text (depth, image, ir, audio), not %s" % type(name).__name__)
    kind = _STREAM_TYPES.get(name.lower())
    if kind is None:
        raise ValueError("no stream type %r: give depth, image, ir or audio" % name)
    return kind


def _stream_list(streams):
    """streams as a list of stream types: one name alone is one stream."""
    if isinstance(streams, str):
        streams = (streams,)
    kinds = []
    for name in streams:
        kind = _stream_type(name)
        if kind in kinds:
            raise ValueError("stream %s is named twice" % kind)
        kinds.append(kind)
    return kinds


def open(source="*:0", streams=None, settings=None, modes=None, realtime=False):
    """Opens a sensor ("*:N") or a recording (any other text or path).

    streams: the stream types a sensor opens (depth, image, ir, audio, in
    either case; one name alone is one stream; by default depth and image).
    A recording opens the streams it holds, or those of them named here (by
    name or type, in either case): the others' frames are passed over
    without being read. modes: {type: mode} in the
    command-line tool's words, "640x480@30:depth" (WIDTHxHEIGHT[@FPS]
    [:FORMAT]; audio RATE[xCHANNELS][@FPS]); a mode the sensor does not offer
    raises ovalith.Error naming those it offers. settings: other initial
    property values, {"Depth": {"Mirror": 1}} (an open stream refuses to
    change what shapes its frames, so those are set here). realtime=True
    paces a recording's reads by its
    timestamps, as it was recorded. Use as a context manager."""
    init()
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError("open takes a connection string or a path, not %s" % type(source).__name__)
    source = os.fspath(source)
    if not isinstance(source, str):
        source = os.fsdecode(source)
    core = _ovalith.Device()
    kept = None
    if source.startswith("*:"):
        kinds = _stream_list(("Depth", "Image") if streams is None else streams)
        given = {}
        for name, values in dict(settings or {}).items():
            kind = _stream_type(name)
            if kind not in kinds:
                raise ValueError("settings for %s, a stream not opened (streams: %s)" % (name, ", ".join(kinds)))
            if not isinstance(values, dict):
                raise TypeError("settings[%r] is a dict of property values, not %s" % (name, type(values).__name__))
            given[kind] = values
        wanted = {}
        for name, mode in dict(modes or {}).items():
            kind = _stream_type(name)
            if kind not in kinds:
                raise ValueError("a mode for %s, a stream not opened (streams: %s)" % (name, ", ".join(kinds)))
            if not isinstance(mode, str):
                raise TypeError("modes[%r] is a text such as '640x480@30', not %s" % (name, type(mode).__name__))
            wanted[kind] = mode
        core.open_sensor(source, kinds, given, wanted)
        if realtime:
            raise ValueError("realtime paces a recording; a sensor delivers in real time already")
    else:
        if modes:
            raise ValueError("a recording plays in the modes it was recorded in; modes are for sensors")
        core.open_file(source)
        if streams is not None:
            try:
                kept = _keep_streams(core, source, streams)
            except BaseException:
                core.close()
                raise
    device = Device(core, source, realtime=bool(realtime), streams=kept)
    _open_devices.add(device)
    return device


def _keep_streams(core, source, streams):
    """Closes the recording's streams that streams (names or types, in
    either case) does not name; a name it does not hold raises ValueError."""
    held = list(core.stream_names())
    types = {name: (core.get_property(name, "Type") if core.has_property(name, "Type") else name) for name in held}
    kept = set()
    for given in ((streams,) if isinstance(streams, str) else streams):
        if not isinstance(given, str):
            raise TypeError("stream names are text, not %s" % type(given).__name__)
        matches = [name for name in held if name.lower() == given.lower()] or \
                  [name for name in held if types[name].lower() == given.lower()]
        if not matches:
            raise ValueError("%s holds no stream %r (streams: %s)" % (source, given, ", ".join(held)))
        kept.update(matches)
    for name in held:
        if name not in kept:
            core.close_stream(name)
    return [name for name in held if name in kept]


def _integer(value, what):
    """value as an int: Python's and NumPy's integers, not floats or bools."""
    if isinstance(value, (bool, np.bool_)) or not hasattr(type(value), "__index__"):
        raise TypeError("%s takes an integer, not %s" % (what, type(value).__name__))
    return operator.index(value)


def project(points, frames):
    """Real-world points (..., 3) float32 in mm to projective (column, row,
    depth) with the calibration of frames (a Frames or a Device)."""
    device = frames._device if isinstance(frames, Frames) else frames
    return device._core.project(np.asarray(points, dtype=np.float32))


Distortion = collections.namedtuple("Distortion", ["model", "coefficients"])
Distortion.__doc__ = """A lens distortion: its model's name ("none": the frames have no
distortion) and its coefficients k1, k2, p1, p2, k3 (all 0 for "none")."""


class Intrinsics:
    """The pinhole camera of a pixel grid: a point (X, Y, Z) in mm lies at
    u = fx X / Z + cx, v = fy Y / Z + cy. .K is the 3 x 3 matrix OpenCV and
    Open3D take; .width, .height the grid's size; .distortion its model."""

    __slots__ = ("width", "height", "fx", "fy", "cx", "cy", "distortion")

    def __init__(self, width, height, fx, fy, cx, cy, distortion=None):
        self.width, self.height = int(width), int(height)
        self.fx, self.fy, self.cx, self.cy = float(fx), float(fy), float(cx), float(cy)
        self.distortion = Distortion("none", (0.0,) * 5) if distortion is None else Distortion(*distortion)

    @property
    def K(self):  # noqa: N802 (the camera matrix's usual name)
        """[[fx, 0, cx], [0, fy, cy], [0, 0, 1]], float64."""
        return np.array([[self.fx, 0.0, self.cx], [0.0, self.fy, self.cy], [0.0, 0.0, 1.0]])

    def to_open3d(self):
        """The same camera as open3d.camera.PinholeCameraIntrinsic (imports open3d)."""
        import open3d
        return open3d.camera.PinholeCameraIntrinsic(self.width, self.height, self.fx, self.fy, self.cx, self.cy)

    def __eq__(self, other):
        return isinstance(other, Intrinsics) and all(getattr(self, n) == getattr(other, n) for n in self.__slots__)

    def __repr__(self):
        return ("<ovalith.Intrinsics %dx%d fx=%g fy=%g cx=%g cy=%g distortion=%s>"
                % (self.width, self.height, self.fx, self.fy, self.cx, self.cy, self.distortion.model))


class Extrinsics:
    """The motion from one camera to another: X_to = R X_from + t, R a 3 x 3
    rotation, t in mm; .matrix the same as a 4 x 4 homogeneous matrix."""

    __slots__ = ("R", "t")

    def __init__(self, rotation, translation):
        self.R = np.array(rotation, dtype=np.float64).reshape(3, 3)
        self.t = np.array(translation, dtype=np.float64).reshape(3)

    @property
    def matrix(self):
        result = np.eye(4)
        result[:3, :3], result[:3, 3] = self.R, self.t
        return result

    def __repr__(self):
        return "<ovalith.Extrinsics t=(%g, %g, %g) mm>" % tuple(self.t)


class FrameArray(np.ndarray):
    """An ndarray viewing one frame of the engine: .timestamp (microseconds)
    and .frame_id. A view (one with a lease) raises StaleFrameError when
    used after its device's next read; .copy() gives one that stays."""

    timestamp = 0
    frame_id = 0
    _lease = None

    def __array_finalize__(self, obj):
        if obj is None:
            return
        self.timestamp = getattr(obj, "timestamp", 0)
        self.frame_id = getattr(obj, "frame_id", 0)
        # Slices and reshapes view the same memory and keep the lease; a new
        # allocation (a result, a copy) owns its data and needs none.
        self._lease = getattr(obj, "_lease", None) if self.base is not None else None

    @property
    def valid(self):
        """False once the frame's buffer holds another frame."""
        return self._lease is None or self._lease.valid

    def _check(self):
        if self._lease is not None and not self._lease.valid:
            raise StaleFrameError("frame %d was replaced by a later read; keep frames with .copy()"
                                  % self.frame_id)

    def copy(self, order="C"):
        self._check()
        kept = np.array(self.view(np.ndarray), order=order, copy=True).view(FrameArray)
        kept.timestamp, kept.frame_id, kept._lease = self.timestamp, self.frame_id, None
        return kept

    def __getitem__(self, key):
        self._check()
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        self._check()
        super().__setitem__(key, value)

    def __iter__(self):
        self._check()
        return super().__iter__()

    def __repr__(self):
        self._check()
        return super().__repr__()

    def __str__(self):
        self._check()
        return super().__str__()

    def __reduce__(self):
        return self.copy().view(np.ndarray).__reduce__()

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        args = [_plain(x) for x in inputs]
        if "out" in kwargs:
            kwargs["out"] = tuple(_plain(x) for x in kwargs["out"])
        return getattr(ufunc, method)(*args, **kwargs)

    def __array_function__(self, func, types, args, kwargs):
        _check_all(args)
        _check_all(kwargs.values())
        return super().__array_function__(func, types, args, kwargs)

    def __reduce_ex__(self, protocol):
        return self.__reduce__()


# Every other method, operator and data attribute of ndarray checks the
# lease first: NumPy calls these in C (item, flatten, argmax, v == 0, ...),
# and for comparisons it would swallow an error raised later, in
# __array_ufunc__, and answer False. What the Python layer cannot see
# (np.array(v), np.frombuffer(v), memoryview(v)) reads the view's own frame:
# no later read writes into its memory.
_UNGUARDED = {"__new__", "__init__", "__getattribute__", "__setattr__", "__delattr__", "__init_subclass__",
              "__subclasshook__", "__class_getitem__", "__array_finalize__", "__array_ufunc__",
              "__array_function__", "__array_prepare__", "__array_wrap__", "__sizeof__", "__dir__",
              "__hash__", "__len__", "__setstate__", "__reduce__", "__reduce_ex__", "__getstate__"}
_GUARDED_ATTRIBUTES = ("flat", "data", "ctypes", "real", "imag", "T", "mT", "__array_interface__",
                       "__array_struct__")


def _guard_method(method):
    def guarded(self, *args, **kwargs):
        lease = self._lease
        if lease is not None and not lease.valid:
            self._check()
        return method(self, *args, **kwargs)
    guarded.__name__ = getattr(method, "__name__", "method")
    guarded.__doc__ = getattr(method, "__doc__", None)
    return guarded


def _guard_attribute(descriptor):
    return property(_guard_method(descriptor.__get__), doc=getattr(descriptor, "__doc__", None))


for _name, _member in vars(np.ndarray).items():
    if _name in _UNGUARDED or _name in vars(FrameArray):
        continue
    if isinstance(_member, (types.MethodDescriptorType, types.WrapperDescriptorType)):
        setattr(FrameArray, _name, _guard_method(_member))
    elif _name in _GUARDED_ATTRIBUTES and isinstance(_member, types.GetSetDescriptorType):
        setattr(FrameArray, _name, _guard_attribute(_member))
del _name, _member


def _plain(x):
    if isinstance(x, FrameArray):
        x._check()
        return x.view(np.ndarray)
    return x


def _check_all(values):
    for value in values:
        if isinstance(value, FrameArray):
            value._check()
        elif isinstance(value, (list, tuple)):
            _check_all(value)


class Frames:
    """What one read brought: a frame per stream. .depth, .image, .ir and
    .audio are the first stream of that type (None without one); frames[name]
    any stream by name. .new names the streams whose frame is new."""

    def __init__(self, device, generation):
        self._device = device
        self._generation = generation
        self._arrays = {}

    def _check(self):
        if self._device._core.generation != self._generation:
            raise StaleFrameError("these frames were replaced by a later read; keep them with .copy()")

    def __getitem__(self, name):
        array = self._arrays.get(name)
        if array is not None:
            array._check()
            return array
        self._check()
        if name not in self._device.streams:
            raise KeyError(name)
        data, timestamp, frame_id, _ = self._device._core.frame(name)
        array = data.view(FrameArray)
        array.flags.writeable = False
        array.timestamp, array.frame_id = timestamp, frame_id
        array._lease = data.base if isinstance(data.base, _ovalith.FrameLease) else None
        self._arrays[name] = array
        return array

    def _of_type(self, kind):
        name = self._device._stream_of_type(kind)
        return None if name is None else self[name]

    depth = property(lambda self: self._of_type("Depth"), doc="H x W uint16 depth in mm")
    image = property(lambda self: self._of_type("Image"), doc="H x W x 3 uint8 RGB (or the stream's format)")
    ir = property(lambda self: self._of_type("IR"), doc="H x W infra-red")
    audio = property(lambda self: self._of_type("Audio"), doc="samples x channels int16")

    @property
    def new(self):
        self._check()
        return [name for name in self._device.streams if self._device._core.frame(name)[3]]

    @property
    def timestamp(self):
        return self._primary().timestamp

    @property
    def frame_id(self):
        return self._primary().frame_id

    def _primary(self):
        depth = self.depth
        return depth if depth is not None else self[self._device.streams[0]]

    def bgr(self):
        """The colour frame as OpenCV takes it: a C-contiguous H x W x 3
        uint8 copy in blue, green, red order."""
        image = self.image
        if image is None or image.ndim != 3 or image.shape[2] != 3:
            raise ValueError("bgr() needs an RGB colour frame")
        return np.ascontiguousarray(image.view(np.ndarray)[..., ::-1])

    def points(self, keep_shape=False, colors=False):
        """Real-world points of the depth frame in mm, float32: N x 3 for
        the pixels that hold depth, or with keep_shape H x W x 3 with NaN
        where a pixel holds none. Pixels holding the stream's no-sample or
        shadow value are no depth: they never become points. colors=True
        returns (points, colours): the colour of each point, uint8 RGB from
        the image pixel that shows it (aligned_image(); black where the
        colour camera does not see it), N x 3 (H x W x 3 with keep_shape)."""
        self._check()
        if colors:
            depth, image = self._pair()
            return self._device._core.points_with_colours(depth, image, bool(keep_shape))
        return self._device._core.points(bool(keep_shape))

    def _pair(self):
        depth = self._device._stream_of_type("Depth")
        image = self._device._stream_of_type("Image")
        if depth is None or image is None:
            raise ValueError("aligning needs a depth and an image stream (streams: %s)"
                             % ", ".join(self._device.streams))
        return depth, image

    def aligned_depth(self):
        """The depth frame in the image's grid: image height x width uint16,
        mm along the colour camera's axis, the stream's no-sample value where
        the depth camera saw nothing (the nearer surface wins where two
        meet). Computed now, from the cameras as they are now; a new array."""
        self._check()
        return self._device._core.aligned_depth(*self._pair())

    def aligned_image(self):
        """The image in the depth frame's grid: depth height x width (x 3 for
        RGB), each depth pixel taking the image pixel that shows it, zeros
        where none does (no depth, outside the image, or hidden from the
        colour camera). A new array."""
        self._check()
        return self._device._core.aligned_image(*self._pair())

    def to_open3d(self, depth_scale=1000.0, depth_trunc=None):
        """(open3d.geometry.RGBDImage, open3d.camera.PinholeCameraIntrinsic)
        of the aligned pair in the depth camera's grid: the depth frame (no
        sample and shadow as 0, Open3D's "no depth") with aligned_image(),
        and the depth camera's intrinsics. depth_scale: depth units per
        Open3D unit (1000: metres, Open3D's own default; 1: millimetres);
        depth_trunc: the farthest depth kept, in Open3D units (None: all).
        Imports open3d."""
        import open3d
        self._check()
        depth_name, _ = self._pair()
        depth = np.array(self.depth.view(np.ndarray), dtype=np.uint16, copy=True)
        color = self.aligned_image()
        if color.ndim != 3:
            raise ValueError("to_open3d needs an RGB colour frame")
        module = self._device[depth_name]
        depth[(depth == module["NoSampleValue"]) | (depth == module["ShadowValue"])] = 0
        rgbd = open3d.geometry.RGBDImage.create_from_color_and_depth(
            open3d.geometry.Image(np.ascontiguousarray(color)), open3d.geometry.Image(depth),
            depth_scale=float(depth_scale), depth_trunc=1e12 if depth_trunc is None else float(depth_trunc),
            convert_rgb_to_intensity=False)
        return rgbd, self._device.intrinsics(depth_name).to_open3d()

    def depth_filtered(self, chain):
        """(depth, intrinsics) of the depth frame through a filter chain (an
        ovalith.filters.Chain, or its text for a one-off chain, which then
        has no history for "temporal"): a new H' x W' uint16 array and the
        Intrinsics of its grid (decimation shrinks both)."""
        from . import filters
        self._check()
        name = self._device._stream_of_type("Depth")
        if name is None:
            raise ValueError("depth_filtered needs a depth stream (streams: %s)" % ", ".join(self._device.streams))
        if isinstance(chain, str):
            chain = filters.Chain(chain)
        elif not isinstance(chain, filters.Chain):
            raise TypeError("depth_filtered takes an ovalith.filters.Chain or its text, not %s"
                            % type(chain).__name__)
        module = self._device[name]
        return chain.apply(self.depth, no_sample=module["NoSampleValue"], shadow=module["ShadowValue"],
                           intrinsics=self._device.intrinsics(name))

    def project(self, points):
        """Real-world points (..., 3) to (column, row, depth)."""
        self._check()
        return self._device._core.project(np.asarray(points, dtype=np.float32))

    def copy(self):
        """Frames that stay: every stream's frame copied."""
        kept = _KeptFrames({name: self[name].copy() for name in self._device.streams}, self._device)
        return kept


class _KeptFrames(Frames):
    def __init__(self, arrays, device):
        self._arrays = arrays
        self._device = device
        self._generation = None

    def _check(self):
        pass

    def __getitem__(self, name):
        return self._arrays[name]

    def _of_type(self, kind):
        name = self._device._stream_types.get(kind)
        return None if name is None else self._arrays.get(name)

    def points(self, *args, **kwargs):
        raise TypeError("kept frames hold no device state; call points(), aligned_depth(), aligned_image(), "
                        "to_open3d() or depth_filtered() before the next read")

    project = aligned_depth = aligned_image = to_open3d = depth_filtered = points

    @property
    def new(self):
        return list(self._arrays)


class Properties:
    """The properties of one module as a mapping: reading gives int, float,
    str or bytes by the property's type; assignment sets (ovalith.Error when
    the device refuses the value); unknown names raise KeyError."""

    def __init__(self, device, module):
        self._device = device
        self._module = module

    def _call(self, name, action):
        if not isinstance(name, str):
            raise TypeError("property names are text, not %s" % type(name).__name__)
        try:
            return action()
        except Error as error:
            if error.status in (_MODULE_NOT_FOUND, _PROPERTY_NOT_FOUND):
                raise KeyError("%s.%s" % (self._module, name)) from error
            raise

    def __getitem__(self, name):
        return self._call(name, lambda: self._device._core.get_property(self._module, name))

    def __setitem__(self, name, value):
        self._call(name, lambda: self._device._core.set_property(self._module, name, value))

    def __contains__(self, name):
        return isinstance(name, str) and self._device._core.has_property(self._module, name)

    def keys(self):
        return list(self._device._core.property_names(self._module))

    __iter__ = lambda self: iter(self.keys())
    __len__ = lambda self: len(self.keys())

    def get(self, name, default=None):
        try:
            return self[name]
        except KeyError:
            return default

    def items(self):
        return [(name, self[name]) for name in self.keys()]

    def __repr__(self):
        return "<ovalith.Properties %s>" % self._module


class Recording:
    """A recording of a device in progress: every read writes the new frames
    into the file. Stops (and finishes the file) at stop() or the end of its
    with block."""

    def __init__(self, device, path, streams=None, compress=None):
        self._device = device
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError("record takes a path, not %s" % type(path).__name__)
        self.path = os.fsdecode(os.fspath(path))
        names = []
        if streams is not None:
            for name in ([streams] if isinstance(streams, str) else streams):
                names.append(device._stream_name(name))
        if compress is not None and not isinstance(compress, str):
            raise TypeError("compress is a text such as 'depth=depth,image=lz4', not %s" % type(compress).__name__)
        device._core.start_recording(self.path, names, compress or "")
        self._running = True

    def stop(self):
        """Finishes the file (its index and trailer); a second stop does nothing."""
        if self._running:
            self._running = False
            self._device._core.stop_recording()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Device:
    """An open sensor or recording. Use from one thread at a time."""

    def __init__(self, core, source, realtime=False, streams=None):
        self._core = core
        self.source = source
        self.realtime = realtime
        self._pace = None  # (monotonic seconds, timestamp in us) of the first paced frame
        self.streams = list(core.stream_names()) if streams is None else list(streams)
        self._stream_types = {}
        for name in self.streams:
            kind = core.get_property(name, "Type") if core.has_property(name, "Type") else name
            self._stream_types.setdefault(kind, name)

    def _stream_of_type(self, kind):
        return self._stream_types.get(kind)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Closes the device; frames still held become stale."""
        self._core.close()
        _open_devices.discard(self)

    def _force_close(self):
        self._core.close()

    @property
    def closed(self):
        return not self._core.is_open

    def read(self):
        """Reads every stream (waiting for the sensor without the GIL). At
        the end of a recording raises EOFError."""
        if not self._core.read():
            raise EOFError("end of " + self.source)
        if self.realtime:
            self._wait_for_timestamp()
        return Frames(self, self._core.generation)

    def _wait_for_timestamp(self):
        # Paced by the primary stream's timestamps: each frame comes when as
        # much time has passed since the first paced one as it was recorded
        # after it. A seek (or a timestamp going back) starts afresh.
        name = self._stream_types.get("Depth", self.streams[0] if self.streams else None)
        if name is None:
            return
        stamp = self._core.get_property(name, "Timestamp")
        now = time.monotonic()
        if self._pace is None or stamp < self._pace[1]:
            self._pace = (now, stamp)
            return
        delay = self._pace[0] + (stamp - self._pace[1]) / 1e6 - now
        if delay > 0:
            time.sleep(delay)

    def __iter__(self):
        while True:
            try:
                yield self.read()
            except EOFError:
                return

    def __getitem__(self, module):
        if not isinstance(module, str):
            raise TypeError("module names are text, not %s" % type(module).__name__)
        if not self._core.has_module(module):
            # Stream modules in either case, as the command-line tool names them.
            matches = [name for name in self.streams if name.lower() == module.lower()]
            if len(matches) != 1:
                raise KeyError(module)
            module = matches[0]
        return Properties(self, module)

    def record(self, path, streams=None, compress=None):
        """Starts recording into path; every later read writes its new frames.
        streams: the streams to record (names or types, in either case; all
        of them by default); compress: each kind's codec as the command-line
        tool's record --compress takes it, "depth=depth,image=lz4" (codecs
        raw, depth, lz4, zstd, zlib; raw by default). Use as a context manager."""
        return Recording(self, path, streams, compress)

    def set_mode(self, stream, mode):
        """Puts a sensor's stream into a mode in the command-line tool's
        words: set_mode("depth", "640x480@30:depth"). The stream is opened
        anew; a mode the sensor does not offer raises ovalith.Error naming
        the modes it offers, and leaves the stream as it was."""
        if not isinstance(mode, str):
            raise TypeError("a mode is a text such as '640x480@30', not %s" % type(mode).__name__)
        self._core.set_mode(self._stream_name(stream), mode)

    def intrinsics(self, stream="Depth"):
        """The pinhole camera of a pixel stream (depth, image or ir, in
        either case) in its current mode, read from the device now (read it
        again after a mode change): an Intrinsics with .K (3 x 3), .width,
        .height, .fx, .fy, .cx, .cy and .distortion (model, coefficients).
        Mirrored frames are not described: their columns run the other way."""
        name = self._stream_name(stream)
        k = self._core.intrinsics(name)
        return Intrinsics(k["width"], k["height"], k["fx"], k["fy"], k["cx"], k["cy"],
                          (k["model"], tuple(k["coefficients"])))

    def extrinsics(self, stream="Depth"):
        """The motion from the depth (or ir) stream's camera to the colour
        camera, read from the device now: an Extrinsics with .R (3 x 3),
        .t (mm) and .matrix (4 x 4), X_image = R X_depth + t. Registered
        depth is in the colour camera's view already: the identity."""
        rotation, translation = self._core.extrinsics(self._stream_name(stream))
        return Extrinsics(rotation, translation)

    def _stream_name(self, name):
        """A stream of this device by its name or type, in either case."""
        if not isinstance(name, str):
            raise TypeError("stream names are text, not %s" % type(name).__name__)
        if name in self.streams:
            return name
        matches = [s for s in self.streams if s.lower() == name.lower()]
        if len(matches) == 1:
            return matches[0]
        kind = _STREAM_TYPES.get(name.lower())
        if kind is not None and kind in self._stream_types:
            return self._stream_types[kind]
        raise ValueError("no stream %r (streams: %s)" % (name, ", ".join(self.streams)))

    def __len__(self):
        """Frames of a recording (of its first recorded stream)."""
        if self.closed:
            raise ValueError("%s: the device is closed" % self.source)
        try:
            return int(self._core.get_property("Device", "NumberOfFrames"))
        except Error as error:
            if error.status in (_MODULE_NOT_FOUND, _PROPERTY_NOT_FOUND):
                raise TypeError("only a recording has a length; %s is a sensor" % self.source) from error
            raise

    def seek(self, frame=None, time=None):
        """Moves a recording: to frame (1 is the first, -1 the last) or to
        time (microseconds from 0 to the last frame's timestamp: the frames
        at or before it); the next read brings that frame."""
        if (frame is None) == (time is None):
            raise TypeError("seek takes frame= or time=")
        if frame is not None:
            number = _integer(frame, "seek: frame")
            count = len(self)
            if number < 0:
                number += count + 1
            if not 1 <= number <= count:
                raise IndexError("seek: frame %s is out of range: %s has frames 1 to %d (or -%d to -1)"
                                 % (frame, self.source, count, count))
            self._core.seek_frame(number)
        else:
            number = _integer(time, "seek: time")
            len(self)  # a sensor has no times to seek
            end = self._core.end_time()
            if not 0 <= number <= end:
                raise IndexError("seek: time %s is out of range: %s spans 0 to %d us (its last frame)"
                                 % (time, self.source, end))
            self._core.seek_time(number)
        self._pace = None

    def tell(self):
        """The number of the frame the next read brings (1 is the first)."""
        return self._core.tell_frame()

    def on_new_frames(self, callback):
        """Calls callback(stream_name) on the kit's thread whenever a stream
        has a new frame (None stops). Keep it short; read on your own thread."""
        if callback is not None and not callable(callback):
            raise TypeError("on_new_frames takes a callable or None, not %s" % type(callback).__name__)
        self._core.set_callback(callback)

    def __repr__(self):
        return "<ovalith.Device %s%s>" % (self.source, " closed" if self.closed else "")


from . import filters  # noqa: E402 (uses the classes above)
