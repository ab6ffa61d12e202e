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
# Then the job counts on one large bzip2 entry (bzip2-one.zip: about 270 MB of /usr files
# joined into one file, 7z -mm=BZip2), whose blocks are decoded on every core: --jobs 1,
# --jobs 2, --jobs 2 pinned to one core (taskset -c 0) and 7z t, medians of RUNS interleaved
# rounds, wall seconds, user seconds and peak RSS.
#   bench/methods_bench.sh [DIR]
# Environment: BUILD (default build-isal-rel: a Release build with the CLI), SRC, BIG_GIB (size
# of the big entry in GiB, default 5), RUNS (default 5), PARTS (default "methods bzip2-jobs"),
# BASE (another vormic-cli, say an older build: its three job counts join the same rounds).
set -euo pipefail

dir=${1:-/tmp/vormic-methods-bench}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-isal-rel}
src=${SRC:-/tmp/vormic-bench/src}
big_gib=${BIG_GIB:-5}
runs=${RUNS:-5}
parts=${PARTS:-methods bzip2-jobs}
base=${BASE:-}
vormic="$build/cli/vormic-cli"
[[ -x "$vormic" ]] || { echo "build $vormic first (Release)" >&2; exit 1; }
for tool in zip unzip 7z bsdtar python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
mkdir -p "$dir"
cd "$dir"
echo "== load before: $(uptime)"
if [[ " $parts " == *" methods "* ]]; then
[[ -d "$src" ]] || { echo "no benchmark files in $src: run bench/verify_bench.sh first" >&2; exit 1; }
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
fi

if [[ " $parts " == *" bzip2-jobs "* ]]; then
  if [[ ! -f bzip2-one.zip ]]; then
    echo "== bzip2-one.zip: one entry of about 270 MB of /usr files, 7z -mm=BZip2"
    set +o pipefail  # head ends the list early
    find /usr/lib /usr/share /usr/include -xdev -type f -readable -size -20M 2>/dev/null | sort |
      while read -r f; do cat "$f"; done 2>/dev/null | head -c 270000000 > one.bin
    set -o pipefail
    7z a -tzip -mm=BZip2 bzip2-one.zip one.bin >/dev/null
    rm -f one.bin
  fi
  declare -A wall user rss
  timed() {  # timed KEY COMMAND...: appends wall and user seconds and peak RSS (KiB)
    local key=$1 out
    shift
    /usr/bin/time -o "$dir/time.out" -f '%e %U %M' "$@" >/dev/null 2>&1 || true
    read -r w u m < <(tail -n 1 "$dir/time.out")
    wall[$key]+="$w "
    user[$key]+="$u "
    rss[$key]+="$m "
  }
  median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
  cat bzip2-one.zip >/dev/null
  for ((r = 1; r <= runs; ++r)); do
    timed j1 "$vormic" -q --lists "$dir" --jobs 1 bzip2-one.zip
    timed j2 "$vormic" -q --lists "$dir" --jobs 2 bzip2-one.zip
    timed pinned taskset -c 0 "$vormic" -q --lists "$dir" --jobs 2 bzip2-one.zip
    timed 7z 7z t bzip2-one.zip
    if [[ -n "$base" ]]; then
      timed b1 "$base" -q --lists "$dir" --jobs 1 bzip2-one.zip
      timed b2 "$base" -q --lists "$dir" --jobs 2 bzip2-one.zip
      timed bpinned taskset -c 0 "$base" -q --lists "$dir" --jobs 2 bzip2-one.zip
    fi
  done
  keys="j1 j2 pinned 7z"
  [[ -z "$base" ]] || keys+=" b1 b2 bpinned"
  echo "bzip2-one.zip ($(stat -L -c %s bzip2-one.zip) bytes), warm, medians of $runs rounds:"
  for key in $keys; do
    case $key in
      j1) label="vormic --jobs 1" ;;
      j2) label="vormic --jobs 2" ;;
      pinned) label="vormic --jobs 2, taskset -c 0" ;;
      7z) label="7z t" ;;
      b1) label="BASE --jobs 1" ;;
      b2) label="BASE --jobs 2" ;;
      bpinned) label="BASE --jobs 2, taskset -c 0" ;;
    esac
    printf '  %-32s %6.2f s wall %6.2f s user  peak RSS %s KiB  (wall: %s)\n' "$label" \
      "$(echo "${wall[$key]}" | median)" "$(echo "${user[$key]}" | median)" \
      "$(echo "${rss[$key]}" | median)" "${wall[$key]}"
  done
  awk -v a="$(echo "${wall[j1]}" | median)" -v b="$(echo "${wall[j2]}" | median)" \
    -v p="$(echo "${wall[pinned]}" | median)" \
    'BEGIN { printf "  --jobs 2 speed-up: %.2fx; pinned against --jobs 1: %+.1f %%\n", a / b, (p / a - 1) * 100 }'
fi
echo "== load after: $(uptime)"
