#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer, replays the saved corpus of each target,
# then fuzzes each for SECONDS (0: replay only) and prints how many inputs each ran and how
# fast. Exits non-zero on any
# finding (crash, sanitizer report, failed check, timeout, out of memory); the input that
# caused it is kept in fuzz/findings/.
#   fuzz/run.sh SECONDS [TARGET...]      (targets: archive_walk_fuzz codec_diff_fuzz decoders_fuzz
#                                         etag_fuzz jobs_diff_fuzz)
# Environment: VORMIC_FUZZ_BUILD (build folder, default build-fuzz), VORMIC_FUZZ_WORKERS
# (parallel fuzzing processes per target, default 1), VORMIC_FUZZ_TIMEOUT (seconds one input
# may take, default 10), VORMIC_FUZZ_SEED (the first worker's seed; default random, printed so
# a run can be repeated), VORMIC_FUZZ_RSS_MB (memory limit of a fuzzing process, default 2048;
# jobs_diff_fuzz starts 16 threads per input and the sanitizer's per-thread records grow by
# about 7 KB an input, so a run of millions wants more).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-}
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
  echo "usage: fuzz/run.sh SECONDS [TARGET...]" >&2
  exit 2
fi
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] ||
  targets=(archive_walk_fuzz codec_diff_fuzz decoders_fuzz etag_fuzz jobs_diff_fuzz)

build=${VORMIC_FUZZ_BUILD:-build-fuzz}
workers=${VORMIC_FUZZ_WORKERS:-1}
timeout=${VORMIC_FUZZ_TIMEOUT:-10}
rss_mb=${VORMIC_FUZZ_RSS_MB:-2048}
corpus_root=fuzz/corpus
findings=fuzz/findings

if ! command -v clang++ >/dev/null 2>&1; then scripts/install_deps.sh || exit 1; fi

echo "== building fuzz targets in $build"
mkdir -p "$build"
cmake -S . -B "$build" -DVORMIC_BUILD_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORMIC_BUILD_UI=OFF \
  -DVORMIC_BUILD_TESTS=OFF >"$build/fuzz-configure.log" 2>&1 || {
  cat "$build/fuzz-configure.log"; exit 1; }
# Only the fuzz targets and the seed writer: the programs are not built for libFuzzer.
cmake --build "$build" -j2 --target archive_walk_fuzz codec_diff_fuzz decoders_fuzz etag_fuzz \
  jobs_diff_fuzz make_fuzz_seeds \
  >"$build/fuzz-build.log" 2>&1 || { tail -50 "$build/fuzz-build.log"; exit 1; }

# Scratch files of the runs (name lists, the comparison folder, ETag files) go to memory when
# it can take them: far quicker than a disk for millions of small writes.
scratch_parent=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_parent=/dev/shm
scratch=$(mktemp -d "$scratch_parent/vormic-fuzz-run-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch
mkdir -p "$findings"
findings_abs=$(cd "$findings" && pwd)

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"

# Seeds: the built-in ones, for the archive targets also archives made by real writers.
seed_corpus() {  # target folder
  case "$1" in
    codec_diff_fuzz)
      "$build/fuzz/make_fuzz_seeds" deflate "$2" || return 1
      "$build/fuzz/make_fuzz_seeds" archives "$2" || return 1 ;;
    decoders_fuzz)  # streams of every method from the real producers
      command -v python3 >/dev/null 2>&1 || return 0
      python3 fuzz/make_decoder_seeds.py "$2"
      return ;;
    *)
      "$build/fuzz/make_fuzz_seeds" archives "$2" || return 1 ;;
  esac
  if command -v python3 >/dev/null 2>&1; then python3 fuzz/make_peer_seeds.py "$2" || return 1; fi
}

units() {  # log file -> executed units (summed over workers)
  grep -ho 'stat::number_of_executed_units: [0-9]*' "$@" 2>/dev/null |
    awk '{s += $2} END {print s + 0}'
}

status=0
summary=()
for t in "${targets[@]}"; do
  bin="$build/fuzz/$t"
  if [ ! -x "$bin" ]; then
    echo "== $t: not built (its library is missing), skipped"
    summary+=("$t: skipped, not built")
    continue
  fi
  # A replay alone reads fresh seeds and the saved corpus only, so it is the same on every
  # machine; fuzzing grows the local corpus of earlier runs.
  corpus="$corpus_root/${t%_fuzz}"
  [ "$seconds" -eq 0 ] && corpus="$scratch/${t%_fuzz}-seeds"
  mkdir -p "$corpus"
  seed_corpus "$t" "$corpus" || { echo "== $t: cannot write seeds"; status=1; continue; }
  common=(-timeout="$timeout" -rss_limit_mb="$rss_mb" -max_len=131072 -print_final_stats=1
          -artifact_prefix="$findings_abs/$t-")
  log="$scratch/$t"

  echo "== $t: replaying $(ls "$corpus" | wc -l) saved inputs"
  replay=("$corpus")
  saved="fuzz/saved/${t%_fuzz}"  # the corpus kept in the repository, merged down to coverage
  [ -d "$saved" ] && replay+=("$saved")
  "$bin" "${common[@]}" -runs=0 "${replay[@]}" >"$log.replay" 2>&1
  rc=$?
  replayed=$(units "$log.replay")
  if [ $rc -ne 0 ]; then
    echo "== $t: FINDING while replaying the corpus (exit $rc)"
    tail -40 "$log.replay"
    status=1
  fi

  echo "== $t: fuzzing for $seconds s with $workers worker(s)"
  fuzzed=0
  if [ "$seconds" -gt 0 ]; then
    pids=()
    seed=${VORMIC_FUZZ_SEED:-$((RANDOM * 32768 + RANDOM))}
    echo "== $t: seed $seed (worker w uses seed + w - 1)"
    for w in $(seq 1 "$workers"); do
      "$bin" "${common[@]}" -max_total_time="$seconds" -seed="$((seed + w - 1))" \
        "$corpus" "${replay[@]:1}" >"$log.fuzz$w" 2>&1 &
      pids+=($!)
    done
    for w in $(seq 1 "$workers"); do
      wait "${pids[$((w - 1))]}"
      rc=$?
      if [ $rc -ne 0 ]; then
        echo "== $t: FINDING in worker $w (exit $rc)"
        grep -E 'ERROR|SUMMARY|fuzz check failed|differ|Test unit written|#[0-9]+ 0x' \
          "$log.fuzz$w" | head -40
        status=1
      fi
    done
    fuzzed=$(units "$log".fuzz*)
  fi
  rate=""
  [ "$seconds" -gt 0 ] && rate=" ($((fuzzed / seconds)) per second)"
  echo "== $t: executed $replayed replayed + $fuzzed fuzzed inputs$rate"
  grep -h 'ISA-L is not built in' "$log".* 2>/dev/null | head -1
  summary+=("$t: $replayed replayed, $fuzzed fuzzed executions$rate")
done

echo "== summary"
printf '   %s\n' "${summary[@]}"
if [ $status -ne 0 ]; then
  echo "== FINDINGS: inputs kept in $findings/"
  ls -1 "$findings" 2>/dev/null | sed 's/^/   /'
else
  echo "== no finding"
fi
exit $status
