#!/usr/bin/env python3
"""Writes seed archives made by real writers into a folder: Python's zipfile (stored, deflated,
streamed with data descriptors, forced ZIP64 sizes, a directory entry) and, when installed, zip
and bsdtar. Their contents match the fuzz targets' comparison folder, so external runs of the
unmutated seeds pass.   make_peer_seeds.py FOLDER"""
import io
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

TEXT_A = b"alpha\nbeta\ngamma\n"
TEXT_B = b"".join(b"line %d of b\n" % i for i in range(200))


class Unseekable(io.RawIOBase):
    """A write-only stream without seek: zipfile then streams with data descriptors."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


def python_seeds(out):
    with zipfile.ZipFile(os.path.join(out, "py-plain.zip"), "w") as z:
        z.writestr(zipfile.ZipInfo("dir/"), b"")
        z.writestr("a.txt", TEXT_A, zipfile.ZIP_STORED)
        z.writestr("b.txt", TEXT_B, zipfile.ZIP_DEFLATED)
    sink = Unseekable()
    with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("desc.txt", TEXT_B)
        z.writestr("desc2.txt", TEXT_A, zipfile.ZIP_STORED)
    with open(os.path.join(out, "py-streamed.zip"), "wb") as f:
        f.write(sink.data)
    with zipfile.ZipFile(os.path.join(out, "py-zip64.zip"), "w") as z:
        with z.open("a.txt", "w", force_zip64=True) as f:
            f.write(TEXT_A)


def tool_seeds(out):
    src = tempfile.mkdtemp()
    try:
        for name, data in (("a.txt", TEXT_A), ("b.txt", TEXT_B), ("dir/a.txt", TEXT_A)):
            os.makedirs(os.path.join(src, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(src, name), "wb") as f:
                f.write(data)
        files = ["a.txt", "b.txt", "dir/a.txt"]
        runs = []
        if shutil.which("zip"):
            runs.append(("zip-deflated.zip", ["zip", "-q", "-X", "-9", "OUT"] + files))
            runs.append(("zip-stored.zip", ["zip", "-q", "-X", "-0", "OUT"] + files))
        if shutil.which("bsdtar"):
            runs.append(("bsdtar.zip", ["bsdtar", "--format", "zip", "-cf", "OUT"] + files))
        for name, cmd in runs:
            target = os.path.abspath(os.path.join(out, name))
            if os.path.exists(target):
                os.remove(target)
            cmd = [target if c == "OUT" else c for c in cmd]
            subprocess.run(cmd, cwd=src, check=True)
        if shutil.which("zip"):  # to a pipe: descriptors after every entry
            with open(os.path.join(out, "zip-streamed.zip"), "wb") as f:
                p = subprocess.run(["zip", "-q", "-X", "-", "b.txt", "a.txt"], cwd=src,
                                   stdout=subprocess.PIPE, check=True)
                f.write(p.stdout)
    finally:
        shutil.rmtree(src)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    os.makedirs(sys.argv[1], exist_ok=True)
    python_seeds(sys.argv[1])
    tool_seeds(sys.argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
