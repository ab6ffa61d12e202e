#!/usr/bin/env bash
# Installs what is missing, builds a release build and runs Vormic.
#   ./run.sh                   the dialog when a display is there, else the command-line example
#   ./run.sh ARGS...           vormic-cli ARGS... (see ./run.sh --help)
set -euo pipefail
cd "$(dirname "$0")"

scripts/install_deps.sh >&2

build=build-release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORMIC_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

if [ $# -gt 0 ]; then
  exec "$build/cli/vormic-cli" "$@"
fi
if { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; } && [ -x "$build/ui/vormic" ]; then
  exec "$build/ui/vormic"
fi
archive=$(examples/make_example.sh)
echo "Verifying the example archive $archive against examples/out/source:"
exec "$build/cli/vormic-cli" --folder examples/out/source "$archive"
