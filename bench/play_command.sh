#!/usr/bin/env bash
# The player as a user meets it: the whole `kivora play` process (start-up,
# the sound path through SDL's dummy driver, a key-frame seek), three rounds
# of three runs, beside the ffmpeg program doing the same decode, crop, RGBA
# conversion and resampling for the same number of pictures. Prints first
# picture and seek-to-picture times and the CPU per shown picture of both.
# Where Qt Multimedia's development files and its FFmpeg backend are
# installed (Debian: qt6-multimedia-dev), its player is built from
# bench/peer/qt_multimedia_play.cpp and run in the same rounds, taking turns
# with kivora, for the first picture and seek ratios. It needs a sound
# device: without one, a private PulseAudio server with a null sink is
# started if `pulseaudio` is installed.
# Usage: bench/play_command.sh [KIVORA_BINARY] [FILE]
#   (without FILE a 12 s 1080p25 H.264 + AAC clip is made with ffmpeg)
set -euo pipefail

kivora=${1:-build/apps/kivora/kivora}
file=${2:-}
command -v ffmpeg >/dev/null || { echo "play_command: the ffmpeg program is needed" >&2; exit 1; }
command -v python3 >/dev/null || { echo "play_command: python3 is needed to read the reports" >&2; exit 1; }
work=$(mktemp -d /tmp/kivora-play-bench-XXXXXX)
if [ -z "$file" ]; then
  file=$work/clip.mp4
  ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=12 \
    -f lavfi -i sine=f=440:duration=12:sample_rate=48000 -c:v libx264 -preset veryfast -g 50 \
    -pix_fmt yuv420p -c:a aac -ac 2 "$file"
fi
export SDL_AUDIODRIVER=dummy QT_QPA_PLATFORM=offscreen

# The peer player, when it can be built and given a sound device.
here=$(cd "$(dirname "$0")" && pwd)
peer=
pulse_pid=
cleanup() {
  [ -n "$pulse_pid" ] && kill "$pulse_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
plugin=$(pkg-config --variable=libdir Qt6Core 2>/dev/null)/qt6/plugins/multimedia/libffmpegmediaplugin.so
if pkg-config --exists Qt6Multimedia 2>/dev/null && [ -f "$plugin" ] &&
   g++ -O2 -std=c++17 -fPIC "$here/peer/qt_multimedia_play.cpp" \
     $(pkg-config --cflags --libs Qt6Multimedia Qt6Gui) -o "$work/peer" 2>"$work/peer-build"; then
  if ! pactl info >/dev/null 2>&1; then
    if command -v pulseaudio >/dev/null; then
      export XDG_RUNTIME_DIR=$work/run
      mkdir -m 700 -p "$XDG_RUNTIME_DIR"
      pulseaudio -n --daemonize=no --exit-idle-time=-1 --load=module-null-sink \
        --load=module-native-protocol-unix >/dev/null 2>&1 &
      pulse_pid=$!
      for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    fi
  fi
  if pactl info >/dev/null 2>&1; then
    peer=$work/peer
  else
    echo "peer: no sound device (install pulseaudio), Qt Multimedia not measured"
  fi
else
  echo "peer: Qt Multimedia's development files or FFmpeg backend missing (qt6-multimedia-dev), not measured"
fi

# CPU seconds (user + system) of one command, from GNU time's -f output.
cpu_of() {
  /usr/bin/time -f "%U %S" -o "$work/time" "$@" >"$work/out" 2>/dev/null
  awk '{ printf "%.4f", $1 + $2 }' "$work/time"
}

echo "file: $file"
echo "kivora: $kivora play FILE --headless --json --seconds 6 --seek 6"
[ -n "$peer" ] && echo "peer: Qt Multimedia $(pkg-config --modversion Qt6Multimedia), QT_MEDIA_BACKEND=ffmpeg, same waits"
rows=$work/rows
peer_rows=$work/peer-rows
: >"$rows"
: >"$peer_rows"
# One row per run: CPU seconds, first picture ms, seek ms, pictures shown.
row_of() {
  python3 - "$1" "$work/out" <<'EOF'
import json, sys
r = json.load(open(sys.argv[2]))
s = r["seek_ms"]
s = (s[0] if s else None) if isinstance(s, list) else s
print(sys.argv[1], r["first_picture_ms"], "nan" if s is None else s, r["frames_shown"])
EOF
}
run_kivora() { row_of "$(cpu_of "$kivora" play "$file" --headless --json --seconds 6 --seek 6)" >>"$rows"; }
run_peer() { row_of "$(QT_MEDIA_BACKEND=ffmpeg cpu_of "$peer" "$file" 6 6)" >>"$peer_rows"; }
for round in 1 2 3; do
  for run in 1 2 3; do
    # Taking turns to go first: the second of two runs finds warmer caches
    # and memory the kernel has already handed out once.
    if [ -n "$peer" ] && [ $(((round + run) % 2)) -eq 0 ]; then run_peer; fi
    run_kivora
    if [ -n "$peer" ] && [ $(((round + run) % 2)) -eq 1 ]; then run_peer; fi
  done
done

# ffmpeg on as many pictures as the player showed (its median) and 6 s of
# sound, from the start: the same decode, the crop the player makes to a
# width and height that are multiples of 16, RGBA, and sound at 44.1 kHz
# 16-bit stereo.
shown=$(awk '{ print $4 }' "$rows" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
read -r w h < <(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 "$file" | tr , ' ')
ff=(ffmpeg -nostdin -v error -i "$file" -t 6 -frames:v "$shown" -vf "crop=$((w / 16 * 16)):$((h / 16 * 16)),format=rgba"
    -af "aresample=44100,aformat=sample_fmts=s16:channel_layouts=stereo" -f null -)
echo "ffmpeg: ${ff[*]}"
ffcpu=()
for run in 1 2 3; do ffcpu+=("$(cpu_of "${ff[@]}")"); done
# The same at the pace of playing (-re reads the input in real time): a
# player cannot run flat out, and waking up for each picture costs ffmpeg
# itself CPU too (cold caches after each sleep).
ffre=("${ff[@]:0:4}" -re "${ff[@]:4}")
echo "ffmpeg paced: ${ffre[*]}"
ffrecpu=()
for run in 1 2 3; do ffrecpu+=("$(cpu_of "${ffre[@]}")"); done

python3 - "$rows" "$shown" "${ffcpu[*]}" "${ffrecpu[*]}" "$peer_rows" <<'EOF'
import math, statistics as st, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1])]
peer = [list(map(float, l.split())) for l in open(sys.argv[5])]
shown = int(sys.argv[2])
ff = [float(x) for x in sys.argv[3].split()]
ffre = [float(x) for x in sys.argv[4].split()]
ff_per = st.median(ff) * 1000 / shown
ffre_per = st.median(ffre) * 1000 / shown
for i in range(0, len(rows), 3):
    rr = rows[i:i + 3]
    first = [r[1] for r in rr]
    seek = [r[2] for r in rr]
    per = [r[0] * 1000 / r[3] for r in rr]
    print(f"round {i // 3 + 1}: first picture {min(first):.1f}-{max(first):.1f} ms, "
          f"seek to picture {min(seek):.1f}-{max(seek):.1f} ms, "
          f"CPU per shown picture {min(per):.2f}-{max(per):.2f} ms")
per_all = [r[0] * 1000 / r[3] for r in rows]
print(f"ffmpeg: {ff_per:.2f} ms CPU per picture ({shown} pictures, process start included)")
print(f"ffmpeg paced (-re): {ffre_per:.2f} ms CPU per picture")
print(f"kivora / ffmpeg CPU per picture: median {st.median(per_all) / ff_per:.2f} (goal <= 1.15)")
print(f"kivora / ffmpeg paced CPU per picture: median {st.median(per_all) / ffre_per:.2f}")
if peer:
    def med(rs, i):
        v = [r[i] for r in rs if not math.isnan(r[i])]
        return st.median(v) if v else math.nan
    pf, ps = [r[1] for r in peer], [r[2] for r in peer if not math.isnan(r[2])]
    print(f"peer: first picture {min(pf):.1f}-{max(pf):.1f} ms, seek to picture "
          + (f"{min(ps):.1f}-{max(ps):.1f} ms" if ps else "never")
          + f" ({len(peer) - len(ps)} of {len(peer)} seeks showed no picture at the target), "
          f"CPU per shown picture {st.median([r[0] * 1000 / r[3] for r in peer]):.2f} ms")
    print(f"kivora / peer first picture: median {med(rows, 1) / med(peer, 1):.2f} (goal <= 0.8)")
    print(f"kivora / peer seek to picture: median {med(rows, 2) / med(peer, 2):.2f} (goal <= 0.7)")
EOF
