"""Saves one frame's coloured point cloud (x, y, z in mm; r, g, b) with NumPy,
then the same frame's depth through a filter chain."""
import numpy as np

import ovalith

with ovalith.open("*:0", streams=("Depth", "Image")) as dev:
    frames = dev.read()
    # N x 3 float32 and N x 3 uint8: pixels without depth (no sample, shadow) left out.
    points, colours = frames.points(colors=True)
    camera = dev.intrinsics("depth")
    filtered, small = frames.depth_filtered(ovalith.filters.Chain("decimate=2,spatial,holes=nearest"))

np.savetxt("cloud.xyz", np.hstack([points, colours]), fmt="%.1f %.1f %.1f %d %d %d")
np.save("cloud.npy", points)
print("saved %d points to cloud.xyz and cloud.npy" % len(points))
print("nearest point %.0f mm, farthest %.0f mm" % (points[:, 2].min(), points[:, 2].max()))
print("depth camera: fx %.1f, cx %.1f, cy %.1f at %dx%d" % (camera.fx, camera.cx, camera.cy, camera.width,
                                                            camera.height))
print("filtered depth %dx%d, fx %.1f" % (filtered.shape[1], filtered.shape[0], small.fx))
