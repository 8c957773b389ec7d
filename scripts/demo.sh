#!/usr/bin/env bash
# Sets up, builds and runs the main job: `kivora demo`.
# Extra arguments go to the demo (for example a media file of your own).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target kivora_app

# Headless machines: no display, no sound card.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
fi
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}

exec build/apps/kivora/kivora demo "$@"
