# ovalith.dask on a LocalCluster of 2 worker processes on the loopback.
import shutil

import dask
import dask.array as da
import numpy as np
import pytest

import ovalith

distributed = pytest.importorskip("distributed")
import ovalith.dask  # noqa: E402


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dask")
    paths, frames = [], []
    for index in range(3):
        path = folder / ("walk%d.rec" % index)
        with ovalith.open("*:1", streams="depth") as device:
            with device.record(path):
                frames += [device.read().depth.copy() for _ in range(10 + index)]
        paths.append(str(path))
    return folder, paths, np.stack(frames)


@pytest.fixture(scope="module")
def client(recordings):
    folder = recordings[0]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, local_directory=str(folder)) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def test_a_statistic_over_recordings_equals_numpys(client, recordings):
    _, paths, frames = recordings
    stack = ovalith.dask.read(paths, "depth", chunk=4)
    assert stack.frames.shape == frames.shape and stack.frames.numblocks[0] == 3 + 3 + 3
    total, peak = client.compute([stack.frames.sum(axis=0, dtype=np.int64), stack.frames.max()], sync=True)
    assert np.array_equal(total, frames.sum(axis=0, dtype=np.int64)) and peak == frames.max()
    assert np.array_equal(stack.frames[7:13].compute(), frames[7:13])
    stamps = stack.timestamps.compute()
    assert stamps.shape == (len(frames),) and (np.diff(stamps[:10].astype(np.int64)) > 0).all()


def _tasks(array):
    return len(dict(dask.optimize(array)[0].__dask_graph__()))


def test_a_reduction_on_the_frames_combines_its_chunks_in_few_rounds(recordings):
    _, paths, frames = recordings
    stack = ovalith.dask.read(paths, "depth", chunk=1)
    assert stack.frames.numblocks[0] == len(frames) == 33
    plain = da.Array(stack.frames.dask, stack.frames.name, stack.frames.chunks, meta=stack.frames._meta)
    # Dask's own tree pairs the 33 chunks in rounds; the frames take them
    # 32 at a time, in two rounds, with the same result.
    assert _tasks(stack.frames.mean()) < _tasks(plain.mean()) - 10
    for reduced, expected in ((stack.frames.mean(), frames.mean()), (stack.frames.std(axis=0), frames.std(axis=0)),
                              (stack.frames.max(axis=(1, 2)), frames.max(axis=(1, 2)))):
        assert np.allclose(reduced.compute(scheduler="synchronous"), expected)
    # A split_every given, by name or in its place, is the caller's.
    assert _tasks(stack.frames.sum(split_every=2)) == _tasks(plain.sum(split_every=2))
    assert _tasks(stack.frames.sum(None, None, False, 2)) == _tasks(plain.sum(split_every=2))
    # What is derived from the frames is a plain array again.
    assert type(stack.frames[2:]) is da.Array and type(stack.frames + 1) is da.Array


def test_a_damaged_recording_fails_only_its_own_tasks(client, recordings, tmp_path):
    _, paths, frames = recordings
    damaged = tmp_path / "damaged.rec"
    data = bytearray(open(paths[2], "rb").read())
    middle = len(data) // 2
    data[middle:middle + 4096] = b"\xff" * 4096
    damaged.write_bytes(bytes(data))
    stacks = [ovalith.dask.read(path, "depth", chunk=4) for path in (paths[0], str(damaged))]
    futures = client.compute([stack.frames.sum(dtype=np.int64) for stack in stacks])
    assert futures[0].result(timeout=120) == frames[:10].sum(dtype=np.int64)
    with pytest.raises(ovalith.Error, match="damaged.rec: frame"):
        futures[1].result(timeout=120)


def _die_once(block, marker):
    # The first task to get here kills its worker process (never called on a
    # sample block in the test process: the test gives meta).
    if block.size == 0:
        return block
    import os
    try:
        os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
    except FileExistsError:
        return block
    os._exit(1)


def test_a_killed_workers_tasks_are_retried_and_the_result_stays_exact(client, recordings, tmp_path):
    _, paths, frames = recordings
    stack = ovalith.dask.read(paths, "depth", chunk=4)
    marker = str(tmp_path / "killed")
    total = stack.frames.map_blocks(_die_once, marker, meta=np.empty((0, 0, 0), np.uint16)).sum(dtype=np.int64)
    assert client.compute(total).result(timeout=180) == frames.sum(dtype=np.int64)
    assert (tmp_path / "killed").exists()


def test_one_stream_of_a_recording_of_several_reads_alike_in_every_chunk(tmp_path):
    path = tmp_path / "pair.rec"
    with ovalith.open("*:1", streams=("depth", "image")) as device, device.record(path):
        for _ in range(12):
            device.read()
    with ovalith.open(path) as whole:
        depths, images = zip(*[(f.depth.copy(), f.image.copy()) for f in whole])
    depth = ovalith.dask.read(str(path), "depth", chunk=5).frames
    image = ovalith.dask.read(str(path), "Image", chunk=5).frames
    assert image.shape == (12,) + images[0].shape and depth.numblocks[0] == 3
    # Chunks read one after another and held side by side keep their own
    # frames, also when others were let go of in between.
    held = {}
    for order in ([0, 1, 2], [2, 0], [1, 2, 0]):
        for index in order:
            held[index] = depth.blocks[index].compute(scheduler="synchronous")
        del held[order[0]]
        for index, block in held.items():
            assert np.array_equal(block, np.stack(depths[5 * index:5 * index + 5])), (order, index)
    assert np.array_equal(image.compute(scheduler="synchronous"), np.stack(images))


def test_points_follow_each_recordings_own_calibration(client, tmp_path):
    # One recording of depth in the depth camera's view, one registered to
    # the colour camera's: the same pixels, other points.
    paths, expected = [], []
    for registration in (0, 1):
        path = tmp_path / ("reg%d.rec" % registration)
        with ovalith.open("*:1", streams="depth", settings={"Depth": {"Registration": registration}}) as device:
            with device.record(path):
                for _ in range(5):
                    device.read()
        with ovalith.open(path) as played:
            expected += [f.points(keep_shape=True).copy() for f in played]
        paths.append(str(path))
    stack = ovalith.dask.read(paths, "depth", chunk=2)
    cloud = stack.points()
    assert cloud.shape == stack.frames.shape + (3,) and cloud.chunks[0] == stack.frames.chunks[0]
    got = client.compute(cloud, sync=True)
    expected = np.stack(expected)
    assert np.array_equal(got, expected, equal_nan=True)
    assert not np.array_equal(expected[0], expected[5], equal_nan=True), "the calibrations did not differ"
    # A slice of it reads only what it needs and is the same.
    assert np.array_equal(cloud[3:7].compute(scheduler="synchronous"), expected[3:7], equal_nan=True)

