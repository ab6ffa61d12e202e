#!/usr/bin/env bash
# The one read and the job counts. Makes, in DIR (default /tmp/vormic-one-read-bench), once:
#   large.zip   about 1 GB: files copied from /usr, zipped with Info-ZIP zip -1 and -0 halves
#   small.zip   many small files (30,000 of 1-4 KiB text), deflated
#   machine.zip the machine files (up to 19,000 files from /usr/include, /usr/lib, /usr/share)
#   dominant.zip one dominant large entry (300 MB of /usr files joined) and 2,000 small ones
#   late.zip    20,000 small files (1-4 KiB of text) and one large deflated entry (50 MB of
#               shared libraries joined: nearly half the compressed data, 35 % of one job's
#               time) near the end of the directory, with 20 small ones after it
# then prints, medians of RUNS interleaved rounds (each round runs every command once):
#   1. cold cache, the archive evicted from the page cache before every run
#      (posix_fadvise(POSIX_FADV_DONTNEED) on the file): cat, the verification, --etag and the
#      verification; wall seconds
#   2. warm cache: the same, and the ETag alone (bench/etag_driver)
#   3. the job-count table on the four mixes, warm: --jobs 1, --jobs 2, --jobs 2 pinned to one
#      core (taskset -c 0), bsdtar -xOf; wall seconds and peak RSS
#   4. (PARTS=slow, as root) cold again with reads from the disk throttled to SLOW_MBS MB/s
#      (a cgroup v1 blkio group, or v2 io.max), as a disk or network volume slower than the CPU
#      would: cat, the verification, --etag and the verification, and the ETag then the
#      verification with the archive dropped from the cache between them (an archive larger
#      than the memory is read twice so)
#   bench/one_read_bench.sh [DIR]
# Environment: BUILD (default build-isal-rel: Release, -DVORMIC_BUILD_BENCH=ON), RUNS (5),
# PARTS (default "cold warm jobs"), SLOW_MBS (250).
set -euo pipefail

dir=${1:-/tmp/vormic-one-read-bench}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-isal-rel}
runs=${RUNS:-5}
parts=${PARTS:-cold warm jobs}
cli="$build/cli/vormic-cli"
driver="$build/bench/etag_driver"
for exe in "$cli" "$driver"; do
  [[ -x "$exe" ]] || { echo "build $exe first (Release, -DVORMIC_BUILD_BENCH=ON)" >&2; exit 1; }
done
for tool in zip bsdtar python3 taskset; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
mkdir -p "$dir"
cd "$dir"

# --- The archives ---------------------------------------------------------------------------
set +o pipefail  # head ends the lists early; the writers' SIGPIPE is no failure here
copy_files() {  # copy_files FOLDER COUNT ROOTS...: regular readable files, evenly from the list
  local folder=$1 count=$2
  shift 2
  find "$@" -type f -readable -size -64M 2>/dev/null | sort > "$folder.list"
  local total
  total=$(wc -l < "$folder.list")
  awk -v n="$count" -v t="$total" 'BEGIN { s = t / n; if (s < 1) s = 1 } NR % int(s) == 0' \
    "$folder.list" | head -n "$count" | tr '\n' '\0' | xargs -0 cp --parents -t "$folder" 2>/dev/null || true
  mkdir -p "$folder"
}
# make_texts FOLDER COUNT SEED PREFIX LATE: COUNT text files of 1 to 4 KiB (words at random) in
# 100 subfolders PREFIXnn of FOLDER; those from number LATE on go to subfolders znn instead.
make_texts() {
  python3 - "$@" <<'PY'
import os, random, sys
folder, prefix = sys.argv[1], sys.argv[4]
count, seed, late = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[5])
random.seed(seed)
words = open("/usr/share/dict/words").read().split() if os.path.exists("/usr/share/dict/words") \
    else [f"w{i}" for i in range(5000)]
for i in range(count):
    d = f"{folder}/{'z' if i >= late else prefix}{i % 100:02d}"
    os.makedirs(d, exist_ok=True)
    n = random.randint(1024, 4096)
    text = " ".join(random.choice(words) for _ in range(n // 6))[:n]
    with open(f"{d}/f{i}.txt", "w") as f:
        f.write(text)
PY
}
if [[ ! -f machine.zip ]]; then
  mkdir -p machine
  copy_files machine 19000 /usr/include /usr/lib /usr/share
  (cd machine && zip -qr ../machine.zip .)
fi
if [[ ! -f small.zip ]]; then
  make_texts small 30000 7 d 30000
  (cd small && zip -qr ../small.zip .)
fi
if [[ ! -f dominant.zip ]]; then
  mkdir -p dominant/small
  find /usr/lib -type f -readable -size +100k 2>/dev/null | sort | head -n 3000 | \
    while read -r f; do cat "$f"; done 2>/dev/null | head -c 300000000 > dominant/large.bin
  for i in $(seq 1 2000); do head -c $((1000 + i)) /usr/share/common-licenses/GPL-3 > dominant/small/s$i.txt; done
  (cd dominant && zip -qr ../dominant.zip .)
fi
if [[ ! -f late.zip ]]; then
  make_texts late 20020 11 a 20000
  find /usr/lib -type f -readable -size +100k -name '*.so*' 2>/dev/null | sort | head -n 2000 | \
    while read -r f; do cat "$f"; done 2>/dev/null | head -c 50000000 > late/m-large.bin
  # zip -r takes the folder's files in name order: the a*/ folders, the large file, the z*/ ones.
  (cd late && zip -qr ../late.zip a* m-large.bin z*)
fi
if [[ ! -f large.zip ]]; then
  mkdir -p large
  copy_files large 40000 /usr/lib /usr/share /usr/bin /usr/include
  (cd large && find . -type f | sort > ../large.files)
  # Half the files deflated (-1), half stored (-0): about a gigabyte, much of it stored.
  awk 'NR % 2 == 1' large.files | (cd large && zip -q -1 ../large.zip -@)
  awk 'NR % 2 == 0' large.files | (cd large && zip -q -0 ../large.zip -@)
fi
set -o pipefail
sync
ls -l large.zip small.zip machine.zip dominant.zip late.zip

# --- Timing -----------------------------------------------------------------------------------
evict() {  # drops the file's pages from the page cache
  python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
os.close(fd)' "$1"
}
declare -A times rss
run_timed() {  # run_timed KEY COMMAND...: appends wall seconds and peak RSS (KiB)
  local key=$1 out start end
  shift
  # The wall time to the millisecond (time(1) gives hundredths, too coarse for a 0.1 s run).
  start=$EPOCHREALTIME
  /usr/bin/time -o "$dir/time.out" -f '%M' "$@" > /dev/null 2>&1 || true
  end=$EPOCHREALTIME
  out=$(tail -n 1 "$dir/time.out")
  times[$key]+="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }') "
  rss[$key]+="$out "
}
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
show() {  # show KEY LABEL
  printf '  %-44s %7.3f s  (runs: %s) peak RSS %s KiB\n' "$2" "$(echo "${times[$1]}" | median)" \
    "${times[$1]}" "$(echo "${rss[$1]}" | median)"
}

rm -f large.zip.md5
if [[ " $parts " == *" cold "* ]]; then
  for ((r = 1; r <= runs; ++r)); do
    evict large.zip; run_timed cold_cat cat large.zip
    evict large.zip; run_timed cold_verify "$cli" -q --lists "$dir" large.zip
    evict large.zip; run_timed cold_both "$cli" -q --lists "$dir" --etag large.zip
  done
  echo "Cold cache, $(stat -c %s large.zip) bytes, medians of $runs rounds:"
  show cold_cat "cat"
  show cold_verify "vormic-cli (verification)"
  show cold_both "vormic-cli --etag (ETag + verification)"
fi
if [[ " $parts " == *" warm "* ]]; then
  cat large.zip > /dev/null
  for ((r = 1; r <= runs; ++r)); do
    run_timed warm_etag "$driver" large.zip
    run_timed warm_verify "$cli" -q --lists "$dir" large.zip
    run_timed warm_both "$cli" -q --lists "$dir" --etag large.zip
  done
  echo "Warm cache, medians of $runs rounds:"
  show warm_etag "ETag alone (bench/etag_driver)"
  show warm_verify "vormic-cli (verification)"
  show warm_both "vormic-cli --etag (ETag + verification)"
fi
if [[ " $parts " == *" jobs "* ]]; then
  for mix in small machine dominant late; do
    cat $mix.zip > /dev/null
    for ((r = 1; r <= runs; ++r)); do
      run_timed ${mix}_1 "$cli" -q --lists "$dir" --jobs 1 $mix.zip
      run_timed ${mix}_2 "$cli" -q --lists "$dir" --jobs 2 $mix.zip
      run_timed ${mix}_pinned taskset -c 0 "$cli" -q --lists "$dir" --jobs 2 $mix.zip
      run_timed ${mix}_bsdtar bsdtar -xOf $mix.zip
    done
    echo "$mix.zip ($(stat -c %s $mix.zip) bytes), warm, medians of $runs rounds:"
    show ${mix}_1 "--jobs 1"
    show ${mix}_2 "--jobs 2"
    show ${mix}_pinned "--jobs 2, taskset -c 0"
    show ${mix}_bsdtar "bsdtar -xOf"
    one=$(echo "${times[${mix}_1]}" | median)
    two=$(echo "${times[${mix}_2]}" | median)
    awk -v a="$one" -v b="$two" 'BEGIN { printf "  --jobs 2 speed-up: %.2fx\n", a / b }'
  done
fi
if [[ " $parts " == *" slow "* ]]; then
  # The whole disk under the archive's file system: throttles take whole disks.
  source=$(findmnt -no SOURCE --target "$dir")
  disk=$(lsblk -no PKNAME "$source" 2>/dev/null | head -n 1)
  [[ -n "$disk" ]] && source=/dev/$disk
  device=$(lsblk -dno MAJ:MIN "$source" 2>/dev/null | tr -d ' ')
  bps=$(( ${SLOW_MBS:-250} * 1000000 ))
  if [[ -d /sys/fs/cgroup/blkio ]]; then
    group=/sys/fs/cgroup/blkio/vormic-bench-slow
    mkdir -p "$group" && echo "$device $bps" > "$group/blkio.throttle.read_bps_device"
  else
    group=/sys/fs/cgroup/vormic-bench-slow
    mkdir -p "$group" && echo "$device rbps=$bps" > "$group/io.max"
  fi || { echo "slow: cannot throttle $source ($device): needs root and a cgroup io controller" >&2; exit 1; }
  # A command in the throttled group (a process joins it, then becomes the command).
  slow=(bash -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$group")
  for ((r = 1; r <= runs; ++r)); do
    evict large.zip; run_timed slow_cat "${slow[@]}" cat large.zip
    evict large.zip; run_timed slow_verify "${slow[@]}" "$cli" -q --lists "$dir" large.zip
    evict large.zip; run_timed slow_both "${slow[@]}" "$cli" -q --lists "$dir" --etag large.zip
    evict large.zip
    run_timed slow_two "${slow[@]}" bash -c '"$0" "$1" > /dev/null && python3 -c "import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)" "$1" && exec "$2" -q --lists "$3" "$1"' \
      "$driver" large.zip "$cli" "$dir"
  done
  rmdir "$group" 2>/dev/null || true
  echo "Cold cache, reads from $source throttled to ${SLOW_MBS:-250} MB/s, medians of $runs rounds:"
  show slow_cat "cat"
  show slow_verify "vormic-cli (verification)"
  show slow_both "vormic-cli --etag (ETag + verification)"
  show slow_two "ETag, page cache dropped, then verification"
fi
