#!/usr/bin/env python3
"""Writes a recording of a 320x240 depth stream whose two depth-codec frames are decoder bombs.

    make_bomb.py corpus/recording/depth-bomb.rec          # the stream gives XRes, YRes and BytesPerPixel
    make_bomb.py corpus/recording/depth-bomb-format.rec format   # XRes, YRes and OutputFormat 1 (depth values)

Frame 1 declares 256 MiB (the format's largest frame) in 4,097 stored bytes, with an alphabet of 65,536 and as many
escapes as pixels; frame 2 keeps to the stream's 153,600 bytes but ranks with an alphabet of 65,536. Both carry
valid CRCs, so only the size and header checks can refuse them. No index: the reader finds the frames by scanning.
"""
import struct
import sys
import zlib


def chunk(kind, payload):
    head = kind + struct.pack('<II', len(payload), zlib.crc32(payload))
    return head + struct.pack('<I', zlib.crc32(head)) + payload


def text(value):
    return struct.pack('<H', len(value)) + value.encode()


def integer(module, name, value):
    return text(module) + text(name) + struct.pack('<IQ', 0, value)


def depth_frame(frame_id, size, alphabet, escapes):
    pixels = size // 2
    planes = 2 * alphabet + pixels + 2 * escapes
    # A Zstandard frame header (single segment, 8-byte content size) claiming the planes, then filler.
    zstd = struct.pack('<IB', 0xFD2FB528, 0xE0) + struct.pack('<Q', planes)
    stored = struct.pack('<BBHIII', 1, 1, 320, pixels, alphabet, escapes) + zstd
    stored += b'\0' * (max(4097, size // 65536 + 1) - len(stored))
    header = struct.pack('<IIQII', 0, frame_id, frame_id * 33333, size, 2)
    return chunk(b'FRAM', header + stored)


head = b'OVLREC\r\n' + struct.pack('<II', 2, 0)
out = head + struct.pack('<I', zlib.crc32(head))
out += chunk(b'DEVP', struct.pack('<I', 0))
by_format = len(sys.argv) > 2 and sys.argv[2] == 'format'
props = [integer('Depth', 'XRes', 320), integer('Depth', 'YRes', 240),
         integer('Depth', 'OutputFormat', 1) if by_format else integer('Depth', 'BytesPerPixel', 2)]
out += chunk(b'STRD', struct.pack('<I', 0) + text('Depth') + text('Depth') + struct.pack('<I', 2) +
             struct.pack('<I', len(props)) + b''.join(props))
out += depth_frame(1, 256 << 20, 65536, 128 << 20)
out += depth_frame(2, 320 * 240 * 2, 65536, 0)
open(sys.argv[1], 'wb').write(out)
