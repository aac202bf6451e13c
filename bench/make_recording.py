#!/usr/bin/env python3
"""Writes recording-shaped files for the benchmark.

Usage: make_recording.py SIZE PATH...

Every PATH gets the same SIZE bytes: a file-type box with major brand "3gp6", a
"mdat" box of pseudo-random bytes that fills the file, and a "moov" box with one
audio track down to an "mp4a" sample entry whose "esds" the tool accepts. The media
data is written out in full, never as holes, so a copy has to move every byte.
"""

import os
import struct
import sys

FILL_BLOCK = 1 << 20


def box(kind, payload=b""):
    return struct.pack(">I", len(payload) + 8) + kind + payload


def esds_payload(average):
    config = bytes([0x40, 0x15, 0x00, 0x18, 0x00]) + struct.pack(">II", 96000, average)
    config += bytes([0x05, 0x02, 0x12, 0x10])
    es = bytes([0x00, 0x01, 0x00, 0x04, len(config)]) + config + bytes([0x06, 0x01, 0x02])
    return struct.pack(">I", 0) + bytes([0x03, len(es)]) + es


def movie_box():
    entry_fields = bytes(7) + b"\x01" + bytes(8) + bytes([0, 2, 0, 16, 0, 0, 0, 0])
    entry_fields += struct.pack(">I", 44100 << 16)
    mp4a = box(b"mp4a", entry_fields + box(b"esds", esds_payload(128564)))
    stsd = box(b"stsd", struct.pack(">II", 0, 1) + mp4a)
    media = box(b"mdia", box(b"mdhd", bytes(24)) + box(b"minf", box(b"stbl", stsd)))
    return box(b"moov", box(b"mvhd", bytes(100)) + box(b"trak", media))


def write_recording(path, size, fill):
    head = box(b"ftyp", b"3gp6" + struct.pack(">I", 0x200) + b"isom3gp6")
    tail = movie_box()
    media_length = size - len(head) - 8 - len(tail)
    if media_length < 0 or media_length + 8 >= 1 << 32:
        sys.exit(f"make_recording.py: size {size} does not fit a recording")
    with open(path, "wb") as out:
        out.write(head + struct.pack(">I", media_length + 8) + b"mdat")
        left = media_length
        while left > 0:
            piece = min(left, len(fill))
            out.write(fill[:piece])
            left -= piece
        out.write(tail)


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: make_recording.py SIZE PATH...")
    size = int(sys.argv[1])
    fill = os.urandom(FILL_BLOCK)
    for path in sys.argv[2:]:
        write_recording(path, size, fill)


if __name__ == "__main__":
    main()
