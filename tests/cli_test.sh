#!/usr/bin/env bash
# End-to-end checks of vormic-cli: the program runs as a process on archives that Info-ZIP zip
# and Python's zipfile made, and its standard output (line by line), standard error, exit
# status, terminal output and files are compared with what they must be.
#   cli_test.sh setup BIN SAMPLES   writes the sample archives and folders into SAMPLES
#   cli_test.sh CASE BIN SAMPLES    runs one case in a scratch folder of its own
# Exit status: 0 passed, 1 failed, 77 skipped (zip or python3 missing).
set -euo pipefail

case_name=${1:?case}
bin=${2:?vormic-cli}
samples=${3:?samples folder}
# Both are used from a scratch folder.
[[ $bin = /* ]] || bin=$PWD/$bin
[[ $samples = /* ]] || samples=$PWD/$samples

for tool in zip unzip python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
# The helpers need only the standard library: the system's interpreter without site packages
# starts in milliseconds, where a version manager's shim can take a second every time.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
py() { "$python" -S "$@"; }

# --- Samples ---------------------------------------------------------------------------------

# src/ holds three files: a.txt is too short to gain from deflate (zip stores it), b.txt and
# sub/c.txt are deflated, so both data paths of the walk are compared. top/ is the same tree
# for an archive made one level up (entries top/a.txt ...). hostile.zip carries names that
# would drive a terminal; big.zip one 1 GiB entry of zeros, long enough to stop inside.
write_samples() {
  rm -rf "$samples"
  mkdir -p "$samples/src/sub"
  printf 'alpha\n' >"$samples/src/a.txt"
  for i in $(seq 1 200); do echo "line $i of the second file"; done >"$samples/src/b.txt"
  for i in $(seq 1 300); do echo "$i: the third file, one folder down"; done >"$samples/src/sub/c.txt"
  (cd "$samples/src" && zip -qr ../sound.zip .)
  cp -r "$samples/src" "$samples/top"
  (cd "$samples" && zip -qr top.zip top)
  py - "$samples" <<'PY'
import os, sys, zipfile
samples = sys.argv[1]
# The first entry's name is the one the live status line shows first: escapes, a C1 control
# in UTF-8, and enough two-column characters that every terminal width cuts among them.
first = "evil\x1b]0;owned\x07\u009b2J" + "\u00e9\u6f22" * 30 + ".txt"
names = [first, "clear\x1b[2J\nscreen.txt", "del\x7f.txt", "raw-QQ.txt", "tail\n"]
path = os.path.join(samples, "hostile.zip")
with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
    for name in names:
        z.writestr(name, b"hostile name, plain data\n")
# zipfile only writes ASCII or UTF-8 names; put two bytes of an 8-bit code page in place of
# "QQ" (local and central header alike; no CRC covers a name): 0x9B, CSI on an 8-bit
# terminal, and 0xE9, a Latin-1 letter.
data = open(path, "rb").read()
assert data.count(b"raw-QQ") == 2
open(path, "wb").write(data.replace(b"raw-QQ", b"raw-\x9b\xe9"))
# damaged.zip: four entries, the first and third with a central CRC-32 off by one (the data
# stays sound, so only the comparison fails); soak.zip: twenty entries, all damaged so, whose
# report with --keep-going is long enough that keeping every archive's would show in memory.
import struct
def damage(path, names, bad):
    with zipfile.ZipFile(path, "w") as z:
        for i, name in enumerate(names):
            z.writestr(name, ("entry %d of %s\n" % (i, name)) * (40 + i),
                       zipfile.ZIP_DEFLATED if i % 2 else zipfile.ZIP_STORED)
    data = bytearray(open(path, "rb").read())
    at = data.find(b"PK\x01\x02")
    for i in range(len(names)):
        if i in bad:
            crc = struct.unpack_from("<I", data, at + 16)[0]
            struct.pack_into("<I", data, at + 16, crc ^ 1)
        n, m, k = struct.unpack_from("<HHH", data, at + 28)
        at += 46 + n + m + k
    open(path, "wb").write(bytes(data))
damage(os.path.join(samples, "damaged.zip"), ["a.txt", "b.txt", "c/d.txt", "e.txt"], {0, 2})
damage(os.path.join(samples, "soak.zip"), ["f%02d.txt" % i for i in range(20)], set(range(20)))
# 1 GiB of zeros in 4.5 MB: a quarter of a second to check even with the fast inflate, so a
# SIGINT sent at its first status line lands well inside the entry's data.
with zipfile.ZipFile(os.path.join(samples, "big.zip"), "w", zipfile.ZIP_DEFLATED,
                     compresslevel=1) as z:
    with z.open("zeros.bin", "w", force_zip64=True) as f:
        chunk = bytes(16 << 20)
        for _ in range(64):
            f.write(chunk)
PY
}

if [ "$case_name" = setup ]; then
  write_samples
  exit 0
fi

# --- Running and checking --------------------------------------------------------------------

work=$(mktemp -d "${TMPDIR:-/tmp}/vormic-cli-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
rc=0

fail() {
  echo "FAIL [$case_name]: $*"
  failures=$((failures + 1))
}

# Runs vormic-cli with the given arguments; standard output in $work/out, standard error in
# $work/err, exit status in $rc.
run() {
  set +e
  "$bin" "$@" >"$work/out" 2>"$work/err"
  rc=$?
  set -e
}

expect_rc() {
  [ "$rc" -eq "$1" ] || fail "exit status $rc, expected $1 (stderr: $(head -c 300 "$work/err"))"
}

# Standard output must be exactly the here-document given on standard input.
expect_out() {
  if ! diff -u - "$work/out" >"$work/diff"; then
    fail "standard output differs (- expected, + actual):"
    sed -n '3,40p' "$work/diff"
  fi
}

expect_quiet_stderr() {
  [ ! -s "$work/err" ] || fail "unexpected standard error: $(head -c 300 "$work/err")"
}

# Runs vormic-cli with its standard error on a pseudo-terminal of the given width and does what
# MODE says; the terminal's bytes go to $work/tty, standard output to $work/out, the exit
# status (negative: killed by that signal) to $rc.
#   watch        only read the terminal
#   stop-start   hold the terminal's output (XOFF) before the run, so its first status line
#                waits; once the SIGINT handler is in place send SIGINT, then release it (XON)
#   stop-twice   as stop-start with two SIGINTs, the second sent once the first was taken
#   stop-mid     let the first status line through whole, then hold the terminal: the next
#                redraw, 50 ms on, waits inside the entry's data; once the program is seen
#                blocked in that write, SIGINT, then release
# The line discipline takes the XOFF asynchronously; the run goes on only once the terminal
# refuses output (see hold_output), never after a guessed delay.
pty_run() {
  local mode=$1 columns=$2
  shift 2
  set +e
  rc=$(py - "$mode" "$columns" "$work/out" "$work/tty" "$bin" "$@" <<'PY'
import fcntl, os, pty, select, signal, struct, subprocess, sys, termios, time
mode, columns, out_path, tty_path = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
argv = sys.argv[5:]
XOFF, XON = b"\x13", b"\x11"
master, slave = pty.openpty()
slave_name = os.ttyname(slave)
fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))

def bit(pid, field):  # is SIGINT set in this mask of /proc/PID/status?
    for line in open("/proc/%d/status" % pid):
        if line.startswith(field + ":"):
            return int(line.split()[1], 16) & (1 << (signal.SIGINT - 1)) != 0
    return False

def wait_for(test, what):
    deadline = time.time() + 20
    while not test():
        if p.poll() is not None:
            sys.exit("the program ended (status %d) before %s" % (p.returncode, what))
        if time.time() > deadline:
            sys.exit("timed out waiting for " + what)
        time.sleep(0.005)

def blocked_on_terminal(pid):  # asleep in a system call on its standard error (the terminal)
    state = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0]
    call = open("/proc/%d/syscall" % pid).read().split()
    return state == "S" and len(call) > 1 and call[1] == "0x2"

def hold_output():
    # XOFF, then wait until the terminal has really stopped its output. A non-blocking write of
    # one probe byte on a descriptor of our own (the program's stays blocking) is refused with
    # EAGAIN only while output is stopped, or when the master's buffer is full, and that buffer
    # is read empty before every probe. A probe that got through is read back and dropped.
    global tty
    os.write(master, XOFF)
    probe = os.open(slave_name, os.O_WRONLY | os.O_NONBLOCK | os.O_NOCTTY)
    deadline = time.time() + 20
    try:
        while True:
            while select.select([master], [], [], 0)[0]:
                tty += os.read(master, 65536).replace(b"\0", b"")
            try:
                os.write(probe, b"\0")
            except BlockingIOError:
                return
            if time.time() > deadline:
                sys.exit("the terminal never stopped its output after XOFF")
            time.sleep(0.001)
    finally:
        os.close(probe)

tty, out = b"", b""
if mode.startswith("stop-") and mode != "stop-mid":
    hold_output()
p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave)
os.close(slave)
if mode != "watch":
    wait_for(lambda: bit(p.pid, "SigCgt"), "the SIGINT handler")
if mode == "stop-mid":
    while b"\x1b[K" not in tty:  # the end of the first drawing
        r, _, _ = select.select([master], [], [], 20)
        if not r:
            sys.exit("no status line came")
        tty += os.read(master, 4096)
    hold_output()
    wait_for(lambda: blocked_on_terminal(p.pid), "the next redraw to wait on the terminal")
if mode != "watch":
    p.send_signal(signal.SIGINT)
if mode == "stop-twice":
    wait_for(lambda: not bit(p.pid, "SigPnd") and not bit(p.pid, "ShdPnd"), "the first SIGINT")
    time.sleep(0.05)
    p.send_signal(signal.SIGINT)
if mode != "watch":
    time.sleep(0.05)
    os.write(master, XON)
streams = {master: "tty", p.stdout.fileno(): "out"}
while streams:
    r, _, _ = select.select(list(streams), [], [], 20)
    if not r:
        p.kill()
        sys.exit("the run hung")
    for fd in r:
        try:
            data = os.read(fd, 65536)
        except OSError:  # EIO: no process holds the terminal any more
            data = b""
        if not data:
            del streams[fd]
        elif streams[fd] == "tty":
            tty += data
        else:
            out += data
p.wait()
open(out_path, "wb").write(out)
open(tty_path, "wb").write(tty)
print(p.returncode)
PY
)
  local status=$?
  set -e
  [ "$status" -eq 0 ] || fail "pseudo-terminal run: $rc"
}

# The line that names entry NAME of ARCHIVE before its fault: "Entry <0-based index>: NAME".
entry_line() {
  echo "Entry $(($(unzip -Z1 "$1" | grep -nxF -- "$2" | cut -d: -f1) - 1)): $2"
}

# The names of hostile.zip as the program must show them, in archive order.
hostile_shown() {
  printf '%s\n' \
    'evil\x1b]0;owned\x07\xc2\x9b2J'"$(py -c 'print("\u00e9\u6f22" * 30, end="")')"'.txt' \
    'clear\x1b[2J\x0ascreen.txt' \
    'del\x7f.txt' \
    "raw-\\x9b$(printf '\xe9').txt" \
    'tail\x0a'
}

case "$case_name" in

external)
  # The folder is given relative to the working directory.
  cp -r "$samples/src" src
  run -f src "$samples/sound.zip"
  expect_rc 0
  expect_quiet_stderr
  expect_out <<'EOF'
Verifying externally...
Verified 3 files
0 couldn't be opened externally
3 compared correctly
Successful verification
EOF
  ;;

parent_lookup)
  # An archive made one level up names top/a.txt; a bare "top" has no parent to look in, so the
  # program must hand the walk the full path. A changed file proves the comparison happened.
  cp -r "$samples/top" top
  run -f top "$samples/top.zip"
  expect_rc 0
  expect_out <<'EOF'
Verifying externally...
Verified 3 files
0 couldn't be opened externally
3 compared correctly
Successful verification
EOF
  printf 'alphX\n' >top/a.txt
  run -f top "$samples/top.zip"
  expect_rc 1
  expect_out <<EOF
Verifying externally...
$(entry_line "$samples/top.zip" top/a.txt)
Contents differ in file $work/top/a.txt
Verification failed
EOF
  # A folder that is itself a link keeps its own name: the parent lookup goes through it.
  rm -rf top && mkdir real && cp -r "$samples/top" real/tree && ln -s real/tree top
  run -q -f top "$samples/top.zip"
  expect_rc 0
  ;;

folder_path)
  # The folder is the one the kernel opens: LINK/../src is real/src when LINK leads into real/,
  # whatever the text "src" next to LINK holds. Here real/src differs and ./src is sound.
  mkdir -p real/x
  cp -r "$samples/src" real/src
  cp -r "$samples/src" src
  printf 'alphX\n' >real/src/a.txt
  ln -s real/x LINK
  run -f LINK/../src "$samples/sound.zip"
  expect_rc 1
  tail -n 2 out >out.tail
  mv out.tail out
  expect_out <<EOF
Contents differ in file $work/real/src/a.txt
Verification failed
EOF
  # "." and ".." are resolved too; a trailing slash is dropped.
  cd src/sub
  run -q -f .. "$samples/sound.zip"
  cd "$work"
  expect_rc 0
  run -q -f src/ "$samples/sound.zip"
  expect_rc 0
  ;;

lists)
  cp -r "$samples/src" src
  mkdir lists
  run -q -f src --lists lists "$samples/sound.zip"
  expect_rc 0
  unzip -Z1 "$samples/sound.zip" >want.x1
  cmp -s want.x1 lists/x1.txt || fail "x1.txt is not the archive's names in directory order"
  printf '%s\n' "$work/src/a.txt" "$work/src/b.txt" "$work/src/sub/c.txt" >want.x2
  sort lists/x2.txt | cmp -s want.x2 - || fail "x2.txt: $(tr '\n' ' ' <lists/x2.txt)"
  ;;

help_version)
  for option in --help -h; do
    run "$option"
    expect_rc 0
    expect_quiet_stderr
    [ "$(head -n 1 out)" = "Usage: vormic-cli [OPTION]... ARCHIVE..." ] ||
      fail "$option: first line"
    for word in --folder --etag --part-size --expect-etag --checksum --expect-checksum --lists \
      --keep-going --files-from --null --json --quiet --help --version "Exit status"; do
      grep -q -e "$word" out || fail "$option does not mention $word"
    done
  done
  run --version
  expect_rc 0
  [ "$(sed -n 1p out)" = "vormic-cli 1.11" ] || fail "version line: $(sed -n 1p out)"
  grep -Eqx 'inflate and CRC-32: (ISA-L|zlib)' out || fail "codec line: $(sed -n 2p out)"
  grep -Eqx 'other methods: Deflate64 \(built in\), bzip2 \(libbz2 [0-9.]+\), LZMA and xz \(liblzma [0-9.]+\), zstd \(libzstd [0-9.]+\)' out ||
    fail "decoders line: $(sed -n 3p out)"
  VORMIC_CODEC=zlib run --version
  [ "$(sed -n 2p out)" = "inflate and CRC-32: zlib" ] || fail "VORMIC_CODEC=zlib: $(sed -n 2p out)"
  ;;

usage)
  # arguments (| between them) -> what standard error must say
  rows=(
    "<none>|missing ARCHIVE"
    "-f|$work|a.zip|b.zip|--folder: only with one ARCHIVE"
    "--files-from|list|-f|$work|--folder: only with one ARCHIVE"
    "-l|$work|a.zip|b.zip|--lists: only with one ARCHIVE"
    "--expect-etag|abc|--files-from|list|--expect-etag: only with one ARCHIVE"
    "--null|a.zip|--null: only with --files-from"
    "--files-from=|--files-from: empty file name"
    "--bogus|a.zip|unknown option '--bogus'"
    "-qx|a.zip|unknown option '-x'"
    "--folder|option needs a value: '--folder'"
    "a.zip|-f|option needs a value: '-f'"
    "--lists|option needs a value: '--lists'"
    "--etag=yes|a.zip|option takes no value: '--etag'"
    "--part-size|4MiB|a.zip|--part-size: not a size from 5 MiB to 5 GiB: '4MiB'"
    "--part-size=6GiB|a.zip|--part-size: not a size from 5 MiB to 5 GiB: '6GiB'"
    "--part-size|8M|a.zip|--part-size: not a size from 5 MiB to 5 GiB: '8M'"
    "--expect-etag=|a.zip|--expect-etag: empty value"
    "--lists|$work/none|a.zip|--lists: not a folder: '$work/none'"
    "--folder||a.zip|--folder: empty folder name"
    "--etag|--folder|$work/none|a.zip|--folder: not a folder: '$work/none'"
    "-f|$work/none/deeper|a.zip|--folder: not a folder: '$work/none/deeper'"
    "-f|$bin|a.zip|--folder: not a folder: '$bin'"
    "<empty>|ARCHIVE is empty"
    "--checksum|sha3|a.zip|--checksum: not an algorithm of CRC64NVME, CRC32, CRC32C, SHA1, SHA256, SHA512, MD5: 'sha3'"
    "--checksum=crc32,|a.zip|--checksum: not an algorithm of CRC64NVME, CRC32, CRC32C, SHA1, SHA256, SHA512, MD5: ''"
    "--expect-checksum|SHA3:AAAAAA==|a.zip|Not ALG:VALUE with ALG one of CRC64NVME, CRC32, CRC32C, SHA1, SHA256, SHA512, MD5: SHA3:AAAAAA=="
    "--expect-checksum|AAAAAA==|a.zip|Not ALG:VALUE with ALG one of CRC64NVME, CRC32, CRC32C, SHA1, SHA256, SHA512, MD5: AAAAAA=="
    "--expect-checksum=crc32:|a.zip|Not a CRC32 checksum: "
    "--expect-checksum|CRC32:AAAAAAA=|a.zip|Not a CRC32 checksum: AAAAAAA="
    "--expect-checksum|crc32c:AA*AAA==|a.zip|Not a CRC32C checksum: AA*AAA=="
    "--expect-checksum|SHA1:AAAAAA==|a.zip|Not a SHA1 checksum: AAAAAA=="
    "--expect-checksum|CRC32:AAAAAA==-0|a.zip|Not a CRC32 checksum: AAAAAA==-0"
    "--expect-checksum|CRC32:AAAAAA==-10001|a.zip|Not a CRC32 checksum: AAAAAA==-10001"
    "--expect-checksum|CRC32:AAAAAA==|a.zip|b.zip|--expect-checksum: only with one ARCHIVE"
  )
  for row in "${rows[@]}"; do
    IFS='|' read -r -a fields <<<"$row"
    want=${fields[-1]}
    args=("${fields[@]:0:${#fields[@]}-1}")
    [ "${args[0]}" = "<none>" ] && args=()
    [ "${args[0]:-}" = "<empty>" ] && args=("")
    run "${args[@]}"
    expect_rc 2
    [ ! -s out ] || fail "[${args[*]}] wrote to standard output"
    grep -qF -- "vormic-cli: $want" err || fail "[${args[*]}] stderr: $(head -n 1 err)"
    grep -qF -- "Try 'vormic-cli --help'" err || fail "[${args[*]}] no hint to --help"
  done
  # At most 8 expected checksums.
  nine=()
  for _ in $(seq 9); do nine+=(--expect-checksum CRC32:AAAAAA==); done
  run "${nine[@]}" a.zip
  expect_rc 2
  grep -qF -- "vormic-cli: --expect-checksum: more than 8 values" err || fail "9 values: $(head -n 1 err)"
  # "--" ends the options, so an archive may be named like one; an option may follow the name.
  cp "$samples/sound.zip" ./-sound.zip
  run -q -- -sound.zip
  expect_rc 0
  run ./-sound.zip -q
  expect_rc 0
  [ "$(tail -n 1 out)" = "Successful verification" ] || fail "option after the archive"
  ;;

hostile_names)
  # Every name fails its lookup in an empty folder, so each one is printed in a log line.
  mkdir empty
  run -f empty "$samples/hostile.zip"
  expect_rc 1
  expect_quiet_stderr
  {
    echo "Verifying externally..."
    i=0  # entries are numbered from 0
    while IFS= read -r shown; do
      echo "$i: Can't open $shown"
      i=$((i + 1))
    done < <(hostile_shown)
    echo "Verified 5 files"
    echo "5 couldn't be opened externally"
    echo "5 compared correctly"  # CRC-32 only, when no external file opened
    echo "Number of files in archive does not match source folder (5 != 0)"
  } | expect_out
  py - "$work/out" <<'PY' || fail "a byte that drives a terminal reached standard output"
import re, sys
data = open(sys.argv[1], "rb").read()
sys.exit(1 if re.search(rb"[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]|\x9b", data) else 0)
PY
  ;;

live_line)
  # The status line on a terminal of 20, 31 and 80 columns: each drawing is "\r", the run's
  # percentage and the line cut to the width less one cell, never inside a character or an
  # escape, and "\x1b[K"; the last one takes the line away. Nothing reaches a terminal with
  # --quiet.
  mkdir empty
  for columns in 20 31 80; do
    pty_run watch "$columns" -f empty "$samples/hostile.zip"
    [ "$rc" -eq 1 ] || fail "$columns columns: exit status $rc"
    py - "$work/tty" "$columns" "$(hostile_shown | head -n 1)" <<'PY' || fail "$columns columns"
import re, sys, unicodedata
tty, columns, first = open(sys.argv[1], "rb").read(), int(sys.argv[2]), sys.argv[3]
def width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)
if not tty.startswith(b"\r") or not tty.endswith(b"\r\x1b[K"):
    sys.exit("not drawn in place, or not taken away at the end: %r" % tty[:80])
drawings = tty[1:].split(b"\r")
for d in drawings:
    if not d.endswith(b"\x1b[K"):
        sys.exit("a drawing without its clear: %r" % d)
    text = d[:-3].decode("utf-8")  # a split character would not decode
    if any(ord(c) < 0x20 or 0x7f <= ord(c) <= 0x9f for c in text):
        sys.exit("a control character on the terminal: %r" % text)
    if width(text) > columns - 1:
        sys.exit("%d columns drawn on %d: %r" % (width(text), columns, text))
percents = [re.match(rb"(\d{1,3})% ", d) for d in drawings[:-1]]
if not all(percents) or any(int(p.group(1)) > 100 for p in percents):
    sys.exit("a drawing that does not start with a percentage: %r" % drawings)
# The first drawing is 0 % and the first entry's name, as long as the width allows: one more
# piece of the name would not have fitted.
prefix = percents[0].group(0).decode()
shown = drawings[0][len(prefix):-3].decode("utf-8")
if prefix != "0% " or not first.startswith(shown):
    sys.exit("first drawing %r is not 0 %% and the start of %r" % (prefix + shown, first))
rest = first[len(shown):]
# The next piece: a C1 control in UTF-8 is shown as two escapes, any other escape as one.
piece = rest[:8] if rest.startswith("\\xc2\\x") else rest[:4] if rest.startswith("\\x") else rest[:1]
if width(prefix + shown) + width(piece) <= columns - 1:
    sys.exit("cut short: %r on %d columns" % (shown, columns))
PY
  done
  pty_run watch 80 --quiet -f empty "$samples/hostile.zip"
  [ ! -s tty ] || fail "--quiet wrote to the terminal: $(head -c 80 tty | od -c | head -n 2)"
  ;;

etag)
  cp "$samples/sound.zip" a.zip
  read -r md5 multipart < <(py - a.zip <<'PY'
import hashlib, sys
data = open(sys.argv[1], "rb").read()
parts = [data[i:i + 10485760] for i in range(0, len(data), 10485760)]
digests = b"".join(hashlib.md5(p).digest() for p in parts)
print(hashlib.md5(data).hexdigest(), "%s-%d" % (hashlib.md5(digests).hexdigest(), len(parts)))
PY
)
  run --etag a.zip
  expect_rc 0
  expect_quiet_stderr
  expect_out <<EOF

ETag: $multipart
MD5: $md5
Multipart ETag: $multipart

Verifying internally...
Verified 3 files
Successful verification
EOF
  printf 'MD5: %s\nMultipart ETag: %s\n\n' "$md5" "$multipart" >want.md5
  cmp -s want.md5 a.zip.md5 || fail "a.zip.md5: $(od -c a.zip.md5 | head -n 3)"
  # An ETag failure is the outcome and nothing is verified.
  run --etag missing.zip
  expect_rc 1
  expect_out <<'EOF'
Can't open archive
EOF
  [ ! -e missing.zip.md5 ] || fail "an ETag file for a missing archive"
  # Another part size names itself in the ETag line; an expected ETag of 8 MiB parts is found
  # (implying --etag) and the verification follows. (A failed ETag ends the run as the missing
  # archive above does; the mismatch texts are etag_test's.)
  head -c $((8 * 1048576 + 3)) /dev/urandom >big.bin
  read -r big_md5 etag8 < <(py - big.bin <<'PY'
import hashlib, sys
data, part = open(sys.argv[1], "rb").read(), 8 << 20
digests = b"".join(hashlib.md5(data[i:i + part]).digest() for i in range(0, len(data), part))
print(hashlib.md5(data).hexdigest(), "%s-2" % hashlib.md5(digests).hexdigest())
PY
)
  run --part-size 8MiB -q big.bin
  printf 'MD5: %s\nMultipart ETag (8 MiB parts): %s\n\n' "$big_md5" "$etag8" >want.md5
  cmp -s want.md5 big.bin.md5 || fail "big.bin.md5 of 8 MiB parts: $(head -c 200 big.bin.md5)"
  rm big.bin.md5
  run --expect-etag "$etag8" -q big.bin
  expect_rc 1
  head -n 7 out >out.head
  mv out.head out
  expect_out <<EOF

ETag: $etag8
MD5: $big_md5
Multipart ETag (8 MiB parts): $etag8

ETag matches with 8 MiB parts
Verifying internally...
EOF
  cmp -s want.md5 big.bin.md5 || fail "big.bin.md5 after a match: $(head -c 200 big.bin.md5)"
  rm big.bin.md5
  ;;

checksum)
  # Values by Python's hashlib and zlib (every algorithm is checked against Python in etag_test).
  cat >checksums.py <<'PY'
import base64, hashlib, sys, zlib
algs = {"CRC32": lambda d: zlib.crc32(d).to_bytes(4, "big"),
        "SHA1": lambda d: hashlib.sha1(d).digest(),
        "SHA256": lambda d: hashlib.sha256(d).digest(), "MD5": lambda d: hashlib.md5(d).digest()}
data = open(sys.argv[1], "rb").read()
for request in sys.argv[2:]:  # ALG:0 for the whole file, ALG:SIZE for parts of SIZE bytes
    alg, size = request.split(":")
    f, size = algs[alg], int(size)
    if size == 0:
        print(base64.b64encode(f(data)).decode())
    else:
        parts = [data[i:i + size] for i in range(0, len(data), size)]
        print(base64.b64encode(f(b"".join(f(p) for p in parts))).decode() + "-%d" % len(parts))
PY
  cp "$samples/sound.zip" a.zip
  read -r md5 multipart < <(py - a.zip <<'PY'
import hashlib, sys
data = open(sys.argv[1], "rb").read()
print(hashlib.md5(data).hexdigest(), hashlib.md5(hashlib.md5(data).digest()).hexdigest() + "-1")
PY
)
  read -r sha1 crc md5b64 < <(py checksums.py a.zip SHA1:0 CRC32:0 MD5:0 | paste -sd ' ')
  # --checksum implies --etag; the lines in the order first named, whatever case was typed.
  run --checksum sha1,CRC32 --checksum md5,crc32 a.zip
  expect_rc 0
  expect_quiet_stderr
  expect_out <<EOF

ETag: $multipart
SHA1: $sha1
CRC32: $crc
MD5 base64: $md5b64
MD5: $md5
Multipart ETag: $multipart

Verifying internally...
Verified 3 files
Successful verification
EOF
  printf 'MD5: %s\nMultipart ETag: %s\nSHA1: %s\nCRC32: %s\nMD5 base64: %s\n\n' \
    "$md5" "$multipart" "$sha1" "$crc" "$md5b64" >want.md5
  cmp -s want.md5 a.zip.md5 || fail "a.zip.md5: $(od -c a.zip.md5 | head -n 5)"
  # libcrypto is opened for a SHA checksum only: a run without one never loads it (the dynamic
  # loader's own log of the files it opens).
  for alg in crc32,md5 sha1 sha512; do
    LD_DEBUG=files "$bin" --checksum "$alg" a.zip >/dev/null 2>ld.log || true
    if [[ $alg == sha* ]]; then
      grep -q 'file=libcrypto' ld.log || fail "--checksum $alg: libcrypto was not loaded"
    else
      ! grep -q 'libcrypto' ld.log || fail "--checksum $alg: libcrypto was loaded"
    fi
  done
  # Expected values: a whole-file one and composites of 8 MiB parts (implying --checksum), with
  # an expected ETag, which is judged first; the file is read once for all.
  head -c $((8 * 1048576 + 3)) /dev/urandom >big.bin
  read -r big_md5 etag8 < <(py - big.bin <<'PY'
import hashlib, sys
data, part = open(sys.argv[1], "rb").read(), 8 << 20
digests = b"".join(hashlib.md5(data[i:i + part]).digest() for i in range(0, len(data), part))
print(hashlib.md5(data).hexdigest(), "%s-2" % hashlib.md5(digests).hexdigest())
PY
)
  read -r sha crc32 sha8 crc32_8 < <(py checksums.py big.bin SHA256:0 CRC32:0 SHA256:8388608 \
    CRC32:8388608 | paste -sd ' ')
  run -q --expect-etag "$etag8" --expect-checksum "sha256:$sha8" \
    --expect-checksum "CRC32:$crc32_8" --expect-checksum "SHA256:$sha" big.bin
  expect_rc 1  # not a ZIP archive: the verification after the checks fails
  head -n 14 out >out.head
  mv out.head out
  expect_out <<EOF

ETag: $etag8
SHA256: $sha
CRC32: $crc32
SHA256 (8 MiB parts): $sha8
CRC32 (8 MiB parts): $crc32_8
MD5: $big_md5
Multipart ETag (8 MiB parts): $etag8

ETag matches with 8 MiB parts
Checksum matches: SHA256
Checksum matches: SHA256 with 8 MiB parts
Checksum matches: CRC32 with 8 MiB parts
Verifying internally...
EOF
  printf 'MD5: %s\nMultipart ETag (8 MiB parts): %s\nSHA256: %s\nCRC32: %s\n' "$big_md5" \
    "$etag8" "$sha" "$crc32" >want.md5
  printf 'SHA256 (8 MiB parts): %s\nCRC32 (8 MiB parts): %s\n\n' "$sha8" "$crc32_8" >>want.md5
  cmp -s want.md5 big.bin.md5 || fail "big.bin.md5: $(head -c 400 big.bin.md5)"
  # A mismatch is the outcome: exit status 1, nothing verified, nothing written. The first
  # value is the whole file's CRC-32 taken for a composite; the second a composite of 3 parts,
  # which no part size gives this file: not read at all.
  # The third is longer than a status line shows (blanks around a value are allowed): standard
  # output has it whole.
  rm big.bin.md5
  other_sha=A${sha:1}
  [ "$other_sha" != "$sha" ] || other_sha=B${sha:1}
  for value in "CRC32:$crc32-2" "SHA256:${sha8%-2}-3" "SHA256:$(printf '%250s' '')$other_sha"; do
    run -q --expect-checksum "$value" big.bin
    expect_rc 1
    expect_out <<EOF
Checksum does not match $value
EOF
    [ ! -e big.bin.md5 ] || fail "$value: an ETag file after a mismatch"
  done
  ;;

sigint)
  # Stopped at the first report: the entry's own status line.
  # Standard output is a pipe; a stop ends with "Stopped by user" and exit status 130.
  pty_run stop-start 80 "$samples/sound.zip"
  [ "$rc" -eq 130 ] || fail "first report: exit status $rc"
  expect_out <<'EOF'
Verifying internally...
Stopped
Stopped by user
EOF
  # Stopped inside the data of a 1 GiB entry.
  pty_run stop-mid 80 "$samples/big.zip"
  [ "$rc" -eq 130 ] || fail "inside the data: exit status $rc"
  expect_out <<'EOF'
Verifying internally...
Stopped
Stopped by user
Stopped by user
EOF
  # Stopped during the ETag: no ETag file, no verifying.
  ln -s "$samples/big.zip" big.zip
  pty_run stop-start 80 --etag big.zip
  [ "$rc" -eq 130 ] || fail "during the ETag: exit status $rc"
  expect_out <<'EOF'
Stopped by user
EOF
  [ ! -e big.zip.md5 ] || fail "a stopped ETag wrote its file"
  # A second SIGINT does not wait for the run: SIGINT's own default ends the process.
  pty_run stop-twice 80 "$samples/big.zip"
  [ "$rc" -eq -2 ] || fail "second SIGINT: exit status $rc, expected death by SIGINT"
  ;;

output_errors)
  if [ -w /dev/full ]; then
    set +e
    "$bin" "$samples/sound.zip" >/dev/full 2>err
    rc=$?
    set -e
    expect_rc 1
    grep -qx "vormic-cli: cannot write to standard output: No space left on device" err ||
      fail "full disk: $(cat err)"
    set +e
    "$bin" --help >/dev/full 2>err
    rc=$?
    set -e
    expect_rc 1
  fi
  set +e
  "$bin" "$samples/sound.zip" 2>err >&-
  rc=$?
  set -e
  expect_rc 1
  grep -q "cannot write to standard output" err || fail "closed output: $(cat err)"
  ;;

keep_going)
  # Without --keep-going the first fault ends the run, as it always has; with it every damaged
  # entry is named, the walk's closing lines follow, then the count of damaged entries.
  run "$samples/damaged.zip"
  expect_rc 1
  expect_out <<'EOF'
Verifying internally...
Entry 0: a.txt
Central directory and calculated CRCs not equal
Verification failed
EOF
  run --keep-going "$samples/damaged.zip"
  expect_rc 1
  expect_out <<'EOF'
Verifying internally...
Entry 0: a.txt
Central directory and calculated CRCs not equal
Entry 2: c/d.txt
Central directory and calculated CRCs not equal
Verified 4 files
Damaged entries: 2 of 4
Verification failed
EOF
  # Nothing damaged: the same output as without it.
  run "$samples/sound.zip"
  mv out plain
  run -k "$samples/sound.zip"
  expect_rc 0
  expect_out <plain
  ;;

several)
  # Several archives: each one's output whole, in the order named, after its "Archive:" line,
  # exactly as a call for that archive alone prints it; then the count. For any --jobs, with and
  # without the ETag (each archive its own ARCHIVE.md5, also one named twice).
  cp "$samples/sound.zip" "$samples/damaged.zip" "$samples/hostile.zip" .
  mkdir folder.zip
  names=(sound.zip damaged.zip missing.zip folder.zip hostile.zip sound.zip)
  for options in "" "--etag" "--keep-going"; do
    : >want
    verified=0
    for name in "${names[@]}"; do
      # shellcheck disable=SC2086
      run $options "$name"
      [ "$rc" -eq 0 ] && verified=$((verified + 1))
      { echo "Archive: $name"; cat out; } >>want
    done
    echo "$verified of ${#names[@]} archives verified" >>want
    [ "$verified" -eq 3 ] || fail "[$options] 3 archives pass alone, $verified did"
    for jobs in 1 2 3 16; do
      # shellcheck disable=SC2086
      run $options --jobs "$jobs" "${names[@]}"
      expect_rc 1
      cmp -s want out || fail "[$options] --jobs $jobs: $(diff want out | head -n 6)"
    done
  done
  [ -s sound.zip.md5 ] && [ -s hostile.zip.md5 ] || fail "--etag: an ETag file is missing"
  run -q sound.zip hostile.zip
  expect_rc 0
  [ "$(tail -n 1 out)" = "2 of 2 archives verified" ] || fail "all verified: $(tail -n 1 out)"
  ;;

files_from)
  cp "$samples/sound.zip" a.zip
  cp "$samples/hostile.zip" b.zip
  # Lines, an empty one skipped, the last without its line feed; after the arguments' names.
  printf 'b.zip\n\na.zip' >list
  run --files-from list a.zip
  expect_rc 0
  [ "$(grep '^Archive: ' out | tr '\n' ' ')" = "Archive: a.zip Archive: b.zip Archive: a.zip " ] ||
    fail "order: $(grep '^Archive: ' out | tr '\n' ' ')"
  [ "$(tail -n 1 out)" = "3 of 3 archives verified" ] || fail "count: $(tail -n 1 out)"
  # Standard input, NUL-separated: names holding a line feed, a byte outside UTF-8 and an
  # escape; each header shows its name as every line does.
  cp a.zip "$(printf 'line\nfeed.zip')"
  cp a.zip "$(printf 'latin\351.zip')"
  cp a.zip "$(printf 'esc\033[2J.zip')"
  set +e
  printf 'line\nfeed.zip\0latin\351.zip\0esc\033[2J.zip\0' |
    "$bin" --null --files-from - -q >out 2>err
  rc=$?
  set -e
  expect_rc 0
  grep -a '^Archive: ' out >headers
  printf 'Archive: line\\x0afeed.zip\nArchive: latin\351.zip\nArchive: esc\\x1b[2J.zip\n' |
    cmp -s - headers || fail "headers: $(od -c headers | head -n 4)"
  # A name longer than a path can be fails as a name that cannot be opened, shown cut with
  # "..."; the next archive goes on.
  long=$(head -c 5000 /dev/zero | tr '\0' x)
  printf '%s\na.zip\n' "$long" >list
  run --files-from list
  expect_rc 1
  expect_out <<EOF
Archive: $(head -c 4096 /dev/zero | tr '\0' x)...
Verifying internally...
Can't open archive
Verification failed
Archive: a.zip
Verifying internally...
Verified 3 files
Successful verification
1 of 2 archives verified
EOF
  # No archive at all, a list that is not there or is a folder: usage errors, nothing on
  # standard output.
  : >empty
  printf '\n\n' >blank
  for row in "empty|no ARCHIVE named" "blank|no ARCHIVE named" \
    "none|--files-from: cannot open 'none': No such file or directory" \
    ".|--files-from: cannot open '.': Is a directory"; do
    run --files-from "${row%%|*}"
    expect_rc 2
    [ ! -s out ] || fail "[$row] wrote to standard output"
    grep -qF -- "vormic-cli: ${row#*|}" err || fail "[$row] stderr: $(head -n 1 err)"
  done
  ;;

json)
  # Every line parses as JSON; each archive's object agrees with what text mode prints for it
  # alone (result, last line, log lines), then the summary counts them.
  cp "$samples/sound.zip" "$samples/damaged.zip" "$samples/hostile.zip" .
  mkdir empty
  names=(sound.zip damaged.zip missing.zip hostile.zip)
  for options in "" "--keep-going"; do
    i=0
    for name in "${names[@]}"; do
      # shellcheck disable=SC2086
      run $options "$name"
      cp out "text$i"
      echo "$rc" >"rc$i"
      i=$((i + 1))
    done
    # shellcheck disable=SC2086
    run $options --json --jobs 2 "${names[@]}"
    expect_rc 1
    py - out "${#names[@]}" <<'PY' || fail "[$options] JSON report"
import json, sys
lines = open(sys.argv[1], "rb").read().split(b"\n")
count = int(sys.argv[2])
assert lines[-1] == b"" and len(lines) == count + 2, lines
objects = [json.loads(line.decode("utf-8")) for line in lines[:-1]]
keys = ["archive", "result", "text", "log", "faults", "entries", "md5", "etag", "part_size",
        "checksums", "seconds"]
verified = 0
for i, o in enumerate(objects[:-1]):
    assert list(o) == keys, list(o)
    text = open("text%d" % i, "rb").read().decode("utf-8").split("\n")[:-1]
    rc = int(open("rc%d" % i).read())
    assert o["result"] == {0: "verified", 1: "failed"}[rc], (o["result"], rc)
    assert o["text"] == text[-1] and o["log"] == text[:-1], (o, text)
    assert o["md5"] is o["etag"] is o["part_size"] is o["checksums"] is None
    assert isinstance(o["seconds"], float) and o["seconds"] >= 0
    verified += rc == 0
    # The faults are the walk's: each one's text is a log line, after its "Entry" line.
    at = -1
    for f in o["faults"]:
        at = o["log"].index(f["text"], at + 1)
        if f["entry"] is None:
            assert f["name"] is None
        else:
            assert o["log"][at - 1] == "Entry %d: %s" % (f["entry"], f["name"]), f
by_name = {o["archive"]: o for o in objects[:-1]}
damaged = by_name["damaged.zip"]
assert [f["entry"] for f in damaged["faults"]] == \
    ([0, 2] if "Damaged entries: 2 of 4" in damaged["log"] else [0]), damaged
assert damaged["entries"] == 4
assert by_name["missing.zip"]["entries"] is None
assert by_name["missing.zip"]["faults"] == [{"entry": None, "name": None,
                                             "text": "Can't open archive"}]
assert objects[-1] == {"summary": {"archives": count, "verified": verified,
                                   "failed": count - verified, "stopped": 0}, "format": 1}
PY
  done
  # Names that would drive a terminal, from the archive (one archive, against an empty folder:
  # a line per name) and in the archive's own name: valid UTF-8 JSON, each byte stdout escapes
  # or that is not UTF-8 written as the text \xNN, the log as text mode shows it.
  hostile_copy=$(printf 'h\033]0;x\007\351.zip')
  cp hostile.zip "$hostile_copy"
  run -f empty "$hostile_copy"
  cp out text
  run --json -f empty "$hostile_copy"
  expect_rc 1
  py - out text <<'PY' || fail "hostile names in JSON"
import json, re, sys
raw = open(sys.argv[1], "rb").read()
raw.decode("utf-8")  # valid UTF-8 throughout
if re.search(rb"[\x00-\x09\x0b-\x1f\x7f]", raw):
    sys.exit("a control byte in the JSON text")
o = json.loads(raw.split(b"\n")[0])
assert o["archive"] == "h\\x1b]0;x\\x07\\xe9.zip", o["archive"]
# Text mode keeps a lone byte that is no UTF-8 (a Latin-1 letter) as it is; JSON escapes it.
text = [l.replace(b"\xe9", b"\\xe9").decode("utf-8")
        for l in open(sys.argv[2], "rb").read().split(b"\n")[:-1]]
assert o["log"] == text[:-1] and o["text"] == text[-1], (o["log"], text)
assert sum(1 for l in o["log"] if "Can't open" in l) == 5
PY
  # The ETag step's values, when it succeeded; null for an archive whose ETag failed.
  run --json --etag sound.zip missing.zip
  expect_rc 1
  py - out sound.zip <<'PY' || fail "ETag fields"
import hashlib, json, sys
objects = [json.loads(l) for l in open(sys.argv[1])]
data = open(sys.argv[2], "rb").read()
o = objects[0]
assert o["md5"] == hashlib.md5(data).hexdigest(), o["md5"]
assert o["etag"] == hashlib.md5(hashlib.md5(data).digest()).hexdigest() + "-1", o["etag"]
assert o["part_size"] == 10485760 and o["checksums"] == {}
assert "MD5: " + o["md5"] in o["log"] and "Multipart ETag: " + o["etag"] in o["log"]
m = objects[1]
assert m["result"] == "failed" and m["text"] == "Can't open archive" and m["log"] == []
assert m["md5"] is m["etag"] is m["part_size"] is m["checksums"] is m["entries"] is None
PY
  # With the ETag and --keep-going: the faults as without the ETag, and the checksums asked for.
  run --json --etag -k --checksum crc32c,sha256 damaged.zip
  expect_rc 1
  py - out damaged.zip <<'PY' || fail "faults and checksums after the ETag"
import base64, hashlib, json, sys
o = json.loads(open(sys.argv[1]).readline())
assert [(f["entry"], f["name"]) for f in o["faults"]] == [(0, "a.txt"), (2, "c/d.txt")], o
data = open(sys.argv[2], "rb").read()
assert o["checksums"]["SHA256"] == base64.b64encode(hashlib.sha256(data).digest()).decode(), o
assert list(o["checksums"]) == ["CRC32C", "SHA256"], o["checksums"]
PY
  ;;

batch_sigint)
  # A list that never ends (a FIFO no one writes to): Ctrl-C still stops the call.
  mkfifo fifo
  set +e
  "$bin" --files-from fifo >out 2>err &
  pid=$!
  for _ in $(seq 400); do
    grep -q '^SigCgt:.*[2367abef]$' "/proc/$pid/status" 2>/dev/null && break
    sleep 0.05
  done
  kill -INT "$pid"
  wait "$pid"
  rc=$?
  set -e
  expect_rc 130
  expect_out <<'EOF'
0 of 0 archives verified
Stopped by user
EOF
  # Inside a long archive: it ends as a call for it alone would; the one after it is not
  # started; the count, then "Stopped by user".
  ln -s "$samples/sound.zip" a.zip
  ln -s "$samples/big.zip" big.zip
  set +e
  "$bin" --jobs 1 a.zip big.zip a.zip >out 2>err &
  pid=$!
  for _ in $(seq 400); do
    ls -l "/proc/$pid/fd" 2>/dev/null | grep -q 'big\.zip$' && break
    sleep 0.01
  done
  kill -INT "$pid"
  wait "$pid"
  rc=$?
  set -e
  expect_rc 130
  expect_out <<'EOF'
Archive: a.zip
Verifying internally...
Verified 3 files
Successful verification
Archive: big.zip
Verifying internally...
Stopped
Stopped by user
Stopped by user
1 of 2 archives verified
Stopped by user
EOF
  ;;

soak)
  # 10,000 archives in one call: every result is printed and dropped, so the peak memory of
  # 10,000 is that of 1,000. Each archive's report (--keep-going over 20 damaged entries, about
  # 4 KB of JSON) is long enough that keeping them would show. ASan's quarantine holds freed
  # memory back on purpose, so it is turned off for the comparison.
  ln -s "$samples/soak.zip" s.zip
  py - "$bin" <<'PY' || fail "soak"
import json, os, resource, subprocess, sys
env = dict(os.environ, ASAN_OPTIONS="quarantine_size_mb=0:thread_local_quarantine_size_kb=0:"
           + os.environ.get("ASAN_OPTIONS", ""))
def peak(count):
    with open("list", "w") as f:
        f.write("s.zip\n" * count)
    code = ("import resource, subprocess, sys\n"
            "rc = subprocess.run(sys.argv[1:], stdout=open('report', 'wb')).returncode\n"
            "print(rc, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    out = subprocess.run([sys.executable, "-S", "-c", code, sys.argv[1], "--json", "--keep-going",
                          "--jobs", "2", "--files-from", "list"],
                         env=env, capture_output=True, text=True, check=True).stdout.split()
    rc, kib = int(out[0]), int(out[1])
    with open("report", "rb") as f:
        lines = 0
        for line in f:
            lines += 1
            last = line
    assert rc == 1 and lines == count + 1, (rc, lines)
    assert json.loads(last)["summary"] == {"archives": count, "verified": 0, "failed": count,
                                           "stopped": 0}
    return kib
small, large = peak(1000), peak(10000)
print("peak RSS: 1,000 archives %d KiB, 10,000 archives %d KiB" % (small, large))
sys.exit(0 if large <= small + 4096 else 1)
PY
  ;;

*)
  echo "unknown case $case_name"
  exit 1
  ;;
esac

if [ "$failures" -gt 0 ]; then
  echo "$case_name: $failures check(s) failed"
  exit 1
fi
echo "$case_name: passed"
