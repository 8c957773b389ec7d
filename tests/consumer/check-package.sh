#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and checks it as an outside
# application would see it: every installed header compiles on its own, and
# the consumer program builds and runs both through the CMake package and
# through pkg-config; the examples and an outside program driving the
# player's events run on clips made by the installed kivora program.
# Usage: tests/consumer/check-package.sh BUILD_DIR
# (KIVORA_PLAYER_EVENT_RUNS sets how many times the player events program
# runs, 100 by default.)
set -euo pipefail

build=${1:?usage: check-package.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/kivora-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

echo "package: installing into a temporary prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

pcdir=$(dirname "$(find "$prefix" -name kivora.pc -print -quit)")
libdir=$(dirname "$(find "$prefix" -name 'libkivora.so' -print -quit)")
[ -d "$pcdir" ] && [ -d "$libdir" ] || { echo "package: kivora.pc or libkivora.so not installed" >&2; exit 1; }
export PKG_CONFIG_PATH=$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}

# Only the public API is installed: the library's insides (the movie state,
# the transcoder, the packet queues, the FFmpeg glue) stay out of the tree,
# and no installed header brings FFmpeg's format, codec, filter or scaler
# headers into an application.
echo "package: installed headers:"
(cd "$prefix/include" && find kivora -name '*.h' | sort | sed 's/^/  /')
for internal in runtime/ffmpeg.h runtime/cmdutils.h player/player_impl.h player/movie.h \
    player/packet_queue.h player/clock.h player/frame_pool.h player/decoder.h player/audio/mixer.h \
    converter/transcoder.h converter/run.h preview/preview_decoder_impl.h io/url_io.h io/buffer_protocol.h; do
  [ ! -e "$prefix/include/kivora/$internal" ] || { echo "package: internal header kivora/$internal is installed" >&2; exit 1; }
done
for h in kivora/kivora.h kivora/player.h kivora/converter.h kivora/preview.h kivora/motion.h kivora/profiles.h \
    kivora/views.h kivora/io.h kivora/recorder.h kivora/qt.h; do
  [ -e "$prefix/include/$h" ] || { echo "package: $h is not installed" >&2; exit 1; }
done

echo "package: every installed header compiles on its own, and after Qt's headers with QT_NO_KEYWORDS"
cflags=$(pkg-config --cflags kivora)
export cflags
(cd "$prefix/include" && find kivora -name '*.h' | sort) |
  xargs -P 2 -I{} sh -c '
    echo "#include <{}>" | c++ $cflags -fsyntax-only -x c++ - ||
      { echo "package: {} does not compile alone" >&2; exit 255; }
    heavy=$(echo "#include <{}>" | c++ $cflags -M -x c++ - | tr " " "\n" |
      grep -E "/(libavformat|libavcodec|libavfilter|libswscale|libswresample)/" | head -1)
    [ -z "$heavy" ] || { echo "package: {} pulls in $heavy" >&2; exit 255; }
    printf "#include <QObject>\n#include <QtWidgets>\n#include <{}>\n" |
      c++ $cflags -DQT_NO_KEYWORDS -fsyntax-only -x c++ - ||
      { echo "package: {} does not compile after Qt with QT_NO_KEYWORDS" >&2; exit 255; }'

echo "package: consumer through find_package(Kivora)"
cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/kivora_consumer"

# The Designer plugin is installed when the tree built one (Qt's Designer
# files were there); the form program then also loads the installed copy,
# which must find the installed library by itself.
plugin_arg=()
if [ -e "$build/plugins/designer/libkivora_designer.so" ]; then
  plugin=$(find "$prefix" -path '*/plugins/designer/libkivora_designer.so' -print -quit)
  [ -n "$plugin" ] || { echo "package: the Designer plugin is not installed under Qt's designer plugin folder" >&2; exit 1; }
  plugin_arg=("$plugin")
fi
echo "package: a uic-compiled form with the Kivora widgets shows"
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$work/cmake/kivora_consumer_form" "${plugin_arg[@]}"

echo "package: consumer through pkg-config"
mkdir -p "$work/pc"
make -s -C "$here" OUT="$work/pc/kivora_consumer"
LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} "$work/pc/kivora_consumer"

echo "package: the installed kivora program runs"
"$prefix/bin/kivora" version >/dev/null

# The examples of examples/, built as a user builds them and run on a clip
# made by the installed kivora program; their outputs are read back.
echo "package: the examples build and run"
examples=$here/../../examples
cmake -S "$examples" -B "$work/examples" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/examples" >/dev/null
ex=$work/examples
run=$work/run
mkdir -p "$run/all" "$run/cancelled"
kivora_bin=$prefix/bin/kivora
"$kivora_bin" convert "testsrc2=size=1280x720:rate=25:duration=20[out0];sine=duration=20[out1]" -o "$run/clip.mp4" \
  --set InputFormats=lavfi --set VideoOptions.VideoCodecName=mpeg4 >/dev/null
cp "$run/clip.mp4" "$run/second.mp4"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}
expect() {  # expect TEXT OUTPUT: fails unless OUTPUT holds TEXT
  case "$2" in *"$1"*) ;; *) echo "package: expected '$1' in: $2" >&2; exit 1 ;; esac
}
out=$(timeout 60 "$ex/thumbnail_sheet" "$run/clip.mp4" "$run/sheet.png" 4 3 2>/dev/null)
expect "12 pictures in a 960x" "$out"
[ -s "$run/sheet.png" ] || { echo "package: thumbnail_sheet wrote no sheet" >&2; exit 1; }
out=$(timeout 120 "$ex/batch_convert" "$run/all" "$run/clip.mp4" "$run/second.mp4" 2>/dev/null)
expect "2 of 2 converted" "$out"
for f in clip second; do
  expect "mpeg4" "$("$kivora_bin" probe "$run/all/$f.mkv")"
  expect "mp2" "$("$kivora_bin" probe "$run/all/$f.mkv")"
done
out=$(timeout 120 "$ex/batch_convert" "$run/cancelled" "$run/clip.mp4" --cancel-at 30 2>/dev/null)
expect "then cancelled" "$out"
expect "mpeg4" "$("$kivora_bin" probe "$run/cancelled/clip.mkv")"  # the shorter file still plays
out=$(timeout 60 "$ex/player_window" "$run/clip.mp4" --seconds 1.5 2>/dev/null)
expect "played to" "$out"
echo "package: examples: $out"

# An outside program drives the player from its event handlers: each
# handler that can be made to run closes the player, opens another file or
# destroys the player, with a Qt event loop and without one. Every run must
# end by itself; 100 runs, each given 10 s. Then blocking opens and closes
# of a 1080p clip must leave resident memory where it was.
echo "package: player events from an outside program"
events=$run/events
mkdir -p "$events"
lavfi() {  # lavfi GRAPH OUT [--set ...]: a clip made by the installed kivora program
  local graph=$1 out=$2
  shift 2
  "$kivora_bin" convert "$graph" -o "$out" --set InputFormats=lavfi "$@" >/dev/null
}
lavfi "testsrc2=size=160x120:rate=25:duration=0.2[out0];sine=frequency=440:duration=0.2[out1]" "$events/clip.mp4" \
  --set VideoOptions.VideoCodecName=mpeg4
lavfi "testsrc=size=160x120:rate=25:duration=0.12[out0];sine=frequency=880:duration=0.12[out1]" "$events/other.mkv" \
  --set VideoOptions.VideoCodecName=mpeg4
# A sound file whose only picture is its cover (an ID3 picture).
lavfi "color=c=red:size=64x64:rate=1:duration=1[out0];sine=frequency=660:duration=0.2[out1]" "$events/cover.mp3" \
  --set VideoOptions.VideoCodecName=mjpeg --set VideoOptions.FramePixFormat=yuvj420p \
  --set AudioOptions.AudioCodecName=libmp3lame --map 0:v --map 0:a
expect "attached picture" "$("$kivora_bin" probe "$events/cover.mp3")"
lavfi "testsrc2=size=1920x1080:rate=25:duration=1.5[out0];sine=frequency=440:duration=1.5[out1]" "$events/big.mp4" \
  --set VideoOptions.VideoCodecName=mpeg4
player_events=$work/cmake/player_events
runs=${KIVORA_PLAYER_EVENT_RUNS:-100}
started=$(date +%s%N)
for i in $(seq 1 "$runs"); do
  rc=0
  out=$(timeout 10 "$player_events" events "$events/clip.mp4" "$events/other.mkv" "$events/cover.mp3" 2>&1) || rc=$?
  if [ "$rc" != 0 ]; then
    if [ "$rc" = 124 ]; then why="killed after 10 s"; else why="exit code $rc"; fi
    echo "package: player_events run $i of $runs failed ($why):" >&2
    printf '%s\n' "$out" >&2
    exit 1
  fi
done
echo "package: player events: $runs runs in $(( ($(date +%s%N) - started) / 1000000 )) ms; the last: $(printf '%s\n' "$out" | grep '^events' | tr '\n' ' ')"
out=$(timeout 120 "$player_events" cycles "$events/big.mp4" --count 200 --limit-mb 5 2>&1) ||
  { echo "package: player_events cycles failed:" >&2; printf '%s\n' "$out" >&2; exit 1; }
echo "package: $out"

echo "package: OK"
