import threading
import tracemalloc

import numpy as np
import pytest

import ovalith


def address(array):
    return array.__array_interface__["data"][0]


def test_frames_keep_their_memory_until_no_view_is_left(sensor):
    frames = sensor.read()
    depth = frames.depth
    assert depth.shape == (sensor["Depth"]["YRes"], sensor["Depth"]["XRes"]) and depth.dtype == np.uint16
    assert np.shares_memory(depth, np.asarray(frames["Depth"])[::2])
    assert frames.image.shape == (sensor["Image"]["YRes"], sensor["Image"]["XRes"], 3)
    assert frames.image.dtype == np.uint8 and not depth.flags.writeable
    # A view shows the kit's buffer itself, without a copy; a read while any
    # view (or a plain array the package cannot check) is alive brings the
    # next frame into another buffer, so the view keeps its own frame.
    assert address(depth) == int.from_bytes(sensor["Depth"]["Buffer"], "little")
    plain = np.asarray(depth)
    kept = plain.copy()
    after = sensor.read().depth
    assert address(after) != address(plain) and not np.array_equal(after, kept)
    assert np.array_equal(plain, kept)
    del frames, depth, plain, after
    # Nothing points at those frames any more: the stream settles in one buffer.
    first = address(sensor.read().depth)
    assert address(sensor.read().depth) == first


STALE_USES = {
    "index": lambda d: d[0, 0],
    "slice": lambda d: d[1:3],
    "ufunc": lambda d: d + 1,
    "reduce": lambda d: d.max(),
    "function": lambda d: np.mean(d),
    "text": lambda d: str(d),
    "copy": lambda d: d.copy(),
    "list": lambda d: d.tolist(),
    "iterate": lambda d: next(iter(d)),
}


@pytest.mark.parametrize("use", STALE_USES.values(), ids=STALE_USES.keys())
def test_a_view_used_after_the_next_read_raises(sensor, use):
    frames = sensor.read()
    view, row = frames.depth, frames.depth[5:9]
    use(view), use(row)
    sensor.read()
    for stale in (view, row):
        with pytest.raises(ovalith.StaleFrameError):
            use(stale)
    with pytest.raises(ovalith.StaleFrameError):
        frames.depth


def test_a_copy_outlives_reads_and_close():
    with ovalith.open("*:0", streams=("Depth",)) as device:
        frames = device.read()
        kept, expected = frames.depth.copy(), np.array(frames.depth.tolist(), dtype=np.uint16)
        kept_all = frames.copy()
        view = frames.depth
        device.read()
    with pytest.raises(ovalith.StaleFrameError):
        view.sum()
    assert np.array_equal(kept, expected) and kept.frame_id == kept_all.depth.frame_id == view.frame_id
    assert kept.valid and not view.valid


def test_points_agree_with_the_depth_pixels_and_project_back(sensor):
    frames = sensor.read()
    depth = frames.depth.copy()
    # Shadow pixels are no depth, like no-sample ones: never points.
    shadow = depth == sensor["Depth"]["ShadowValue"]
    measured = (depth != sensor["Depth"]["NoSampleValue"]) & ~shadow
    assert shadow.any()
    points = frames.points()
    assert points.dtype == np.float32 and points.shape == (measured.sum(), 3)
    np.testing.assert_array_equal(points[:, 2], depth[measured])
    grid = frames.points(keep_shape=True)
    assert grid.shape == depth.shape + (3,)
    assert np.isnan(grid[~measured]).all() and np.array_equal(grid[measured], points)
    rows, columns = np.nonzero(measured)
    projected = ovalith.project(points, frames)
    np.testing.assert_allclose(projected[:, 0], columns, atol=0.01)
    np.testing.assert_allclose(projected[:, 1], rows, atol=0.01)
    # Real-world X grows to the right of the image centre.
    assert points[columns > depth.shape[1] // 2, 0].min() > 0 > points[columns < depth.shape[1] // 2 - 1, 0].max()


def test_new_frame_callback_runs_on_the_kits_thread_while_reads_wait():
    seen = []
    done = threading.Event()

    def on_new(stream):
        seen.append((stream, threading.get_ident()))
        if len(seen) >= 20:
            done.set()

    with ovalith.open("*:0", streams=("Depth",)) as device:
        device.on_new_frames(on_new)
        for _ in range(50):
            device.read()
            if done.is_set():
                break
        assert done.wait(10)
    assert {stream for stream, _ in seen} == {"Depth"}
    assert threading.get_ident() not in {thread for _, thread in seen}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_ten_thousand_reads_leak_nothing():
    with ovalith.open("*:1", streams=("Depth",)) as device:
        for _ in range(200):
            device.read().depth.sum()
        resident = resident_bytes()
        tracemalloc.start()
        before = tracemalloc.take_snapshot()
        for _ in range(10_000):
            frames = device.read()
            frames.depth[120, 160]
        after = tracemalloc.take_snapshot()
        tracemalloc.stop()
    grown = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    assert grown < 64 * 1024
    # One frame is 150 kB: a frame kept per read would be 1.5 GB.
    assert resident_bytes() - resident < 16 * 1024 * 1024
