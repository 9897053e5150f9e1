"""Saves one frame's point cloud (x, y, z in mm) with NumPy, then reads it back."""
import numpy as np

import ovalith

with ovalith.open("*:0", streams=("Depth",)) as dev:
    frames = dev.read()
    points = frames.points()                      # N x 3 float32, pixels without a sample left out

np.savetxt("cloud.xyz", points, fmt="%.1f")
np.save("cloud.npy", points)
print("saved %d points to cloud.xyz and cloud.npy" % len(points))
print("nearest point %.0f mm, farthest %.0f mm" % (points[:, 2].min(), points[:, 2].max()))
