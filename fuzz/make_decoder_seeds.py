#!/usr/bin/env python3
"""Writes seeds for decoders_fuzz into a folder: streams of every method made by real producers
(7z for Deflate64, bzip2 and LZMA in ZIP archives, Python's zipfile for bzip2 and LZMA, the xz
and zstd tools, zlib for deflate), each behind the two bytes the target reads first: the method
and slice sizes, and the uncompressed size in units of 4099 bytes (the data is 3 units long).
A producer that is not installed is passed over.   make_decoder_seeds.py FOLDER"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

DEFLATE64, DEFLATE, BZIP2, LZMA, XZ, ZSTD = range(6)
UNITS = 3
DATA = b"".join(b"seed line %d, %d\n" % (i, i * i % 97) for i in range(700))
DATA = (DATA + bytes(range(256)) * 40)[: UNITS * 4099]


def entry_data(path):
    """The stored bytes of the first entry of a ZIP archive."""
    with zipfile.ZipFile(path) as z:
        info = z.infolist()[0]
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        header = f.read(30)
        name_len, extra_len = struct.unpack("<HH", header[26:30])
        f.seek(info.header_offset + 30 + name_len + extra_len)
        return f.read(info.compress_size)


def write(out, name, method, stream):
    # Two slice choices per seed: byte by byte in, and whole 16 KiB slices.
    for slices in (0, 2 << 3 | 2 << 5):
        with open(os.path.join(out, "%s-%d" % (name, slices)), "wb") as f:
            f.write(bytes([method | slices, UNITS]) + stream)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    tmp = tempfile.mkdtemp()
    try:
        src = os.path.join(tmp, "data.bin")
        with open(src, "wb") as f:
            f.write(DATA)
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        write(out, "zlib-deflate", DEFLATE, c.compress(DATA) + c.flush())
        for name, method in (("bzip2", zipfile.ZIP_BZIP2), ("lzma", zipfile.ZIP_LZMA)):
            path = os.path.join(tmp, "py-%s.zip" % name)
            with zipfile.ZipFile(path, "w", method) as z:
                z.write(src, "data.bin")
            write(out, "py-" + name, BZIP2 if name == "bzip2" else LZMA, entry_data(path))
        if shutil.which("7z"):
            for name, option, method in (("deflate64", "Deflate64", DEFLATE64),
                                         ("bzip2", "BZip2", BZIP2), ("lzma", "LZMA", LZMA)):
                path = os.path.join(tmp, "7z-%s.zip" % name)
                subprocess.run(["7z", "a", "-tzip", "-mm=" + option, path, src], check=True,
                               stdout=subprocess.DEVNULL)
                write(out, "7z-" + name, method, entry_data(path))
        for tool, method, args in (("xz", XZ, ["xz", "--format=xz", "-c"]),
                                   ("zstd", ZSTD, ["zstd", "-q", "-c"])):
            if shutil.which(tool):
                stream = subprocess.run(args + [src], check=True, capture_output=True).stdout
                write(out, tool, method, stream)
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
