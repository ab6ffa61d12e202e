#!/usr/bin/env bash
# Times a verification from the dialog against the engine alone, offscreen, and the wait of input
# that arrives during a run. Builds an optimised, unsanitised tree of its own (BUILD_DIR, default
# /tmp/vormic-dialog-bench-build) and, when no archive is given, zips /usr/lib/gcc and
# /usr/include into /tmp/vormic-bench/usr.zip (about 115 MB, 13,000 entries on Debian 12).
#
#   bench/dialog_bench.sh [ARCHIVE] [--folder FOLDER] [--repeat N] [--pump-ms N]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-/tmp/vormic-dialog-bench-build}"

archive=""
if [[ $# -gt 0 && "$1" != -* ]]; then
  archive="$1"
  shift
fi
if [[ -z "$archive" ]]; then
  archive=/tmp/vormic-bench/usr.zip
  if [[ ! -f "$archive" ]]; then
    mkdir -p "$(dirname "$archive")"
    (cd /usr && zip -q -r -y "$archive" lib/gcc include)
  fi
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORMIC_SANITIZE=OFF \
  -DVORMIC_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target dialog_bench >/dev/null

ls -l "$archive"
QT_QPA_PLATFORM=offscreen "$build/ui/dialog_bench" "$archive" "$@"
