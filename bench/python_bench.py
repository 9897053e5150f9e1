"""Figures of the Python package, each as a ratio to a baseline measured in
the same run (see scripts/bench.sh):

- getting a frame as an array: 1280 x 1024 against 320 x 240 (no copy: ~1);
- frames.points() on a VGA depth frame against the engine's C++ whole-frame
  conversion of the same frame (the target is at most 1.2);
- a Python loop reading VGA depth and colour from the paced sensor: its frame
  interval against the 30 fps the sensor paces (1.00: it keeps up).

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


def best(statement, number):
    return min(timeit.repeat(statement, number=number, repeat=5)) / number


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

    header = ("python figure", "time", "baseline", "baseline time", "ratio")
    table = [(a, "%.3g us" % (t * 1e6), b, "%.3g us" % (u * 1e6), "%.2f" % (t / u)) for a, t, b, u in rows]
    widths = [max(len(r[i]) for r in table + [header]) for i in range(5)]
    for row in [header, tuple("-" * w for w in widths)] + table:
        print("  ".join(c.ljust(widths[i]) if i in (0, 2) else c.rjust(widths[i]) for i, c in enumerate(row)))


if __name__ == "__main__":
    main()
