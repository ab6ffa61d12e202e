#!/usr/bin/env bash
# vormic-cli's bash completion, completed word by word: each row gives the words of a command line
# (the last one is being completed) and the exact set of completions expected, in a folder built
# here with .zip files in both cases, other files and folders (one with a space in its name).
#   tests/completion_test.sh [COMPLETION_FILE]   (default: packaging/vormic-cli.bash)
set -uo pipefail
file=$(realpath "${1:-$(dirname "$0")/../packaging/vormic-cli.bash}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir sub "my dir" folder.zip
: > a.zip
: > B.ZIP
: > notes.txt
: > -odd.zip
: > sub/c.zip
: > sub/d.txt

# shellcheck source=/dev/null
source "$file" || { echo "FAIL: cannot source $file"; exit 1; }
if [[ $(complete -p vormic-cli 2>/dev/null) != "complete -F _vormic_cli vormic-cli" ]]; then
  echo "FAIL: sourcing $file does not register _vormic_cli for vormic-cli"
  exit 1
fi

failures=0
rows=0
# row NAME EXPECTED WORD...: EXPECTED lists the completions separated by "|" (any order);
# the words follow "vormic-cli", the cursor is at the end of the last one.
row() {
  local name=$1 expected=$2
  shift 2
  COMP_WORDS=(vormic-cli "$@")
  COMP_CWORD=$#
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _vormic_cli vormic-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
  local got want
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd'|')
  want=$(tr '|' '\n' <<<"$expected" | LC_ALL=C sort | paste -sd'|')
  rows=$((rows + 1))
  if [[ $got != "$want" ]]; then
    echo "FAIL: $name: vormic-cli $*"
    echo "  expected: $want"
    echo "  got:      $got"
    failures=$((failures + 1))
  fi
}

algs="CRC64NVME|CRC32|CRC32C|SHA1|SHA256|SHA512|MD5"
archives="a.zip|B.ZIP|-odd.zip|sub|my dir|folder.zip"

row "long options by prefix" "--etag|--expect-etag|--expect-checksum" --e
row "one option" "--folder" --fo
row "checksum options" "--checksum" --ch
row "options after flags" "--version" -e --quiet --v
row "archive: .zip in any case, folders" "$archives" ""
row "archive by prefix, a space in the name" "my dir" m
row "archive in a folder" "sub/c.zip" sub/
row "several archives" "$archives" a.zip ""
row "--files-from: any file" "a.zip|B.ZIP|notes.txt|-odd.zip|sub|my dir|folder.zip" --files-from ""
row "--files-from: by prefix" "notes.txt" --files-from n
row "the batch options" "--files-from" --fi
row "--json and --jobs" "--json|--jobs" --j
row "archive after --files-from LIST" "$archives" --files-from notes.txt --null ""
row "options after the archive" "--quiet" a.zip --qu
row "a flag takes no value" "$archives" -e ""
row "after -- a dash starts an archive" "-odd.zip" -- -
row "--folder: folders only" "sub|my dir|folder.zip" --folder ""
row "-f: folders by prefix" "my dir" -f m
row "--lists: folders only" "sub|my dir|folder.zip" --lists ""
row "-l: folder by prefix" "sub" -l s
row "--folder=: after the equals sign" "sub|my dir|folder.zip" --folder =
row "--folder=s" "sub" --folder = s
row "archive after --folder=DIR" "$archives" --folder = sub ""
row "archive after --folder DIR" "$archives" --folder sub ""
row "--part-size: the usual sizes" "5MiB|8MiB|10MiB|15MiB|16MiB" --part-size ""
row "--part-size: units after a number" "8KiB|8MiB|8GiB" --part-size 8
row "--part-size: sizes and units" "10MiB|15MiB|16MiB|1KiB|1MiB|1GiB" --part-size 1
row "--part-size=16" "16MiB|16KiB|16GiB" --part-size = 16
row "--part-size: a unit by prefix" "8MiB" --part-size 8M
row "--jobs: 1 to 16 by prefix" "1|10|11|12|13|14|15|16" --jobs 1
row "--jobs: a single count" "9" --jobs 9
row "--expect-etag: nothing to offer" "" --expect-etag ""
row "--checksum: every algorithm" "$algs" --checksum ""
row "--checksum: any case" "SHA1|SHA256|SHA512" --checksum sh
row "--checksum: CRC names" "CRC64NVME|CRC32|CRC32C" --checksum CRC
row "--checksum: the next in a list" \
  "CRC32,CRC64NVME|CRC32,CRC32C|CRC32,SHA1|CRC32,SHA256|CRC32,SHA512|CRC32,MD5" --checksum CRC32,
row "--checksum: listed ones left out" "crc32c,md5,CRC32|crc32c,md5,CRC64NVME" --checksum crc32c,md5,c
row "--expect-checksum: ALG: prefixes" "CRC64NVME:|CRC32:|CRC32C:|SHA1:|SHA256:|SHA512:|MD5:" \
  --expect-checksum ""
row "--expect-checksum: by prefix, any case" "SHA512:" --expect-checksum sha5
row "--expect-checksum: nothing after the colon" "" --expect-checksum SHA256 :
row "--expect-checksum: nor in the value" "" --expect-checksum SHA256 : a
row "archive after ALG:VALUE" "$archives" --expect-checksum SHA256 : q83v ""
row "archive after every kind of value" "sub/c.zip" --checksum MD5 --jobs 2 --part-size 8MiB \
  -l sub --expect-etag abc -q sub/

echo "$rows rows, $failures failed"
[[ $failures -eq 0 ]]
