# bash completion for vormic-cli.                                                  -*- shell-script -*-
# Offers the options; .zip files (and the folders on the way to them) for the archives; folders
# for --folder and --lists; any file for --files-from; part sizes for --part-size; thread counts
# for --jobs; algorithm names for --checksum (a comma-separated list) and ALG: prefixes for
# --expect-checksum. Installed as
# /usr/share/bash-completion/completions/vormic-cli, which bash-completion loads the first time
# vormic-cli is completed; it uses none of bash-completion's own helpers, so sourcing it in a
# plain bash works too.

_vormic_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()

  # bash splits "ALG:VALUE" at the colon: the part after it is a digest to paste, not to complete.
  if [[ $cur == : || $prev == : ]]; then return 0; fi
  # ...and "--option=VALUE" at the equals sign, which then stands between option and value.
  if [[ $cur == = ]]; then cur=""; fi

  # Walk the words before the cursor: which option waits for its value, and whether "--" ended
  # the options.
  local i word want="" end_of_options=""
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case $word in
      =) continue ;;  # the value of the option before it follows
      :) ((i++)); continue ;;  # the rest of an ALG:VALUE already taken
    esac
    if [[ -n $want ]]; then
      want=""
    elif [[ -z $end_of_options && $word == -?* ]]; then
      case $word in
        --) end_of_options=1 ;;
        -f | --folder | -l | --lists | --part-size | --expect-etag | --jobs | --checksum | \
          --expect-checksum | --files-from) want=$word ;;
      esac
    fi
  done

  local algorithms="CRC64NVME CRC32 CRC32C SHA1 SHA256 SHA512 MD5"
  local candidate
  case $want in
    -f | --folder | -l | --lists)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return 0
      ;;
    --files-from)  # a list of names: any file ("-" is standard input)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return 0
      ;;
    --part-size)
      # The sizes uploaders use, then the units after a bare number.
      mapfile -t COMPREPLY < <(compgen -W "5MiB 8MiB 10MiB 15MiB 16MiB" -- "$cur")
      if [[ $cur =~ ^[0-9]+$ ]]; then
        for candidate in "${cur}KiB" "${cur}MiB" "${cur}GiB"; do
          [[ " ${COMPREPLY[*]} " == *" $candidate "* ]] || COMPREPLY+=("$candidate")
        done
      fi
      return 0
      ;;
    --jobs)
      mapfile -t COMPREPLY < <(compgen -W "$(echo {1..16})" -- "$cur")
      return 0
      ;;
    --checksum)
      # A comma-separated list: complete its last name, case-insensitively, leaving out the
      # names already listed.
      local listed=${cur%"${cur##*,}"} last=${cur##*,}
      for candidate in $algorithms; do
        [[ $candidate == "${last^^}"* && ",${listed^^}" != *",$candidate,"* ]] &&
          COMPREPLY+=("$listed$candidate")
      done
      return 0
      ;;
    --expect-checksum)
      for candidate in $algorithms; do
        [[ $candidate == "${cur^^}"* ]] && COMPREPLY+=("$candidate:")
      done
      compopt -o nospace 2>/dev/null
      return 0
      ;;
    ?*)  # --expect-etag: an ETag to paste
      return 0
      ;;
  esac

  if [[ -z $end_of_options && $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "-f --folder -e --etag --part-size --expect-etag \
      --checksum --expect-checksum -l --lists -k --keep-going --files-from --null --json \
      -q --quiet --jobs -h --help --version" -- "$cur")
    return 0
  fi
  # The archives: .zip files in any case, and folders to walk into.
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -d -- "$cur")
  local file
  while IFS= read -r file; do
    [[ -d $file ]] || COMPREPLY+=("$file")
  done < <(compgen -f -X '!*.[zZ][iI][pP]' -- "$cur")
  return 0
}
complete -F _vormic_cli vormic-cli
