#!/usr/bin/env bash
# End-to-end checks of vormic-cli as a process: real archives made by zip and python3, stdout
# lines, exit statuses, the name lists, escaping, --etag and Ctrl-C.
# Usage: cli_test.sh CLI WORKDIR CASE   (CASE "setup" writes the archives the others use)
set -uo pipefail
cli=$1 work=$2 case=$3

fail() { echo "FAIL [$case]: $*"; exit 1; }
# expect_run STATUS EXPECTED_STDOUT -- ARGS...: runs the CLI, compares stdout and exit status.
expect_run() {
  local want_status=$1 want_out=$2; shift 3
  local out status
  out=$("$cli" "$@" 2>"$work/stderr.$case"); status=$?
  [ "$status" -eq "$want_status" ] || fail "exit $status, wanted $want_status for: $* (stderr: $(cat "$work/stderr.$case"))"
  [ "$out" == "$want_out" ] || fail "stdout for: $*"$'\n'"--- got:"$'\n'"$out"$'\n'"--- wanted:"$'\n'"$want_out"
}

setup() {
  rm -rf "$work" && mkdir -p "$work/src/sub" "$work/lists" || exit 1
  cd "$work" || exit 1
  printf 'hello\n' > src/a.txt
  seq 1 20000 > src/sub/b.txt
  head -c 70000 /dev/urandom > src/sub/c.bin
  (cd src && zip -qr ../zip.zip .) || fail "zip"
  python3 - <<'PY' || fail "python"
import zipfile, os
with zipfile.ZipFile('py.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    for root, _, files in os.walk('src'):
        for f in sorted(files):
            p = os.path.join(root, f)
            z.write(p, os.path.relpath(p, 'src'))
with zipfile.ZipFile('hostile.zip', 'w') as z:
    z.writestr('evil\x1b]0;owned\x07name.txt', b'x')
# Two entries of 1 GiB of zeros: quick to inflate, but long enough to interrupt.
with zipfile.ZipFile('zeros.zip', 'w', zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    block = bytes(1 << 20)
    for name in ('z1.bin', 'z2.bin'):
        with z.open(name, 'w') as e:
            for _ in range(1024):
                e.write(block)
PY
}

case "$case" in
  setup) setup ;;

  help)
    out=$("$cli" --help) || fail "--help exit $?"
    grep -q '^Usage: vormic-cli' <<<"$out" || fail "--help text"
    out=$("$cli" --version) || fail "--version exit $?"
    grep -Eq '^vormic-cli 1\.11 \(inflate and CRC-32: (zlib|ISA-L)\)$' <<<"$out" || fail "--version: $out"
    ;;

  usage)
    for args in "" "--bogus $work/zip.zip" "--folder" "$work/zip.zip extra" "--folder $work/nowhere $work/zip.zip" \
                "--lists $work/nowhere $work/zip.zip"; do
      # shellcheck disable=SC2086
      "$cli" $args >/dev/null 2>"$work/err"; status=$?
      [ "$status" -eq 2 ] || fail "'$args' exit $status, wanted 2"
      grep -q "Try 'vormic-cli --help'" "$work/err" || fail "'$args' gave no usage hint"
    done
    ;;

  internal)
    for z in zip py; do
      expect_run 0 $'Verifying internally...\nVerified 3 files\nSuccessful verification' -- "$work/$z.zip"
    done
    expect_run 1 $'Verifying internally...\nCan\'t open archive\nVerification failed' -- "$work/missing.zip"
    expect_run 1 $'Verifying internally...\nEnd of central directory record not found\nVerification failed' -- "$work/src/a.txt"
    ;;

  external)
    want=$'Verifying externally...\nVerified 3 files\n0 couldn\'t be opened externally\n3 compared correctly\nSuccessful verification'
    for z in zip py; do
      expect_run 0 "$want" -- --folder "$work/src" --lists "$work/lists" "$work/$z.zip"
    done
    [ "$(sort "$work/lists/x1.txt")" == $'a.txt\nsub/\nsub/b.txt\nsub/c.bin' ] || [ "$(sort "$work/lists/x1.txt")" == $'a.txt\nsub/b.txt\nsub/c.bin' ] \
      || fail "archive list: $(cat "$work/lists/x1.txt")"
    [ "$(sort "$work/lists/x2.txt")" == "$work/src/a.txt"$'\n'"$work/src/sub/b.txt"$'\n'"$work/src/sub/c.bin" ] \
      || fail "folder list: $(cat "$work/lists/x2.txt")"
    ;;

  mismatch)
    cp -r "$work/src" "$work/more" && echo extra > "$work/more/extra.txt"
    expect_run 1 $'Verifying externally...\nVerified 3 files\n0 couldn\'t be opened externally\n3 compared correctly\nNumber of files in archive does not match source folder (3 != 4)' \
      -- --folder "$work/more" "$work/zip.zip"
    cp -r "$work/src" "$work/changed" && printf 'hellO\n' > "$work/changed/a.txt"
    expect_run 1 $'Verifying externally...\nContents differ in file '"$work/changed/a.txt"$'\nVerification failed' \
      -- --folder "$work/changed" "$work/zip.zip"
    ;;

  escaping)
    out=$("$cli" --folder "$work/src" "$work/hostile.zip" 2>&1); status=$?
    [ "$status" -eq 1 ] || fail "exit $status"
    grep -q 'evil\\x1b]0;owned\\x07name.txt' <<<"$out" || fail "name not escaped: $out"
    if printf '%s' "$out" | grep -q $'\x1b'; then fail "a raw ESC reached the output"; fi
    ;;

  etag)
    cp "$work/zip.zip" "$work/e.zip"
    out=$("$cli" --etag "$work/e.zip") || fail "exit $?"
    want=$(python3 - "$work/e.zip" <<'PY'
import hashlib, sys
data = open(sys.argv[1], 'rb').read()
parts = [data[i:i + 10485760] for i in range(0, len(data), 10485760)]
etag = hashlib.md5(b''.join(hashlib.md5(p).digest() for p in parts)).hexdigest() + '-%d' % len(parts)
print('\nETag: %s' % etag)
print('MD5: %s' % hashlib.md5(data).hexdigest())
print('Multipart ETag: %s\n' % etag)
print('Verifying internally...\nVerified 3 files\nSuccessful verification', end='')
PY
)
    [ "$out" == "$want" ] || fail "stdout"$'\n'"$out"$'\n'"--- wanted:"$'\n'"$want"
    [ "$(sed -n 1p "$work/e.zip.md5")" == "$(sed -n 3p <<<"$want")" ] || fail ".md5 line 1"
    [ "$(tail -c 2 "$work/e.zip.md5" | od -An -c | tr -d ' ')" == '\n\n' ] || fail ".md5 must end in two LF"
    expect_run 1 "Can't open archive" -- --etag "$work/missing.zip"
    ;;

  interrupt)
    "$cli" "$work/zeros.zip" >"$work/int.out" 2>&1 &
    pid=$!
    # Wait until the program catches SIGINT (bit 2 of SigCgt), then interrupt it once.
    for _ in $(seq 1 2000); do
      mask=$(awk '/^SigCgt/ {print $2}' "/proc/$pid/status" 2>/dev/null) || break
      [ -n "$mask" ] && (( (16#$mask & 2) != 0 )) && break
      sleep 0.001
    done
    kill -INT "$pid" 2>/dev/null
    wait "$pid"; status=$?
    [ "$status" -eq 1 ] || fail "exit $status, wanted 1: $(cat "$work/int.out")"
    tail -n 1 "$work/int.out" | grep -qx 'Verification failed' || fail "last line: $(cat "$work/int.out")"
    grep -Eqx 'Stopped( by user)?' "$work/int.out" || fail "no stop text: $(cat "$work/int.out")"
    ;;

  *) fail "unknown case" ;;
esac
echo "ok [$case]"
