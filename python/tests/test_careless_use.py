# What a careless user (or a careless library) does with the package:
# stale views through every NumPy path, writes into views, positions and
# values of the wrong type or range.
import numpy as np
import pytest

import ovalith

# Every way NumPy reads a view's memory, the ones that run in C included.
READS = {
    "item": lambda v: v.item(7),
    "flatten": lambda v: v.flatten(),
    "ravel": lambda v: v.ravel(),
    "argmax": lambda v: v.argmax(),
    "nonzero": lambda v: v.nonzero()[0],
    "argsort": lambda v: v[3].argsort(kind="stable"),
    "take": lambda v: v.take([5, 9, 11]),
    "repeat": lambda v: v[2].repeat(2),
    "dot": lambda v: v[4].astype(np.int64).dot(np.arange(v.shape[1])),
    "matmul": lambda v: v[:, :4] @ np.ones(4, dtype=np.uint16),
    "byteswap": lambda v: v.byteswap(),
    "compress": lambda v: v[1].compress(v[1] > 1000),
    "flat": lambda v: v.flat[123],
    "equal": lambda v: v == 0,
    "less": lambda v: v < 2000,
    "np.array": lambda v: np.array(v),
    "np.asarray": lambda v: np.asarray(v).copy(),
    "np.frombuffer": lambda v: np.frombuffer(v, dtype=np.uint16),
    "memoryview": lambda v: bytes(memoryview(v)),
    "bytes": lambda v: v.tobytes(),
    "format": lambda v: format(v[0, 0]),
    "sort": lambda v: np.sort(v, axis=None),
}


@pytest.mark.parametrize("read", READS.values(), ids=READS.keys())
def test_a_stale_view_never_shows_another_frame(read):
    with ovalith.open("*:1", streams=("Depth",)) as device:
        view = device.read().depth
        own = view.copy()
        later = device.read().depth.copy()
        assert not np.array_equal(own, later)  # the sensor's frames differ
        try:
            got = read(view)
        except ovalith.StaleFrameError:
            return
        expected = read(own)
        assert type(got) is type(expected) or isinstance(got, np.ndarray)
        assert np.array_equal(np.asarray(got), np.asarray(expected))


def test_views_cannot_be_made_writeable(sensor):
    frames = sensor.read()
    for view in (frames.depth, frames.depth[1:5], np.asarray(frames.depth), frames.image.T):
        with pytest.raises(ValueError):
            view.flags.writeable = True
    before = frames.depth.copy()
    with pytest.raises(ValueError):
        np.asarray(frames.depth)[0, 0] = 1
    assert np.array_equal(frames.depth, before)


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
    (dict(frame=-10), IndexError),
    (dict(frame=-19), IndexError),
    (dict(frame=2.7), TypeError),
    (dict(frame="3"), TypeError),
    (dict(frame=True), TypeError),
    (dict(time=-1), IndexError),
    (dict(time=2 ** 64), IndexError),
    (dict(time=1.5), TypeError),
])
def test_seek_refuses_positions_outside_the_recording(recording, position, error):
    with ovalith.open(recording) as played:
        played.seek(frame=4)
        with pytest.raises(error) as caught:
            played.seek(**position)
        if error is IndexError and "frame" in position:
            assert "1 to 9" in str(caught.value)
        assert played.tell() == 4  # a refused seek moves nothing


def test_seek_takes_numpy_integers_and_counts_from_the_end(recording):
    with ovalith.open(recording) as played:
        frames = [played.read().depth.copy() for _ in range(len(played))]
        for position, index in ((np.int64(3), 2), (np.uint32(9), 8), (-9, 0), (-1, 8)):
            played.seek(frame=position)
            assert np.array_equal(played.read().depth, frames[index])


@pytest.mark.parametrize("module, name, value, error", [
    ("Depth", "ZPPS", "x", TypeError),
    ("Device", "PrimaryStream", 5, TypeError),
    ("Device", "Mirror", 1.5, TypeError),
    ("Device", "Mirror", "1", TypeError),
    ("Device", "Mirror", -1, ValueError),
    ("Device", "Mirror", 2 ** 64, ValueError),
    ("Device", "PrimaryStream", "Depth\0Image", ValueError),
])
def test_a_value_of_the_wrong_type_is_refused_naming_the_property(sensor, module, name, value, error):
    before = sensor[module][name]
    with pytest.raises(error) as caught:
        sensor[module][name] = value
    assert "%s.%s" % (module, name) in str(caught.value) and "Unable to cast" not in str(caught.value)
    assert sensor[module][name] == before


def test_numpy_numbers_are_taken(sensor):
    sensor["Device"]["Mirror"] = np.int64(1)
    sensor["Depth"]["ZPPS"] = np.float32(0.25)
    assert sensor["Device"]["Mirror"] == 1 and sensor["Depth"]["ZPPS"] == 0.25
    with ovalith.open("*:0", streams="Depth", settings={"depth": {"Resolution": np.uint8(0)}}) as device:
        assert device.read().depth.shape == (240, 320)


@pytest.mark.parametrize("field", ["Buffer", "BufferSize", "RequiredDataSize", "Timestamp", "IsNew"])
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
        for lookup in (lambda: device["Depth\0Image"], lambda: device["Depth"]["XRes\0junk"],
                       lambda: "XRes\0" in device["Depth"] or device["Depth"]["XRes\0"]):
            with pytest.raises(ValueError, match="NUL"):
                lookup()
        with device.record(tmp_path / "first.rec"):
            with pytest.raises(RuntimeError, match="already recording"):
                device.record(tmp_path / "second.rec")
        frames = device.read()
        projected = frames.project([[np.nan, 0, 1000], [0, np.nan, 1000], [0, 0, np.nan], [0, 0, 1000]])
        assert np.isnan(projected[:3]).all() and np.isfinite(projected[3]).all()
    with pytest.raises(ValueError, match="closed"):
        len(device)
    for path in ("*:0\0*:1", "walk\0.rec"):
        with pytest.raises(ValueError, match="NUL"):
            ovalith.open(path)
