"""Prints the depth at the centre of the picture for a few frames."""
import ovalith

with ovalith.open("*:0", streams=("Depth",)) as dev:
    for count, frames in enumerate(dev):
        depth = frames.depth                      # H x W uint16, a view on the engine's buffer
        height, width = depth.shape
        print("frame %d: %d mm at the centre" % (depth.frame_id, depth[height // 2, width // 2]))
        if count == 9:
            break
