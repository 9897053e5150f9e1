"""ovalith.dask: recordings as lazy Dask arrays.

    import ovalith.dask
    stack = ovalith.dask.read(["a.rec", "b.rec"], "depth", chunk=32)
    stack.frames            # dask array (frames, height, width), uint16
    stack.timestamps        # dask array (frames,), uint64 microseconds
    stack.frames.mean().compute()

Each chunk is a range of frames of one recording that its task reads by
opening the file and seeking to the range's first frame, so chunks run on
any worker of a dask.distributed cluster as well as in threads of one
process. A recording's frames all have one shape: a recording whose stream
changes its resolution is refused, naming the file and the frame where it
changes (read such a file in segments with first=/count=). A task that
meets a damaged frame fails with ovalith.Error naming the file and the
frame; the other recordings' tasks are not affected. See docs/python.md.
"""
import inspect

import dask
import dask.array as da
import dask.blockwise
import numpy as np
from dask.blockwise import BlockwiseDepDict
from dask.highlevelgraph import HighLevelGraph

import ovalith
from ovalith import _ovalith

__all__ = ["Frames", "Segment", "Stack", "read"]

# The kit's status for a failure with no status of its own.
_GENERIC_FAILURE = 0x10001


class Segment:
    """Frames first .. first+count-1 (counted from 1) of a recording's stream."""

    def __init__(self, path, stream, first, count, shape, dtype):
        self.path, self.stream, self.first, self.count = path, stream, first, count
        self.shape, self.dtype = tuple(shape), np.dtype(dtype)

    def __repr__(self):
        return "<ovalith.dask.Segment %s %s frames %d-%d %s>" % (
            self.path, self.stream, self.first, self.first + self.count - 1, "x".join(map(str, self.shape)))


def _failure(path, frame, error):
    status = getattr(error, "status", _GENERIC_FAILURE)
    return ovalith.Error(status, "%s: frame %d: %s" % (path, frame, error))


def _shape_at(device, name, frame):
    device.seek(frame=frame)
    array = device.read()[name]
    return array.shape, array.dtype


def _describe(path, stream, first, count):
    """The segment of a recording: its length and its frames' shape. Opening
    a file without its index scans it, once, here."""
    with ovalith.open(path) as device:
        name = device._stream_name(stream)
        total = len(device)
        count = total - first + 1 if count is None else count
        if first < 1 or count < 1 or first + count - 1 > total:
            raise IndexError("%s has frames 1 to %d, not %d to %d" % (path, total, first, first + count - 1))
        last = first + count - 1
        try:
            shape, dtype = _shape_at(device, name, first)
            end_shape, _ = _shape_at(device, name, last)
        except (ovalith.Error, EOFError) as error:
            raise _failure(path, first, error) from error
        if end_shape != shape:
            # Find the first frame of the new shape, halving the range.
            low, high = first, last
            while high - low > 1:
                middle = (low + high) // 2
                if _shape_at(device, name, middle)[0] == shape:
                    low = middle
                else:
                    high = middle
            raise ValueError("%s: %s changes from %s to %s at frame %d; read it in segments (first=, count=)"
                             % (path, name, "x".join(map(str, shape)), "x".join(map(str, _shape_at(
                                 device, name, high)[0])), high))
        return Segment(path, name, first, count, shape, dtype)


# How many chunks along the frames one combining task of a reduction takes.
_COMBINE_CHUNKS = 32


def _flat_reduction(name):
    base = getattr(da.Array, name)
    signature = inspect.signature(base)

    def reduce(self, *args, **kwargs):
        bound = signature.bind(self, *args, **kwargs)
        if bound.arguments.get("split_every") is None:
            bound.arguments["split_every"] = {0: _COMBINE_CHUNKS}
        return base(*bound.args, **bound.kwargs)

    reduce.__name__, reduce.__qualname__ = name, "Frames." + name
    reduce.__doc__ = base.__doc__
    return reduce


class Frames(da.Array):
    """The frames of a Stack: a Dask array like any other, except that a
    reduction taken straight on it (sum, mean, min, max, std, var, prod,
    any, all) combines up to 32 chunks along the frames in one task
    unless split_every says otherwise. Dask's own default, for a
    reduction over all three axes, combines chunks two at a time, in as
    many rounds as it takes, and on a cluster each round waits for the
    scheduler; a chunk's partial result is small beside its frames.
    Anything derived from it (a slice, an arithmetic result) is a plain
    dask array with Dask's defaults."""


for _name in ("sum", "mean", "min", "max", "std", "var", "prod", "any", "all"):
    setattr(Frames, _name, _flat_reduction(_name))
del _name


def _read_part(part, pixels=True):
    """Frames start .. start+count-1 of the segment (part is (segment,
    start, count)): with pixels, their (count, ...) array, each frame copied
    once, straight into it; else their timestamps. Only the segment's
    stream is opened, so the recording's other streams are passed over
    unread."""
    segment, start, count = part
    if pixels:
        shape = (count,) + segment.shape
        size = int(np.prod(shape, dtype=np.int64)) * segment.dtype.itemsize
        out = np.frombuffer(_ovalith.Block(size), dtype=segment.dtype).reshape(shape)
    else:
        out = np.empty(count, dtype=np.uint64)
    frame = start
    try:
        with ovalith.open(segment.path, streams=(segment.stream,)) as device:
            device.seek(frame=start)
            core = device._core
            for i in range(count):
                frame = start + i
                if not core.read():
                    raise EOFError("end of " + segment.path)
                if pixels:
                    core.frame_into(segment.stream, out[i])
                else:
                    out[i] = core.frame(segment.stream)[1]
    except (ovalith.Error, EOFError, ValueError, IndexError) as error:
        raise _failure(segment.path, frame, error) from error
    return out


def _read_timestamps(part):
    return _read_part(part, pixels=False)


def _layered(function, name, parts, ndim, chunks):
    """A dask array whose block i is function(parts[i]), as one blockwise
    layer without inputs: the reduction or map_blocks that follows fuses
    with it into one task per chunk."""
    rest = (0,) * (ndim - 1)
    dep = BlockwiseDepDict({(i,) + rest: part for i, part in enumerate(parts)},
                           numblocks=(len(parts),) + (1,) * (ndim - 1))
    indices = tuple(range(ndim))
    layer = dask.blockwise.blockwise(function, name, indices, dep, indices, numblocks={})
    graph = HighLevelGraph.from_collections(name, layer, dependencies=())
    return graph, name, chunks


class Stack:
    """Frames of one stream of several recordings, stacked: .frames
    (frames, ...) and .timestamps (frames,), both lazy, chunked alike;
    .segments the recordings' parts in order."""

    def __init__(self, segments, chunk):
        self.segments = segments
        parts = []
        for segment in segments:
            for start in range(segment.first, segment.first + segment.count, chunk):
                parts.append((segment, start, min(chunk, segment.first + segment.count - start)))
        counts = tuple(count for _, _, count in parts)
        self._parts = parts
        described = [(s.path, s.stream, s.first, s.count, s.shape, str(s.dtype)) for s in segments]
        self._token = token = dask.base.tokenize(described, chunk)
        shape, dtype = segments[0].shape, segments[0].dtype
        ndim = 1 + len(shape)
        self.frames = Frames(*_layered(_read_part, "ovalith-frames-" + token, parts, ndim,
                                       (counts,) + tuple((n,) for n in shape)), meta=np.empty((0,) * ndim, dtype))
        self.timestamps = da.Array(*_layered(_read_timestamps, "ovalith-timestamps-" + token, parts, 1, (counts,)),
                                   meta=np.empty(0, np.uint64))

    def points(self):
        """The depth frames' real-world points as a lazy (frames, height,
        width, 3) float32 array, NaN where a pixel holds no depth (its
        stream's no-sample or shadow value), chunked as the frames; each
        recording's own calibration converts its frames. Each task reads
        its frames once, from the recording, and converts them there."""
        ndim = self.frames.ndim + 1
        return da.Array(*_layered(_read_points, "ovalith-points-" + self._token, self._parts, ndim,
                                  self.frames.chunks + ((3,),)), meta=np.empty((0,) * ndim, np.float32))


def _read_points(part):
    segment, start, count = part
    out = np.empty((count,) + segment.shape + (3,), dtype=np.float32)
    frame = start
    try:
        with ovalith.open(segment.path, streams=(segment.stream,)) as device:
            device.seek(frame=start)
            for i in range(count):
                frame = start + i
                out[i] = device.read().points(keep_shape=True)
    except (ovalith.Error, EOFError, ValueError) as error:
        raise _failure(segment.path, frame, error) from error
    return out


def read(paths, stream="depth", chunk=32, first=1, count=None):
    """The frames of one stream (a name or type, in either case) of a
    recording or a list of them, as a Stack of lazy Dask arrays whose
    chunks are ranges of at most chunk frames. first/count pick a segment
    (frames counted from 1) of every recording. All recordings must have
    frames of one shape."""
    if isinstance(paths, (str, bytes)) or hasattr(paths, "__fspath__"):
        paths = [paths]
    chunk = ovalith._integer(chunk, "chunk")
    if chunk < 1:
        raise ValueError("chunk is at least 1 frame, not %d" % chunk)
    segments = [_describe(str(path), stream, first, count) for path in paths]
    if not segments:
        raise ValueError("read takes at least one recording")
    for segment in segments[1:]:
        if (segment.shape, segment.dtype) != (segments[0].shape, segments[0].dtype):
            raise ValueError("%s holds %s frames of %s, %s holds %s" % (
                segment.path, segment.dtype, "x".join(map(str, segment.shape)), segments[0].path,
                "x".join(map(str, segments[0].shape))))
    return Stack(segments, chunk)
