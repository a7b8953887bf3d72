#!/usr/bin/env bash
# Installs the Debian packages Velloran needs. Safe to run again: it installs only what is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  libavcodec-dev libavformat-dev libavfilter-dev libavdevice-dev libavutil-dev
  libswscale-dev libswresample-dev
  libsdl2-dev
  qt6-base-dev
  libsimpleini-dev
  libgtest-dev googletest
  ffmpeg
  fonts-dejavu-core
  xvfb xauth
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  SUDO=(sudo)
fi

echo "setup: installing ${missing[*]}"
"${SUDO[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
