"""What `ovalith export` writes, read by tools nobody here wrote: Open3D's
dataset reader and point cloud readers, PCL's converter, pngcheck and sox.

Usage: check_interchange.py OVALITH_PROGRAM
Exits 77 (skipped) when Open3D, pngcheck, sox or PCL's tools are missing.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

FRAMES = 6


def skip(why):
    print("skipped:", why)
    sys.exit(77)


try:
    import numpy as np
    import open3d as o3d
except ImportError as error:
    skip(error)
for tool in ("pngcheck", "sox", "pcl_pcd2ply"):
    if shutil.which(tool) is None:
        skip(tool + " is not installed")

program = os.path.abspath(sys.argv[1])
work = tempfile.mkdtemp(prefix="ovalith-interchange-")


def run(*arguments):
    done = subprocess.run([program, *arguments], cwd=work, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"ovalith {' '.join(arguments)} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def listed(path):
    entries = []
    with open(path) as lines:
        for line in lines:
            if line.strip() and not line.startswith("#"):
                stamp, name = line.split()
                entries.append((stamp, name))
    return entries


def ply_points(path):
    """The x, y, z of a binary PLY as ovalith writes it, read here by its header."""
    data = open(path, "rb").read()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    header = data[:end].decode()
    count = int(re.search(r"element vertex (\d+)", header).group(1))
    coloured = "property uchar red" in header
    vertex = np.dtype([("xyz", "<f4", 3)] + ([("rgb", "u1", 3)] if coloured else []))
    return np.frombuffer(data, dtype=vertex, count=count, offset=end)["xyz"]


def main():
    with open(os.path.join(work, "Tollan.ini"), "w") as ini:
        ini.write("[Tollan]\nPaced = 0\n")
    run("record", "clip.rec", "--frames", str(FRAMES), "--streams", "depth,image,ir,audio")
    run("export", "clip.rec", "tum")
    run("export", "clip.rec", "ply", "--format", "ply", "--metres")
    run("export", "clip.rec", "pcd", "--format", "pcd", "--metres")
    tum = os.path.join(work, "tum")
    camera = json.load(open(os.path.join(tum, "camera.json")))
    depth = camera["depth"]
    intrinsic = o3d.camera.PinholeCameraIntrinsic(depth["width"], depth["height"], depth["fx"], depth["fy"],
                                                  depth["cx"], depth["cy"])
    clouds = listed(os.path.join(work, "ply", "clouds.txt"))
    depths = listed(os.path.join(tum, "depth.txt"))
    associations = [line.split() for line in open(os.path.join(tum, "associations.txt"))]
    assert len(depths) == FRAMES and len(clouds) == FRAMES and len(associations) == FRAMES, (depths, clouds)
    failures = []
    for (stamp, depth_name), (cloud_stamp, cloud_name), pair in zip(depths, clouds, associations):
        assert stamp == cloud_stamp and pair[3] == depth_name, (stamp, cloud_stamp, pair)
        # Open3D's reader of the layout (5000 units per metre, points up to 4 m).
        colour = o3d.io.read_image(os.path.join(tum, pair[1]))
        rgbd = o3d.geometry.RGBDImage.create_from_tum_format(colour, o3d.io.read_image(os.path.join(tum, depth_name)),
                                                             False)
        theirs = np.asarray(o3d.geometry.PointCloud.create_from_rgbd_image(rgbd, intrinsic).points)
        ours = ply_points(os.path.join(work, "ply", cloud_name)).astype(np.float64)
        ours = ours[np.round(ours[:, 2] * 1000) <= 4000]
        if theirs.shape != ours.shape:
            failures.append(f"{depth_name}: Open3D made {theirs.shape[0]} points, the cloud holds {ours.shape[0]}")
            continue
        worst = np.abs(theirs - ours).max() * 1000  # mm
        if worst > 0.01:
            failures.append(f"{depth_name}: points differ by up to {worst:.4f} mm")
    # Open3D reads every PLY and PCD with every point, the same points in both.
    for stamp, name in clouds:
        ply = o3d.io.read_point_cloud(os.path.join(work, "ply", name))
        pcd = o3d.io.read_point_cloud(os.path.join(work, "pcd", name.replace(".ply", ".pcd")))
        expected = ply_points(os.path.join(work, "ply", name))
        if len(ply.points) != len(expected) or len(pcd.points) != len(expected):
            failures.append(f"{name}: Open3D read {len(ply.points)} and {len(pcd.points)} points of {len(expected)}")
        elif np.abs(np.asarray(pcd.points) - np.asarray(ply.points)).max() > 0:
            failures.append(f"{name}: the PCD's points are not the PLY's")
    # PCL loads every PCD with the count its header gives.
    for stamp, name in listed(os.path.join(work, "pcd", "clouds.txt")):
        path = os.path.join(work, "pcd", name)
        count = int(re.search(rb"\nPOINTS (\d+)\n", open(path, "rb").read(400)).group(1))
        done = subprocess.run(["pcl_pcd2ply", path, os.path.join(work, "pcl.ply")], capture_output=True, text=True)
        loaded = re.search(r"Loading .*: (\d+) points", done.stdout)
        if done.returncode != 0 or loaded is None or int(loaded.group(1)) != count:
            failures.append(f"PCL did not load {name} with {count} points: {done.stdout}{done.stderr}")
    # pngcheck passes every picture.
    pictures = [os.path.join(tum, folder, name) for folder in ("depth", "rgb", "ir")
                for name in sorted(os.listdir(os.path.join(tum, folder)))]
    assert len(pictures) == 3 * FRAMES
    checked = subprocess.run(["pngcheck", "-q", *pictures], capture_output=True, text=True)
    if checked.returncode != 0:
        failures.append("pngcheck: " + checked.stdout + checked.stderr)
    # sox reads the sound with the sensor's rate and channels and every sample of every audio frame.
    info = {flag: subprocess.run(["sox", "--i", flag, os.path.join(tum, "audio.wav")], capture_output=True,
                                 text=True).stdout.strip() for flag in ("-r", "-c", "-s")}
    rate = int(re.search(r"SampleRate = (\d+)", run("info", "--file", "clip.rec")).group(1))
    channels = int(re.search(r"NumOfChannels = (\d+)", run("info", "--file", "clip.rec")).group(1))
    frame_bytes = int(re.search(r"\[Audio\][^\[]*RequiredDataSize = (\d+)", run("info", "--file", "clip.rec")).group(1))
    expected = {"-r": str(rate), "-c": str(channels), "-s": str(FRAMES * frame_bytes // (2 * channels))}
    if info != expected:
        failures.append(f"sox read {info}, expected {expected}")
    if failures:
        sys.exit("\n".join(failures))
    print(f"interchange checked: {FRAMES} frames through Open3D, PCL, pngcheck and sox")


try:
    main()
finally:
    shutil.rmtree(work, ignore_errors=True)
