#!/usr/bin/env bash
# Installs the Debian packages Kivora needs to build, test and run.
# Idempotent: runs apt-get only when something is missing, and quietly.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config ccache
  libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev
  libswresample-dev libavutil-dev libavdevice-dev
  libsdl2-dev libsdl2-mixer-dev
  qt6-base-dev libqt6opengl6-dev libgl-dev qt6-tools-dev
  xvfb xauth libgl1-mesa-dri
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

# The tests read numbers under a comma-decimal locale: make sure it exists.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "setup: generating the de_DE.UTF-8 locale"
  $SUDO sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^de_DE\.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi
