"""ovalith.filters: the engine's depth filter chain on NumPy arrays.

    chain = ovalith.filters.Chain("decimate=2,spatial,temporal,holes=nearest")
    depth, k = chain.apply(frames.depth, no_sample=0, shadow=1, intrinsics=dev.intrinsics("depth"))
    depth, k = frames.depth_filtered(chain)      # the same, values from the device

Filters (in the order given): decimate=K (2, 3, 4: the median of each K x K
block's measured depths; the frame and its camera shrink by K),
spatial[=ALPHA[:DELTA[:ITERATIONS]]] (edge-preserving smoothing, never across
a step larger than DELTA mm), temporal[=ALPHA[:DELTA[:PERSISTENCE]]] (each
pixel toward its own history; the chain keeps it: reset() after a seek or a
jump), holes[=left|nearest|farthest] (hole filling), flying[=DELTA] (removes
pixels floating between an edge and what lies behind it). No-sample and
shadow pixels are never taken for depth. See docs/depth-filters.md.
"""
import numpy as np

from . import _ovalith

__all__ = ["Chain"]


class Chain:
    """A chain of depth filters from its text ("decimate=2,spatial"); text
    the engine's parser does not take raises ValueError with its message.
    A chain keeps the temporal filter's history: use one chain per stream.
    Calls on one chain from several threads take turns."""

    def __init__(self, text):
        if not isinstance(text, str):
            raise TypeError("a filter chain is a text such as 'decimate=2,spatial', not %s" % type(text).__name__)
        self._chain = _ovalith.FilterChain(text)
        self.text = text

    def apply(self, depth, no_sample=0, shadow=1, intrinsics=None):
        """(filtered, intrinsics): depth (an H x W uint16 array in mm) through
        every filter, as a new array, with the Intrinsics of its grid
        (intrinsics given: an ovalith.Intrinsics, or None for None back).
        no_sample and shadow: the values that are not depth ("NoSampleValue"
        and "ShadowValue" of the stream)."""
        from . import FrameArray, Intrinsics
        if isinstance(depth, FrameArray):
            depth._check()
            depth = depth.view(np.ndarray)
        depth = np.asarray(depth)
        if depth.dtype != np.uint16 or depth.ndim != 2:
            raise TypeError("a filter chain takes an H x W uint16 depth array, not %s %s"
                            % (" x ".join(map(str, depth.shape)) or "a scalar", depth.dtype))
        values = []
        for name, value in (("no_sample", no_sample), ("shadow", shadow)):
            if isinstance(value, (bool, np.bool_)) or not hasattr(type(value), "__index__"):
                raise TypeError("%s takes an integer, not %s" % (name, type(value).__name__))
            if not 0 <= int(value) <= 0xFFFF:
                raise ValueError("%s is a depth value from 0 to 65535, not %d" % (name, int(value)))
            values.append(int(value))
        if intrinsics is not None and not isinstance(intrinsics, Intrinsics):
            raise TypeError("intrinsics is an ovalith.Intrinsics or None, not %s" % type(intrinsics).__name__)
        camera = (intrinsics.fx, intrinsics.fy, intrinsics.cx, intrinsics.cy) if intrinsics else (0.0,) * 4
        result, fx, fy, cx, cy = self._chain.apply(np.ascontiguousarray(depth), values[0], values[1], *camera)
        if intrinsics is None:
            return result, None
        return result, Intrinsics(result.shape[1], result.shape[0], fx, fy, cx, cy, intrinsics.distortion)

    def reset(self):
        """Forgets the history (the temporal filter's): after a seek or a mode change."""
        self._chain.reset()

    def __repr__(self):
        return "<ovalith.filters.Chain %s>" % self._chain.describe()
