"""The tool's camera parameters, point clouds and aligned pictures, checked with OpenCV and Open3D.

Every expectation comes from those libraries' own models, fed only with what `ovalith info` prints and the files
`ovalith snapshot` and `ovalith cloud` write.
"""
import os
import re
import subprocess

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
o3d = pytest.importorskip("open3d")

TOOL = os.environ.get("OVALITH_TOOL", "ovalith")
SHADOW = 1  # "ShadowValue" of the simulated sensor: no measurement, like 0


def run(kit, *args):
    done = subprocess.run([TOOL, "--kit-dir", str(kit), *args], cwd=kit, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def kit(tmp_path, name, sensor_keys):
    folder = tmp_path / name
    folder.mkdir()
    (folder / "Tollan.ini").write_text("[Tollan]\nPaced=0\n[SensorV2.0]\n" + "".join(k + "\n" for k in sensor_keys))
    return folder


def cameras(info):
    """Intrinsics by stream, and (R, t) by stream, from the "cameras" block of `ovalith info`."""
    number = r"(-?[0-9.e+-]+)"
    intrinsics, extrinsics = {}, {}
    for m in re.finditer(r"^  (\w+)\s+(\d+)x(\d+)  fx %s  fy %s  cx %s  cy %s  distortion (\w+)$"
                         % (number, number, number, number), info, re.M):
        intrinsics[m.group(1)] = dict(width=int(m.group(2)), height=int(m.group(3)), fx=float(m.group(4)),
                                      fy=float(m.group(5)), cx=float(m.group(6)), cy=float(m.group(7)),
                                      distortion=m.group(8))
    for m in re.finditer(r"^  (\w+) to Image  rotation \[([^\]]*)\]  translation \[([^\]]*)\] mm$", info, re.M):
        r = np.array([float(x) for x in m.group(2).replace(";", " ").split()]).reshape(3, 3)
        t = np.array([float(x) for x in m.group(3).split()])
        extrinsics[m.group(1)] = (r, t)
    return intrinsics, extrinsics


def k_matrix(c):
    return np.array([[c["fx"], 0, c["cx"]], [0, c["fy"], c["cy"]], [0, 0, 1]], dtype=np.float64)


def read_ply(path):
    data = path.read_bytes()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    header = data[:end].decode()
    count = int(re.search(r"element vertex (\d+)", header).group(1))
    types = {"float": "<f4", "uchar": "u1", "int": "<i4"}
    fields = [(name, types[kind]) for kind, name in re.findall(r"property (\w+) (\w+)", header)]
    return np.frombuffer(data[end:], dtype=np.dtype(fields), count=count)


def read_depth(path):
    depth = cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
    assert depth.dtype == np.uint16
    return depth


def read_rgb(path):
    return cv2.cvtColor(cv2.imread(str(path), cv2.IMREAD_COLOR), cv2.COLOR_BGR2RGB)


def test_opencv_projects_our_points_onto_the_pixels_the_alignment_chose(tmp_path):
    # Depth 320x240 beside a 1280x1024 colour camera: no pixel of one is a pixel of the other.
    folder = kit(tmp_path, "pair", ["Depth.Resolution=0", "Depth.FPS=15", "Image.Resolution=2", "Image.FPS=15"])
    intrinsics, extrinsics = cameras(run(folder, "info"))
    assert intrinsics["Image"]["width"] == 1280 and intrinsics["Depth"]["width"] == 320
    assert intrinsics["Depth"]["distortion"] == "none"
    run(folder, "cloud", "--out", "c.ply", "--image-pixels")
    run(folder, "snapshot", "--image", "i.png", "--depth16", "d.png")
    cloud, image, depth = read_ply(folder / "c.ply"), read_rgb(folder / "i.png"), read_depth(folder / "d.png")
    # Shadow and no-sample pixels are no points.
    assert len(cloud) == np.count_nonzero((depth != 0) & (depth != SHADOW))

    r, t = extrinsics["Depth"]
    points = np.stack([cloud["x"], cloud["y"], cloud["z"]], axis=1).astype(np.float64)
    projected, _ = cv2.projectPoints(points, cv2.Rodrigues(r)[0], t, k_matrix(intrinsics["Image"]), None)
    projected = projected.reshape(-1, 2)
    seen = cloud["image_x"] >= 0
    assert np.count_nonzero(seen) > 0.99 * len(cloud)
    du = np.abs(projected[seen, 0] - cloud["image_x"][seen])
    dv = np.abs(projected[seen, 1] - cloud["image_y"][seen])
    assert du.max() <= 0.5 + 1e-3 and dv.max() <= 0.5 + 1e-3
    # Each point carries the colour of the pixel it was put on.
    colours = np.stack([cloud["red"], cloud["green"], cloud["blue"]], axis=1)[seen]
    assert np.array_equal(colours, image[cloud["image_y"][seen], cloud["image_x"][seen]])


def test_open3d_makes_our_points_from_our_intrinsics(tmp_path):
    folder = kit(tmp_path, "raw", [])
    intrinsics, _ = cameras(run(folder, "info"))
    run(folder, "cloud", "--out", "c.ply")
    run(folder, "snapshot", "--depth16", "d.png")
    cloud, depth = read_ply(folder / "c.ply"), read_depth(folder / "d.png")
    depth[depth == SHADOW] = 0  # the one rule: a shadow is no sample
    c = intrinsics["Depth"]
    k = o3d.camera.PinholeCameraIntrinsic(c["width"], c["height"], c["fx"], c["fy"], c["cx"], c["cy"])
    theirs = np.asarray(o3d.geometry.PointCloud.create_from_depth_image(
        o3d.geometry.Image(depth), k, depth_scale=1.0, depth_trunc=1e9).points)
    ours = np.stack([cloud["x"], cloud["y"], cloud["z"]], axis=1).astype(np.float64)
    assert theirs.shape == ours.shape
    assert np.abs(theirs - ours).max() < 0.01


def test_open3d_colours_our_aligned_pair_as_we_do(tmp_path):
    # The sensor registers (the engine's alignment to the bit): depth and image share the colour camera's grid.
    folder = kit(tmp_path, "registered", ["Depth.Registration=1"])
    intrinsics, extrinsics = cameras(run(folder, "info"))
    r, t = extrinsics["Depth"]
    assert np.allclose(r, np.eye(3)) and np.allclose(t, 0)
    assert intrinsics["Depth"]["fx"] == pytest.approx(intrinsics["Image"]["fx"])
    run(folder, "cloud", "--out", "c.ply")
    run(folder, "snapshot", "--depth16", "d.png", "--image", "i.png")
    cloud, depth, image = read_ply(folder / "c.ply"), read_depth(folder / "d.png"), read_rgb(folder / "i.png")
    assert not np.any(depth == SHADOW)
    c = intrinsics["Depth"]
    k = o3d.camera.PinholeCameraIntrinsic(c["width"], c["height"], c["fx"], c["fy"], c["cx"], c["cy"])
    rgbd = o3d.geometry.RGBDImage.create_from_color_and_depth(
        o3d.geometry.Image(np.ascontiguousarray(image)), o3d.geometry.Image(depth), depth_scale=1.0, depth_trunc=1e9,
        convert_rgb_to_intensity=False)
    theirs = o3d.geometry.PointCloud.create_from_rgbd_image(rgbd, k)
    points = np.stack([cloud["x"], cloud["y"], cloud["z"]], axis=1).astype(np.float64)
    colours = np.stack([cloud["red"], cloud["green"], cloud["blue"]], axis=1)
    assert np.asarray(theirs.points).shape == points.shape
    assert np.abs(np.asarray(theirs.points) - points).max() < 0.01
    assert np.array_equal(np.rint(np.asarray(theirs.colors) * 255).astype(np.uint8), colours)
