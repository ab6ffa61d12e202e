#!/usr/bin/env bash
# Whole-screen pictures of the dialog as a desktop shows it: Xvfb with the openbox window
# manager, the real xcb platform. Each pass saves PREFIX-start.png (the window as it opens),
# PREFIX-running.png (a run with its progress bar), PREFIX-success.png and PREFIX-failure.png (a
# stored entry with one byte changed), then PREFIX-help-menu.png, PREFIX-about.png and
# PREFIX-pane-menu.png over the failure. Three passes: the default look (PREFIX-*), Fusion with a
# dark palette (PREFIX-dark-*), and QT_SCALE_FACTOR=2 on a 2560x1600 screen (PREFIX-x2-*). Builds
# dialog_bench in BUILD_DIR (default /tmp/vormic-dialog-bench-build).
#
#   bench/dialog_screenshots.sh [PREFIX]     (default /tmp/vormic-shot)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-/tmp/vormic-dialog-bench-build}"
prefix="${1:-/tmp/vormic-shot}"
"$root/scripts/install_deps.sh" xvfb openbox

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORMIC_SANITIZE=OFF \
  -DVORMIC_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target dialog_bench >/dev/null

work=/tmp/vormic-bench
mkdir -p "$work"
good="$work/usr.zip"  # long enough to catch the run under way
[[ -f "$good" ]] || (cd /usr && zip -q -r -y "$good" lib/gcc include)
bad="$work/damaged.zip"
python3 - "$bad" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as z:
    z.writestr("notes/readme.txt", b"first file\n")
    z.writestr("notes/payload.txt", b"payload-XYZ " * 100)
data = bytearray(open(sys.argv[1], "rb").read())
data[data.index(b"payload-XYZ") + 8] ^= 0x20  # the stored data no longer matches its CRC-32
open(sys.argv[1], "wb").write(data)
PY

display=":${DISPLAY_NUMBER:-77}"
xvfb=""
openbox_pid=""
stop_display() {
  [[ -n "$openbox_pid" ]] && kill "$openbox_pid" 2>/dev/null || true
  [[ -n "$xvfb" ]] && kill "$xvfb" 2>/dev/null || true
  [[ -n "$xvfb" ]] && wait "$xvfb" 2>/dev/null || true
  xvfb=""
  openbox_pid=""
}
trap stop_display EXIT

# shoot SCREEN PICTURE_PREFIX [ENV=VALUE...] -- [DIALOG_BENCH_ARGS...]
shoot() {
  local screen="$1" pictures="$2"
  shift 2
  local env=()
  while [[ "$1" != "--" ]]; do env+=("$1"); shift; done
  shift
  Xvfb "$display" -screen 0 "$screen" -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  sleep 1
  DISPLAY="$display" openbox >/dev/null 2>&1 &
  openbox_pid=$!
  sleep 1
  env DISPLAY="$display" QT_QPA_PLATFORM=xcb "${env[@]}" timeout 300 "$build/ui/dialog_bench" \
    --screenshots "$pictures" "$good" "$bad" "$@"
  stop_display
}

shoot 1280x800x24 "$prefix" --
shoot 1280x800x24 "$prefix-dark" -- --dark -style Fusion
shoot 2560x1600x24 "$prefix-x2" QT_SCALE_FACTOR=2 --
