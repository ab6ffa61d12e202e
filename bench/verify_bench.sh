#!/usr/bin/env bash
# Verification speed against its peers. Makes, in DIR (default /tmp/vormic-bench), a folder of
# files copied from this machine (/usr/include, /usr/lib, /usr/share: about 645 MB in 19,000
# files) and a folder of small files, zips them with Info-ZIP zip (deflated, stored with -0, and
# the small files deflated), then times, warm cache, the median of RUNS interleaved rounds:
#   vormic with ISA-L and with zlib, unzip -tq, 7z t, python3 -m zipfile -t,
#   bsdtar -xOf ARCHIVE >/dev/null, and the bare ISA-L loop (the limit),
#   and the check against the folder: vormic --folder against unzip -q -d tmp && diff -r;
#   then vormic with --jobs 1 against --jobs 2 on every archive and on the external run, both
#   also pinned to one core (taskset -c 0), with bsdtar beside them, and the peak RSS of each.
# vormic is the Release CLI (BUILD/cli/vormic-cli) when it exists, else BUILD/bench/verify_driver
# (the engine with a silent Status channel). The folders and archives are kept for later runs;
# delete DIR to make them again.
#   bench/verify_bench.sh [DIR]
# Environment: BUILD (default build-isal-rel, configured with VORMIC_BUILD_BENCH=ON), ZLIB_BUILD
# (default build-zlib-rel, the same with VORMIC_USE_ISAL=OFF), RUNS
# (default 5), FILES (default 19134) and SMALL_FILES (default 30000) for the folders' sizes,
# PARTS (default "peers jobs": which of the two comparisons to run).
set -euo pipefail

dir=${1:-/tmp/vormic-bench}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-isal-rel}
# A build with zlib alone (VORMIC_USE_ISAL=OFF); without it the ISA-L build runs with
# VORMIC_CODEC=zlib, which takes the same zlib calls.
zlib_build=${ZLIB_BUILD:-$root/build-zlib-rel}
runs=${RUNS:-5}
files=${FILES:-19134}
small_files=${SMALL_FILES:-30000}
parts=${PARTS:-peers jobs}

for tool in zip unzip 7z bsdtar python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
bare="$build/bench/bare_isal_loop"
if [[ -x "$build/cli/vormic-cli" ]]; then
  # No live status line; name lists kept here; one job, so the peers meet the same engine as
  # before jobs existed (the jobs comparison below has its own table).
  vormic="$build/cli/vormic-cli -q --jobs 1 --lists $dir"
  vormic_kind="vormic-cli -q --jobs 1"
else
  vormic="$build/bench/verify_driver"
  vormic_kind="bench/verify_driver"
fi
if [[ -x "$zlib_build/cli/vormic-cli" ]]; then
  vormic_zlib="$zlib_build/cli/vormic-cli -q --lists $dir"
else
  vormic_zlib="env VORMIC_CODEC=zlib $vormic"
fi
for exe in "${vormic%% *}" "$bare"; do
  [[ -x "$exe" ]] || { echo "build $exe first (cmake -DVORMIC_BUILD_BENCH=ON, Release)" >&2; exit 1; }
done
mkdir -p "$dir"
cd "$dir"

# --- The folders: regular, readable files only, in path order, taken evenly from the list ----
copy_list() {  # copy_list LIST FOLDER: copies the files named in LIST below FOLDER
  mkdir -p "$2"
  tr '\n' '\0' <"$1" | xargs -0 cp --parents -t "$2" 2>/dev/null || true
  find "$2" -type f | wc -l
}
pick() {  # pick LIST COUNT: COUNT lines of LIST, evenly spread
  awk -v total="$(wc -l <"$1")" -v want="$2" \
    'want > 0 && int(NR * want / total) > int((NR - 1) * want / total)' "$1"
}
if [[ ! -d src ]]; then
  echo "== copying about $files files into $dir/src"
  find /usr/include -type f -readable -size -16M 2>/dev/null | LC_ALL=C sort >include.list
  # Library and data files of 4 KiB and more: with every header, about 645 MB in all.
  find /usr/lib /usr/share -type f -readable -size +4095c -size -16M 2>/dev/null |
    LC_ALL=C sort >rest.list
  headers=$(wc -l <include.list)
  if ((files <= headers)); then
    pick include.list "$files" >src.list
  else
    { cat include.list; pick rest.list $((files - headers)); } >src.list
  fi
  copy_list src.list src >/dev/null
fi
if [[ ! -d small ]]; then
  echo "== copying $small_files small files into $dir/small"
  find /usr/share /usr/lib -type f -readable -size -4k 2>/dev/null | LC_ALL=C sort >small.all
  pick small.all "$small_files" >small.list
  copy_list small.list small >/dev/null
fi
[[ -f deflated.zip ]] || { echo "== zip deflated.zip"; zip -q -r deflated.zip src; }
[[ -f stored.zip ]] || { echo "== zip -0 stored.zip"; zip -q -0 -r stored.zip src; }
[[ -f small.zip ]] || { echo "== zip small.zip"; zip -q -r small.zip small; }

describe() {  # describe ARCHIVE FOLDER
  local entries bytes
  entries=$(unzip -Z1 "$1" | grep -vc '/$')
  bytes=$(du -sb --apparent-size "$2" | cut -f1)
  printf '%-13s %6d files, %5d MB of files, archive %5d MB\n' "$1" "$entries" \
    $((bytes / 1000000)) $(($(stat -c %s "$1") / 1000000))
}
echo "== archives (vormic is $vormic_kind; zlib: ${vormic_zlib%% -q*})"
describe deflated.zip src
describe stored.zip src
describe small.zip small

# Every archive must verify with every tool before anything is timed.
for a in deflated.zip stored.zip small.zip; do
  $vormic "$a" >/dev/null 2>&1 || { echo "vormic fails on $a" >&2; exit 1; }
  $vormic_zlib "$a" >/dev/null 2>&1 || { echo "vormic (zlib) fails on $a" >&2; exit 1; }
  "$bare" "$a" >/dev/null || { echo "bare loop fails on $a" >&2; exit 1; }
done
$vormic --folder "$dir/src" deflated.zip >/dev/null 2>&1 || { echo "vormic --folder fails" >&2; exit 1; }

echo "== load before: $(uptime)"
results=$dir/results
mkdir -p "$results"
# Every command of a group runs once per round, round after round, so a machine whose speed
# drifts (a shared host) slows every command alike; the median of each command's rounds counts.
time_group() {  # time_group GROUP NAME=COMMAND...: prints "NAME WALL CPU" lines (medians)
  local group=$1
  shift
  python3 - "$results/$group.json" "$runs" "$@" <<'PY'
import json, resource, statistics, subprocess, sys, time
out, runs, pairs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
commands = [p.split("=", 1) for p in pairs]
wall = {name: [] for name, _ in commands}
cpu = {name: [] for name, _ in commands}  # user + system seconds of the command's processes
def used():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime
for round_ in range(runs + 1):  # round 0 only warms the cache
    for name, cmd in commands:
        subprocess.run("rm -rf tmp", shell=True, check=True)
        cpu_start, start = used(), time.perf_counter()
        subprocess.run(cmd, shell=True, check=True)
        if round_ > 0:
            wall[name].append(time.perf_counter() - start)
            cpu[name].append(used() - cpu_start)
json.dump({"commands": dict(commands), "wall": wall, "cpu": cpu}, open(out, "w"), indent=1)
for name, _ in commands:
    print(name, "%.3f" % statistics.median(wall[name]), "%.3f" % statistics.median(cpu[name]))
PY
}

ratio() { python3 -c "import sys; a, b = map(float, sys.argv[1:]); print('%.2fx' % (a / b) if b > 0 else '-')" "$1" "$2"; }
declare -A t c jm
if [[ " $parts " == *" peers "* ]]; then
for a in deflated stored small; do
  z="$a.zip"
  while read -r name secs cpu; do t[$a,$name]=$secs; c[$a,$name]=$cpu; done < <(time_group "$a" \
    "isal=$vormic $z >/dev/null 2>&1" \
    "zlib=$vormic_zlib $z >/dev/null 2>&1" \
    "unzip=unzip -tq $z >/dev/null" \
    "7z=7z t $z >/dev/null" \
    "python=python3 -m zipfile -t $z >/dev/null" \
    "bsdtar=bsdtar -xOf $z >/dev/null" \
    "bare='$bare' $z >/dev/null" \
    "driver='$build/bench/verify_driver' $z >/dev/null 2>&1")
done
while read -r name secs cpu; do t[ext,$name]=$secs; c[ext,$name]=$cpu; done < <(time_group external \
  "isal=$vormic --folder '$dir/src' deflated.zip >/dev/null 2>&1" \
  "zlib=$vormic_zlib --folder '$dir/src' deflated.zip >/dev/null 2>&1" \
  "unzip=unzip -q -d tmp deflated.zip && diff -r tmp/src src")
rm -rf tmp
echo "== load after: $(uptime)"

echo
table() {  # table ARRAY TITLE
  local -n v=$1
  echo "$2"
  printf '%-10s %9s %9s %9s %9s %9s %9s %9s %9s\n' archive "vormic" "vormic" "unzip" "7z t" \
    "python" "bsdtar" "bare" "engine"
  printf '%-10s %9s %9s %9s %9s %9s %9s %9s %9s\n' "" "ISA-L" "zlib" "-tq" "" "zipfile" "-xOf" \
    "ISA-L" "alone"
  for a in deflated stored small; do
    printf '%-10s %9s %9s %9s %9s %9s %9s %9s %9s\n' "$a" "${v[$a,isal]}" "${v[$a,zlib]}" \
      "${v[$a,unzip]}" "${v[$a,7z]}" "${v[$a,python]}" "${v[$a,bsdtar]}" "${v[$a,bare]}" \
      "${v[$a,driver]}"
  done
  printf '%-10s %9s %9s %9s   (unzip -q -d tmp && diff -r tmp folder)\n' external \
    "${v[ext,isal]}" "${v[ext,zlib]}" "${v[ext,unzip]}"
}
goals() {  # goals ARRAY TITLE
  local -n v=$1
  echo "$2"
  printf '  deflated: bsdtar / vormic     %s (goal at least 1.80x)\n' "$(ratio "${v[deflated,bsdtar]}" "${v[deflated,isal]}")"
  printf '  deflated: vormic / bare       %s (goal at most 1.15x); engine alone / bare %s\n' \
    "$(ratio "${v[deflated,isal]}" "${v[deflated,bare]}")" "$(ratio "${v[deflated,driver]}" "${v[deflated,bare]}")"
  printf '  stored:   bsdtar / vormic     %s (goal at least 3.00x)\n' "$(ratio "${v[stored,bsdtar]}" "${v[stored,isal]}")"
  printf '  small:    bsdtar / vormic     %s (goal at least 1.50x)\n' "$(ratio "${v[small,bsdtar]}" "${v[small,isal]}")"
  printf '  external: unzip+diff / vormic %s (goal at least 3.00x)\n' "$(ratio "${v[ext,unzip]}" "${v[ext,isal]}")"
  printf '  ISA-L over zlib: deflated %s, stored %s, small %s, external %s\n' \
    "$(ratio "${v[deflated,zlib]}" "${v[deflated,isal]}")" "$(ratio "${v[stored,zlib]}" "${v[stored,isal]}")" \
    "$(ratio "${v[small,zlib]}" "${v[small,isal]}")" "$(ratio "${v[ext,zlib]}" "${v[ext,isal]}")"
}
echo
table t "Wall seconds, median of $runs interleaved warm rounds"
echo "(engine alone: bench/verify_driver, ISA-L, a silent Status channel)"
echo
table c "CPU seconds (user + system of the command), medians"
echo "(unzip+diff and bsdtar run two processes; CPU adds them up)"
echo
goals t "Goals, by wall time"
goals c "The same ratios by CPU time"
fi

# --- Jobs: the same engine on one thread and on two, and pinned to one core ------------------
if [[ " $parts " == *" jobs "* && -x "$build/cli/vormic-cli" ]]; then
  cli="$build/cli/vormic-cli -q --lists $dir"
  declare -A jt jc
  echo
  echo "== jobs, load before: $(uptime)"
  for a in deflated stored small ext; do
    z="$a.zip" folder=""
    [[ $a == ext ]] && z=deflated.zip folder="--folder '$dir/src'"
    extra=()
    [[ $a == deflated ]] && extra=("bsdtar=bsdtar -xOf $z >/dev/null")
    while read -r name secs cpu; do jt[$a,$name]=$secs; jc[$a,$name]=$cpu; done < <(
      time_group "jobs-$a" \
        "j1=$cli --jobs 1 $folder $z >/dev/null 2>&1" \
        "j2=$cli --jobs 2 $folder $z >/dev/null 2>&1" \
        "c1=taskset -c 0 $cli --jobs 1 $folder $z >/dev/null 2>&1" \
        "c2=taskset -c 0 $cli --jobs 2 $folder $z >/dev/null 2>&1" "${extra[@]}")
    for j in 1 2 4; do  # peak resident memory of one run, KiB
      jm[$a,$j]=$(eval "/usr/bin/time -f %M $cli --jobs $j $folder $z" 2>&1 >/dev/null | tail -1)
    done
  done
  echo "== jobs, load after: $(uptime)"
  echo
  echo "Wall seconds (CPU seconds), median of $runs interleaved warm rounds; peak RSS in MB"
  printf '%-9s %15s %15s %15s %15s %9s %17s\n' archive "--jobs 1" "--jobs 2" "1 core, jobs 1" \
    "1 core, jobs 2" "bsdtar" "RSS jobs 1/2/4"
  for a in deflated stored small ext; do
    printf '%-9s %15s %15s %15s %15s %9s %17s\n' "$a" "${jt[$a,j1]} (${jc[$a,j1]})" \
      "${jt[$a,j2]} (${jc[$a,j2]})" "${jt[$a,c1]} (${jc[$a,c1]})" "${jt[$a,c2]} (${jc[$a,c2]})" \
      "${jt[$a,bsdtar]:--}" \
      "$((jm[$a,1] / 1024))/$((jm[$a,2] / 1024))/$((jm[$a,4] / 1024))"
  done
  echo "Goals, by wall time"
  printf '  deflated: jobs 1 / jobs 2   %s (goal at least 1.70x)\n' "$(ratio "${jt[deflated,j1]}" "${jt[deflated,j2]}")"
  printf '  deflated: bsdtar / jobs 2   %s (goal at least 3.40x)\n' "$(ratio "${jt[deflated,bsdtar]}" "${jt[deflated,j2]}")"
  printf '  stored:   jobs 1 / jobs 2   %s (goal at least 1.00x)\n' "$(ratio "${jt[stored,j1]}" "${jt[stored,j2]}")"
  printf '  small:    jobs 1 / jobs 2   %s (goal at least 1.00x)\n' "$(ratio "${jt[small,j1]}" "${jt[small,j2]}")"
  printf '  external: jobs 1 / jobs 2   %s (goal at least 1.50x)\n' "$(ratio "${jt[ext,j1]}" "${jt[ext,j2]}")"
  for a in deflated stored small ext; do
    printf '  one core, %-8s jobs 2 / jobs 1 %s (goal at most 1.05x)\n' "$a:" \
      "$(ratio "${jt[$a,c2]}" "${jt[$a,c1]}")"
  done
fi
