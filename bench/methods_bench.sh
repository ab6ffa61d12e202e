#!/usr/bin/env bash
# Verification speed for the methods beyond deflate and for an entry over 4 GiB, against the
# peers that can read each archive. In DIR (default /tmp/vormic-methods-bench) it makes:
#   deflate64.zip, bzip2.zip, lzma.zip  7-Zip archives of the benchmark files (the folder
#                                       bench/verify_bench.sh copies: SRC, default
#                                       /tmp/vormic-bench/src)
#   big.zip                             one deflated entry of 5 GiB (the benchmark files as a
#                                       tar stream, repeated), written by zip -1 -fz from a pipe
# then times, warm cache, one run of each tool on each archive: vormic, 7z t, unzip -tq,
# bsdtar -xOf, python3 -m zipfile -t. A tool that cannot read an archive is shown as "-" (its
# exit status decides). Delete DIR afterwards: big.zip is about 1.5 GB.
#   bench/methods_bench.sh [DIR]
# Environment: BUILD (default build-isal-rel: a Release build with the CLI), SRC, BIG_GIB (size
# of the big entry in GiB, default 5).
set -euo pipefail

dir=${1:-/tmp/vormic-methods-bench}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-isal-rel}
src=${SRC:-/tmp/vormic-bench/src}
big_gib=${BIG_GIB:-5}
vormic="$build/cli/vormic-cli"
[[ -x "$vormic" ]] || { echo "build $vormic first (Release)" >&2; exit 1; }
for tool in zip unzip 7z bsdtar python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[[ -d "$src" ]] || { echo "no benchmark files in $src: run bench/verify_bench.sh first" >&2; exit 1; }
mkdir -p "$dir"
cd "$dir"
echo "== load before: $(uptime)"
for m in Deflate64 BZip2 LZMA; do
  a=$(echo "$m" | tr 'A-Z' 'a-z').zip
  [[ -f $a ]] || { echo "== 7z a -tzip -mm=$m $a"; (cd "$src/.." && 7z a -tzip -mm=$m "$dir/$a" "$(basename "$src")" >/dev/null); }
done
if [[ ! -f big.zip ]]; then
  echo "== big.zip: one deflated entry of $big_gib GiB"
  # The loop ends when head has taken enough and tar meets the closed pipe.
  while tar -C "$src" -cf - . 2>/dev/null; do :; done | head -c $((big_gib << 30)) |
    zip -q -1 -fz big.zip - || true
fi

# One warm-up read, then one timed run; prints the seconds, or "-" when the tool failed.
run() {  # run ARCHIVE COMMAND...
  local archive=$1
  shift
  cat "$archive" >/dev/null
  python3 - "$@" <<'PY'
import subprocess, sys, time
start = time.perf_counter()
r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
secs = time.perf_counter() - start
print("-" if r.returncode != 0 else "%.2f" % secs)
PY
}

printf '\n%-15s %8s %9s %8s %8s %9s %9s\n' archive "MB" "vormic" "7z t" "unzip" "bsdtar" "python"
for a in deflate64.zip bzip2.zip lzma.zip big.zip; do
  mb=$(($(stat -c %s "$a") / 1000000))
  v=$(run "$a" "$vormic" -q --lists "$dir" "$a")
  s=$(run "$a" 7z t "$a")
  u=$(run "$a" unzip -tq "$a")
  b=$(run "$a" bsdtar -xOf "$a")
  p=$(run "$a" python3 -m zipfile -t "$a")
  printf '%-15s %8d %9s %8s %8s %9s %9s\n' "$a" "$mb" "$v" "$s" "$u" "$b" "$p"
done
echo "== load after: $(uptime)"
