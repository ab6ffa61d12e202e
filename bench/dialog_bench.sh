#!/usr/bin/env bash
# Times a verification from the dialog against vormic-cli and the engine alone, offscreen, and the
# wait of input that arrives during a run. Builds an optimised, unsanitised tree of its own
# (BUILD_DIR, default /tmp/vormic-dialog-bench-build).
#
#   bench/dialog_bench.sh [ARCHIVE] [dialog_bench options]   one archive, as dialog_bench takes it;
#                             without ARCHIVE, /usr/lib/gcc and /usr/include zipped into
#                             /tmp/vormic-bench/usr.zip (about 115 MB, 13,000 entries)
#   bench/dialog_bench.sh --many [N]   the log-heavy case: an archive of N empty files (65,000 by
#                             default) verified against an empty folder, so every entry logs a
#                             line; one round, dialog against vormic-cli
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-/tmp/vormic-dialog-bench-build}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORMIC_SANITIZE=OFF \
  -DVORMIC_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target dialog_bench vormic-cli >/dev/null
cli="$build/cli/vormic-cli"

if [[ "${1:-}" == --many ]]; then
  count="${2:-65000}"
  work=/tmp/vormic-bench/many-$count
  mkdir -p "$work/empty"
  if [[ ! -f "$work/many.zip" ]]; then
    python3 - "$work/many.zip" "$count" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as z:
    for i in range(int(sys.argv[2])):
        z.writestr("d%03d/file-%06d.txt" % (i // 1000, i), b"")
PY
  fi
  ls -l "$work/many.zip"
  QT_QPA_PLATFORM=offscreen "$build/ui/dialog_bench" "$work/many.zip" --folder "$work/empty" \
    --cli "$cli" --repeat 1 --quick
  exit
fi

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

ls -l "$archive"
QT_QPA_PLATFORM=offscreen "$build/ui/dialog_bench" "$archive" --cli "$cli" "$@"
