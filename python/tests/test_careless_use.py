# What a careless user (or a careless library) does with the package:
# stale views through every NumPy path, writes into views, positions and
# values of the wrong type or range.
import struct
import subprocess
import sys

import numpy as np
import pytest

import ovalith

# Every way NumPy reads a view's memory, the ones that run in C included;
# i is a pixel (flat index) and r its row, where the two frames differ.
READS = {
    "item": lambda v, i, r: v.item(i),
    "flatten": lambda v, i, r: v.flatten(),
    "ravel": lambda v, i, r: v.ravel(),
    "argmax": lambda v, i, r: v.argmax(axis=1),
    "nonzero": lambda v, i, r: np.concatenate(v.nonzero()),
    "argsort": lambda v, i, r: v.argsort(axis=1, kind="stable"),
    "take": lambda v, i, r: v.take([i]),
    "repeat": lambda v, i, r: v.repeat(2),
    "dot": lambda v, i, r: v.dot(np.arange(v.shape[1], dtype=np.uint16)),
    "matmul": lambda v, i, r: v @ np.ones(v.shape[1], dtype=np.uint16),
    "byteswap": lambda v, i, r: v.byteswap(),
    "compress": lambda v, i, r: v.compress(np.arange(v.shape[0]) % 2 == 0, axis=0),
    "flat": lambda v, i, r: v.flat[i],
    "equal": lambda v, i, r: v == 0,
    "less": lambda v, i, r: v < v.flat[i],
    "np.array": lambda v, i, r: np.array(v),
    "np.asarray": lambda v, i, r: np.asarray(v).copy(),
    "np.frombuffer": lambda v, i, r: np.frombuffer(v, dtype=np.uint16),
    "memoryview": lambda v, i, r: bytes(memoryview(v)),
    "bytes": lambda v, i, r: v.tobytes(),
    "format": lambda v, i, r: format(v.flat[i]),
    "sort": lambda v, i, r: np.sort(v, axis=None),
}


@pytest.mark.parametrize("read", READS.values(), ids=READS.keys())
def test_a_stale_view_never_shows_another_frame(read):
    with ovalith.open("*:1", streams=("Depth",)) as device:
        view = device.read().depth
        own = view.copy()
        later = device.read().depth.copy()
        differs = np.flatnonzero(own != later)
        assert differs.size  # the sensor's frames differ
        where = (int(differs[0]), int(differs[0]) // own.shape[1])
        try:
            got = read(view, *where)
        except ovalith.StaleFrameError:
            return
        assert np.array_equal(np.asarray(got), np.asarray(read(own, *where)))


@pytest.fixture(scope="module")
def four_streams(tmp_path_factory):
    """A recording of every kind of stream, depth and image compressed."""
    path = tmp_path_factory.mktemp("rec") / "four.rec"
    with ovalith.open("*:1", streams=("depth", "image", "ir", "audio")) as device:
        with device.record(path, compress="depth=depth,image=lz4"):
            for _ in range(6):
                device.read()
    return path


def _next_read(played, path):
    return played.read()


def _seek_and_read(played, path):
    played.seek(frame=5)
    return played.read()


def _close(played, path):
    played.close()
    # Whatever the device let go of is taken by other frames.
    with ovalith.open(path) as other:
        for _ in other:
            pass


# What NumPy and Python read in C, past the package's checks: only the hold
# on the frame's buffer keeps these right.
HELD_READS = {
    "np.array": lambda v: np.array(v),
    "np.frombuffer": lambda v: np.frombuffer(v, dtype=v.dtype).reshape(v.shape),
    "memoryview": lambda v: np.asarray(memoryview(v)),
}
VIEWS = {"whole": lambda a: a, "rows": lambda a: a[1:5], "transposed": lambda a: a.T}


@pytest.mark.parametrize("kind", ["depth", "image", "ir", "audio"])
@pytest.mark.parametrize("event", [_next_read, _seek_and_read, _close], ids=["read", "seek", "close"])
def test_a_view_keeps_its_frame_through_what_the_package_cannot_check(four_streams, kind, event):
    with ovalith.open(four_streams) as played:
        frame = getattr(played.read(), kind)
        views = {name: make(frame) for name, make in VIEWS.items()}
        own = {name: view.copy() for name, view in views.items()}
        later = event(played, four_streams)
        if later is not None:
            assert not np.array_equal(getattr(later, kind), own["whole"])  # the frames differ
        for (name, view), (how, read) in ((v, r) for v in views.items() for r in HELD_READS.items()):
            if how == "np.frombuffer" and not view.flags.c_contiguous:
                continue  # a buffer of bytes has no strides
            try:
                got = read(view)
            except ovalith.StaleFrameError:
                continue
            assert np.array_equal(got, own[name]), (name, how)


def test_views_cannot_be_made_writeable(sensor):
    frames = sensor.read()
    depth = frames.depth
    for view in (depth, depth[1:5], np.asarray(depth), depth.base, np.frombuffer(depth, dtype=np.uint16),
                 frames.image.T):
        with pytest.raises(ValueError):
            view.flags.writeable = True
    before = depth.copy()
    with pytest.raises(ValueError):
        np.asarray(depth)[0, 0] = 1
    with pytest.raises(ValueError):
        np.frombuffer(depth, dtype=np.uint16)[0] = 1
    with pytest.raises(TypeError):
        memoryview(depth).cast("B")[0] = 1
    assert np.array_equal(depth, before)


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    path = tmp_path_factory.mktemp("rec") / "nine.rec"
    with ovalith.open("*:1", streams=("Depth",)) as device:
        with device.record(path):
            for _ in range(9):
                device.read()
    return path


@pytest.mark.parametrize("position, error", [
    (dict(frame=0), IndexError),
    (dict(frame=10), IndexError),
    (dict(frame=2 ** 32), IndexError),
    (dict(frame=2 ** 32 + 5), IndexError),
    (dict(frame=2 ** 63), IndexError),
    (dict(frame=-10), IndexError),
    (dict(frame=-19), IndexError),
    (dict(frame=2.7), TypeError),
    (dict(frame="3"), TypeError),
    (dict(frame=True), TypeError),
    (dict(frame=np.float64(3.0)), TypeError),
    (dict(time=-1), IndexError),
    (dict(time=2 ** 32), IndexError),
    (dict(time=2 ** 64), IndexError),
    (dict(time=1.5), TypeError),
])
def test_seek_refuses_positions_outside_the_recording(recording, position, error):
    with ovalith.open(recording) as played:
        played.seek(frame=-1)
        end = played.read().depth.timestamp
        played.seek(frame=4)
        with pytest.raises(error) as caught:
            played.seek(**position)
        if error is IndexError:
            assert ("1 to 9" if "frame" in position else "0 to %d us" % end) in str(caught.value)
        assert played.tell() == 4  # a refused seek moves nothing


def test_seek_takes_numpy_integers_counts_from_the_end_and_goes_by_time(recording):
    with ovalith.open(recording) as played:
        frames = [played.read().depth.copy() for _ in range(len(played))]
        for position, index in ((np.int64(3), 2), (np.uint32(9), 8), (-9, 0), (-1, 8)):
            played.seek(frame=position)
            assert np.array_equal(played.read().depth, frames[index])
        # A time brings the frame at or before it; the last frame's time is the end.
        for time, index in ((0, 0), (frames[4].timestamp + 1, 4), (np.uint64(frames[8].timestamp), 8)):
            played.seek(time=time)
            assert np.array_equal(played.read().depth, frames[index])
        with pytest.raises(IndexError):
            played.seek(time=frames[8].timestamp + 1)


@pytest.mark.parametrize("module, name, value, error", [
    ("Depth", "ZPPS", "x", TypeError),
    ("Device", "PrimaryStream", 5, TypeError),
    ("Device", "Mirror", 1.5, TypeError),
    ("Device", "Mirror", "1", TypeError),
    ("Device", "Mirror", -1, ValueError),
    ("Device", "Mirror", 2 ** 64, ValueError),
    ("Device", "PrimaryStream", "Depth\0Image", ValueError),
    ("Device", "Mirror", np.array([1, 2]), TypeError),
    ("Depth", "Cropping", np.float64(1), TypeError),
])
def test_a_value_of_the_wrong_type_is_refused_naming_the_property(sensor, module, name, value, error):
    before = sensor[module][name]
    with pytest.raises(error) as caught:
        sensor[module][name] = value
    assert "%s.%s" % (module, name) in str(caught.value) and "Unable to cast" not in str(caught.value)
    assert sensor[module][name] == before


@pytest.mark.parametrize("settings, words", [
    ({"Mirror": "x"}, "Depth.Mirror takes an integer"),
    ({"Mirror": np.array([1, 2])}, "Depth.Mirror takes an integer"),
    ({"ZPPS": "x"}, "Depth.ZPPS takes a real"),
    ({"Cropping": 1.5}, "Depth.Cropping takes bytes"),
])
def test_a_setting_of_the_wrong_type_is_refused_naming_the_property(settings, words):
    with pytest.raises(TypeError, match=words):
        ovalith.open("*:0", streams="Depth", settings={"depth": settings})


def test_numpy_numbers_are_taken(sensor):
    sensor["Device"]["Mirror"] = np.int64(1)
    sensor["Depth"]["ZPPS"] = np.float32(0.25)
    assert sensor["Device"]["Mirror"] == 1 and sensor["Depth"]["ZPPS"] == 0.25
    # A setting is taken as its property's type, as an assignment is.
    with ovalith.open("*:0", streams="Depth", settings={"depth": {"Resolution": np.uint8(0), "ZPPS": 1}}) as device:
        assert device.read().depth.shape == (240, 320) and device["Depth"]["ZPPS"] == 1.0
    # Zero-dimensional arrays are the numbers they hold.
    with ovalith.open("*:0", streams="Depth", settings={"depth": {"ZPPS": np.array(0.25), "Mirror": np.array(1)}}) \
            as device:
        assert device["Depth"]["ZPPS"] == 0.25 and device["Depth"]["Mirror"] == 1


# The kit's cropping record: on, x and y offset, width, height (little-endian).
CROPPING = struct.pack("<iHHHH", 1, 8, 4, 64, 48)


@pytest.mark.parametrize("wrap", [bytearray, memoryview, lambda b: np.frombuffer(b, dtype=np.uint16)],
                         ids=["bytearray", "memoryview", "ndarray"])
def test_bytes_like_values_are_taken(wrap):
    with ovalith.open("*:0", streams="Depth", settings={"depth": {"Cropping": wrap(CROPPING)}}) as device:
        assert device.read().depth.shape == (48, 64) and device["Depth"]["Cropping"] == CROPPING


@pytest.mark.parametrize("field", ["Buffer", "BufferSize", "RequiredDataSize", "Timestamp", "FrameId", "IsNew"])
def test_frame_fields_are_read_only(sensor, field):
    frames = sensor.read()
    before = sensor["Depth"][field]
    value = b"\0" * len(before) if isinstance(before, bytes) else 1 - int(bool(before))
    with pytest.raises(TypeError, match="Depth.%s" % field):
        sensor["Depth"][field] = value
    assert sensor["Depth"][field] == before and frames.depth.sum() > 0


def test_careless_calls_are_refused_at_once(tmp_path):
    with ovalith.open("*:0", streams="Depth") as device:
        assert device.streams == ["Depth"]  # one name is one stream, not five letters
        with pytest.raises(TypeError):
            device.on_new_frames(5)
        # Each refusal names what held the NUL.
        for lookup, what in ((lambda: device["Depth\0Image"], "a module name"),
                             (lambda: device["Depth"]["XRes\0junk"], "a property name"),
                             (lambda: "XRes\0" in device["Depth"] or device["Depth"]["XRes\0"], "a property name"),
                             (lambda: device["Device"].__setitem__("Mirror\0junk", 1), "a property name"),
                             (lambda: device.record(tmp_path / "nul.rec", compress="depth=\0"), "a codec choice"),
                             (lambda: device.record(tmp_path / "cut\0off.rec"), "a recording's path")):
            with pytest.raises(ValueError, match=what + " holds a NUL"):
                lookup()
        assert not list(tmp_path.iterdir())  # no file under a cut-off name
        properties = device["Depth"]
        for lookup in (lambda: device[5], lambda: properties[5], lambda: properties.__setitem__(5, 1)):
            with pytest.raises(TypeError, match="names are text, not int"):
                lookup()
        with device.record(tmp_path / "first.rec"):
            with pytest.raises(RuntimeError, match="already recording into .*first.rec; stop"):
                device.record(tmp_path / "second.rec")
        frames = device.read()
        projected = frames.project([[np.nan, 0, 1000], [0, np.nan, 1000], [0, 0, np.nan], [0, 0, 1000]])
        assert np.isnan(projected[:3]).all() and np.isfinite(projected[3]).all()
    with pytest.raises(ValueError, match="closed"):
        len(device)
    with pytest.raises(ovalith.Error, match="closed"):
        properties.keys()
    for path in ("*:0\0*:1", "walk\0.rec"):
        with pytest.raises(ValueError, match="NUL"):
            ovalith.open(path)


def test_init_refuses_a_nul_in_the_configuration_path(config_file):
    # The engine starts once per process: this one started it already.
    script = "import ovalith\ntry:\n    ovalith.init(%r)\nexcept ValueError as error:\n    print(error)\n" % (
        str(config_file) + "\0junk")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and "a configuration file's path holds a NUL" in run.stdout, run.stdout + run.stderr
