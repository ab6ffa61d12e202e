#!/usr/bin/env bash
# Times the ETag computation against plain MD5 tools on one large file held in the page cache:
# md5sum, openssl dgst -md5 (when present), a Python hashlib pass that takes the whole-file and
# the 10 MiB part digests from the same reads, and our etag_driver: plain, and checking an
# expected ETag that one part size fits (10 MiB parts) and one that 8 part sizes fit (2 parts,
# matched by the last of them), the latter also with the slower many-context MD5 kernels this
# processor has. Then the object stores' checksums beside the ETag: CRC64NVME and CRC32C (also
# with the table CRC kernel), against the ETag alone, and an expected SHA256 composite value of
# 2 parts that 8 part sizes fit, against md5sum. Prints the median of RUNS runs of each, side
# by side, and checks that all of them agree on the digests.
#
#   bench/etag_bench.sh [DIR]        the test file goes to DIR (default /tmp), made once
# Environment:
#   ETAG_BENCH_MIB=1024   file size in MiB
#   RUNS=5                runs per tool (interleaved, so a busy spell hits every tool alike)
#   ETAG_DRIVER=PATH      a built etag_driver; otherwise a Release build of it is made in
#                         DIR/vormic-etag-bench-build
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-/tmp}
mib=${ETAG_BENCH_MIB:-1024}
runs=${RUNS:-5}
file="$dir/vormic-etag-bench-${mib}m.bin"
part=10485760

mkdir -p "$dir"
if [ "$(stat -c %s "$file" 2>/dev/null || echo 0)" != $((mib * 1048576)) ]; then
  echo "making $file ($mib MiB of random bytes)"
  head -c $((mib * 1048576)) /dev/urandom > "$file"
fi

driver=${ETAG_DRIVER:-}
if [ -z "$driver" ]; then
  # The library's own build, so the driver links whatever the engine and etag now need.
  build="$dir/vormic-etag-bench-build"
  echo "building etag_driver in $build (Release, no sanitizers)"
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORMIC_BUILD_BENCH=ON \
    -DVORMIC_BUILD_TESTS=OFF -DVORMIC_BUILD_UI=OFF > "$build.log"
  cmake --build "$build" -j2 --target etag_driver >> "$build.log"
  driver="$build/bench/etag_driver"
fi

pyscript="$dir/vormic-etag-bench.py"
cat > "$pyscript" <<PY
import hashlib, sys
whole, digests, n = hashlib.md5(), b"", 0
part = int(sys.argv[2]) if len(sys.argv) > 2 else $part
with open(sys.argv[1], "rb") as f:
    while True:
        b = f.read(part)
        if not b:
            break
        whole.update(b)
        digests += hashlib.md5(b).digest()
        n += 1
print(whole.hexdigest(), hashlib.md5(digests).hexdigest() + "-" + str(n))
PY

names=(md5sum)
cmds=("md5sum '$file'")
if command -v openssl >/dev/null 2>&1; then
  names+=(openssl); cmds+=("openssl dgst -md5 '$file'")
fi
names+=(python-etag etag-driver)
cmds+=("python3 '$pyscript' '$file'" "'$driver' '$file'")

echo "warming the page cache"
cat "$file" > /dev/null
cat "$file" > /dev/null

# Agreement first: the same whole-file MD5 everywhere, the same ETag from Python and from us.
md5_ref=$(md5sum "$file" | cut -d' ' -f1)
read -r py_md5 py_etag < <(python3 "$pyscript" "$file")
"$driver" "$file" > /dev/null
our_md5=$(sed -n 's/^MD5: //p' "$file.md5")
our_etag=$(sed -n 's/^Multipart ETag: //p' "$file.md5")
echo "md5sum: $md5_ref   python: $py_md5 $py_etag   ours: $our_md5 $our_etag"
if [ "$md5_ref" != "$py_md5" ] || [ "$md5_ref" != "$our_md5" ] || [ "$py_etag" != "$our_etag" ]; then
  echo "DIGESTS DISAGREE" >&2
  exit 1
fi

# Expected ETags: the 10 MiB one (whose part count only 10 MiB parts give here) and the one of
# the last part size that splits the file in 2 parts (8 sizes fit). Both must be matched.
size=$((mib * 1048576))
one=$("$driver" --candidates "$size" "${our_etag##*-}" | wc -l)
last8=$("$driver" --candidates "$size" 2 | tail -n 1)
eight=$("$driver" --candidates "$size" 2 | wc -l)
read -r _ etag8 < <(python3 "$pyscript" "$file" "$last8")
echo "expected ETags: $our_etag ($one part size fits), $etag8 ($eight part sizes fit," \
  "the last, $((last8 / 1048576)) MiB, gives it)"
for expected in "$our_etag" "$etag8"; do
  if ! "$driver" "$file" "$expected" > /dev/null; then
    echo "EXPECTED ETAG $expected NOT MATCHED" >&2
    exit 1
  fi
done
names+=("expect-$one" "expect-$eight")
cmds+=("'$driver' '$file' '$our_etag'" "'$driver' '$file' '$etag8'")
for kernel in avx2 portable; do
  if VORMIC_MD5_KERNEL=$kernel "$driver" "$file" "$etag8" > /dev/null 2>&1; then
    names+=("expect-$eight-$kernel")
    cmds+=("VORMIC_MD5_KERNEL=$kernel '$driver' '$file' '$etag8'")
  fi
done

# Checksums. The SHA-256 values, whole and of the last size's 2 parts, come from hashlib; ours
# must agree, and the composite value must be matched.
read -r py_sha py_sha8 < <(python3 - "$file" "$last8" <<'PY'
import base64, hashlib, sys
whole, digests = hashlib.sha256(), b""
with open(sys.argv[1], "rb") as f:
    while True:
        b = f.read(int(sys.argv[2]))
        if not b:
            break
        whole.update(b)
        digests += hashlib.sha256(b).digest()
print(base64.b64encode(whole.digest()).decode(),
      base64.b64encode(hashlib.sha256(digests).digest()).decode() + "-2")
PY
)
"$driver" --checksum SHA256 "$file" > /dev/null
our_sha=$(sed -n 's/^SHA256: //p' "$file.md5")
echo "SHA256 python: $py_sha   ours: $our_sha"
if [ "$py_sha" != "$our_sha" ]; then
  echo "SHA256 DISAGREES" >&2
  exit 1
fi
if ! "$driver" --expect-checksum "SHA256:$py_sha8" "$file" > /dev/null; then
  echo "EXPECTED SHA256 $py_sha8 NOT MATCHED" >&2
  exit 1
fi
names+=(checksum-crc checksum-crc-table "expect-sha256-$eight")
cmds+=("'$driver' --checksum CRC64NVME,CRC32C '$file'"
  "VORMIC_CRC_KERNEL=table '$driver' --checksum CRC64NVME,CRC32C '$file'"
  "'$driver' --expect-checksum 'SHA256:$py_sha8' '$file'")

# Wall time, and CPU time (user + system), which a machine shared with other work disturbs less.
declare -A times cpus
timing="$dir/vormic-etag-bench.time"
for ((r = 1; r <= runs; r++)); do
  for i in "${!names[@]}"; do
    /usr/bin/time -f '%e %U %S' -o "$timing" bash -c "${cmds[$i]}" > /dev/null
    read -r wall user sys < "$timing"
    times[${names[$i]}]+="$wall "
    cpus[${names[$i]}]+="$(echo "$user + $sys" | bc) "
  done
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
md5sum_wall=$(echo "${times[md5sum]}" | median)
md5sum_cpu=$(echo "${cpus[md5sum]}" | median)
echo
echo "file: $file ($mib MiB), median of $runs runs, page cache warm, load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-18s %9s %9s %9s %9s   %s\n' tool wall "x md5sum" cpu "x md5sum" "wall of every run (s)"
for name in "${names[@]}"; do
  w=$(echo "${times[$name]}" | median)
  c=$(echo "${cpus[$name]}" | median)
  printf '%-18s %8.2fs %8.2fx %8.2fs %8.2fx   %s\n' "$name" "$w" \
    "$(echo "$w / $md5sum_wall" | bc -l)" "$c" "$(echo "$c / $md5sum_cpu" | bc -l)" \
    "${times[$name]}"
done
etag_wall=$(echo "${times[etag-driver]}" | median)
crc_wall=$(echo "${times[checksum-crc]}" | median)
sha_wall=$(echo "${times[expect-sha256-$eight]}" | median)
echo
printf 'goals: --checksum CRC64NVME,CRC32C %.2fx the ETag alone (1.10 at most); ' \
  "$(echo "$crc_wall / $etag_wall" | bc -l)"
printf 'an expected SHA256 composite, %d part sizes, %.2fx md5sum (2 at most)\n' "$eight" \
  "$(echo "$sha_wall / $md5sum_wall" | bc -l)"
