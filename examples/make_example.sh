#!/usr/bin/env bash
# Writes a small example folder (text, a binary file, a sub-folder, an empty file) into
# examples/out/source and zips it into examples/out/example.zip with Info-ZIP zip, so that
# `vormic-cli --folder examples/out/source examples/out/example.zip` has something to verify.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out="$here/out"
rm -rf "$out"
mkdir -p "$out/source/notes" "$out/source/data"
printf 'Vormic example archive\n' > "$out/source/README.txt"
for i in $(seq 1 2000); do echo "line $i of a text that deflates well"; done > "$out/source/notes/long.txt"
: > "$out/source/notes/empty.txt"
# Bytes that do not compress: the archive stores them deflated all the same.
python3 -c 'import random,sys; r=random.Random(7); sys.stdout.buffer.write(bytes(r.getrandbits(8) for _ in range(100000)))' \
  > "$out/source/data/random.bin"
(cd "$out/source" && zip -qr "$out/example.zip" .)
echo "$out/example.zip"
