#!/usr/bin/env bash
# Installs the Debian packages Kivora needs to build, test and run.
# Idempotent: runs apt-get only when something is missing, and quietly.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config ccache
  libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev
  libswresample-dev libavutil-dev libavdevice-dev
  libsdl2-dev libsdl2-mixer-dev
  qt6-base-dev libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev locales
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
