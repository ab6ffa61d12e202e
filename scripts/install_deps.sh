#!/usr/bin/env bash
# Installs, with apt-get, the Debian 12 packages that building and testing Vormic need, and any
# named as arguments, that are not installed yet. Run by run.sh and test.sh; does nothing when all
# are there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  zlib1g-dev libisal-dev libgtest-dev qt6-base-dev libssl-dev
  libbz2-dev liblzma-dev libzstd-dev
  zip unzip python3 p7zip-full libarchive-tools xz-utils zstd
  clang libclang-rt-14-dev strace
)

# A script that needs more names those packages as arguments: bench/dialog_screenshots.sh a
# virtual display and a window manager, .ci/run the tools that make, check and validate the
# Debian package (dpkg-dev file lintian desktop-file-utils appstream).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    # python3 may come from elsewhere than Debian; any python3 on the PATH serves.
    if [ "$p" = python3 ] && command -v python3 >/dev/null 2>&1; then continue; fi
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
