"""Figures of the Python package, each as a ratio to a baseline measured in
the same run (see scripts/bench.sh):

- getting a frame as an array: 1280 x 1024 against 320 x 240 (one copy of
  the frame, into memory no later read writes to);
- frames.points() on a VGA depth frame against the engine's C++ whole-frame
  conversion of the same frame (the target is at most 1.2);
- a Python loop reading VGA depth and colour from the paced sensor: its frame
  interval against the 30 fps the sensor paces (1.00: it keeps up);
- ovalith.dask.read(...).mean() over a VGA depth recording: 2 worker
  processes against 1 (goal: at most 1/1.7), and 1 worker against a plain
  Python loop over dev.read() with .copy() (goal: at most 1.1);
- Python playback of a raw VGA depth+colour recording (every frame's depth
  and colour as arrays) against the C++ reader (`ovalith play`) of the same
  file, per frame (goal: at most 1.25).

Usage: python3 bench/python_bench.py [BUILD_DIR]   (needs BUILD_DIR/python)
"""
import os
import subprocess
import sys
import tempfile
import timeit

build = sys.argv[1] if len(sys.argv) > 1 else "build-release"
sys.path.insert(0, os.path.join(build, "python"))

PACED_LOOP = """
import sys, time
sys.path.insert(0, sys.argv[1])
import ovalith
ovalith.init(sys.argv[2])
with ovalith.open("*:0", streams=("Depth", "Image")) as dev:
    for _ in range(10):
        dev.read()
    start, frames = time.perf_counter(), 90
    for _ in range(frames):
        f = dev.read()
        f.depth[240, 320], f.image[240, 320]
    print((time.perf_counter() - start) / frames)
"""


def _warm_worker(path):
    import ovalith.dask  # noqa: F401 (imported for its start-up cost)
    with ovalith.open(path, streams=("depth",)) as rec:
        rec.read()


def best(statement, number):
    return min(timeit.repeat(statement, number=number, repeat=5)) / number


def recording_rows(ovalith, work, frames=int(os.environ.get("OVALITH_BENCH_FRAMES", "600"))):
    import time

    import numpy as np
    import distributed

    import ovalith.dask
    path = os.path.join(work, "vga.rec")
    with ovalith.open("*:0", streams=("Depth", "Image")) as dev:
        with dev.record(path):
            for _ in range(frames):
                dev.read()

    def loop():
        start = time.perf_counter()
        with ovalith.open(path) as rec:
            total = sum(float(f.depth.copy().mean()) for f in rec)
        return time.perf_counter() - start, total

    def on_cluster(workers):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            # Every worker started, with the package imported and the file
            # opened once, so the figure is the steady work, not start-up.
            client.run(_warm_worker, path)
            client.compute(ovalith.dask.read(path, "depth", chunk=32).frames[:32].mean()).result()
            # The best of three, each under a name of its own so that no
            # chunk of an earlier run is still held by a worker.
            times = []
            for run in range(3):
                alias = os.path.join(work, "run%d-%d.rec" % (workers, run))
                os.symlink(path, alias)
                mean = ovalith.dask.read(alias, "depth", chunk=32).frames.mean()
                start = time.perf_counter()
                client.compute(mean).result()
                times.append(time.perf_counter() - start)
            return min(times)

    def playback():
        # Every frame of both streams as arrays, as a player touches them.
        start, count = time.perf_counter(), 0
        with ovalith.open(path) as rec:
            for f in rec:
                f.depth[0, 0], f.image[0, 0]
                count += 1
        return time.perf_counter() - start

    plain = min(loop()[0] for _ in range(3))
    played = playback()
    one, two = on_cluster(1), on_cluster(2)
    start = time.perf_counter()
    subprocess.run([os.path.join(build, "bin", "ovalith"), "play", path], capture_output=True, check=True)
    cpp = time.perf_counter() - start
    return [("dask mean, 2 workers", two / frames, "same, 1 worker", one / frames),
            ("dask mean, 1 worker", one / frames, "Python loop, read + copy", plain / frames),
            ("Python playback per frame", played / frames, "C++ reader (ovalith play)", cpp / frames)]


def main():
    import ovalith
    work = tempfile.mkdtemp(prefix="ovalith-bench-")
    unpaced = os.path.join(work, "unpaced.ini")
    paced = os.path.join(work, "paced.ini")
    with open(unpaced, "w") as f:
        f.write("[Tollan]\nPaced=0\n")
    with open(paced, "w") as f:
        f.write("[Tollan]\nPaced=1\n")
    ovalith.init(unpaced)
    rows = []

    def array_time(resolution, fps):
        with ovalith.open("*:0", streams=("Image",), settings={"Image": {"Resolution": resolution, "FPS": fps}}) as dev:
            dev.read()
            generation = dev._core.generation
            return best(lambda: ovalith.Frames(dev, generation).image, 20000)

    small, large = array_time(0, 30), array_time(2, 15)
    rows.append(("frames.image as array, 1280x1024", large, "same at 320x240", small))

    with ovalith.open("*:0", streams=("Depth",)) as dev:
        frames = dev.read()
        python = best(frames.points, 50)
        cpp = dev._core._time_conversions(250) / 250
    rows.append(("frames.points(), VGA", python, "C++ ConvertToRealWorld, VGA", cpp))

    loop = subprocess.run([sys.executable, "-c", PACED_LOOP, os.path.join(build, "python"), paced],
                          capture_output=True, text=True, check=True)
    rows.append(("Python loop, VGA depth+image, paced", float(loop.stdout), "30 fps frame interval", 1 / 30))

    rows.extend(recording_rows(ovalith, work))

    header = ("python figure", "time", "baseline", "baseline time", "ratio")
    table = [(a, "%.3g us" % (t * 1e6), b, "%.3g us" % (u * 1e6), "%.2f" % (t / u)) for a, t, b, u in rows]
    widths = [max(len(r[i]) for r in table + [header]) for i in range(5)]
    for row in [header, tuple("-" * w for w in widths)] + table:
        print("  ".join(c.ljust(widths[i]) if i in (0, 2) else c.rjust(widths[i]) for i, c in enumerate(row)))


if __name__ == "__main__":
    main()
