#!/usr/bin/env bash
# The player as a user meets it: the whole `kivora play` process (start-up,
# the sound path through SDL's dummy driver, a key-frame seek), three rounds
# of three runs, beside the ffmpeg program doing the same decode, crop, RGBA
# conversion and resampling for the same number of pictures. Prints first
# picture and seek-to-picture times and the CPU per shown picture of both.
# Usage: bench/play_command.sh [KIVORA_BINARY] [FILE]
#   (without FILE a 12 s 1080p25 H.264 + AAC clip is made with ffmpeg)
set -euo pipefail

kivora=${1:-build/apps/kivora/kivora}
file=${2:-}
command -v ffmpeg >/dev/null || { echo "play_command: the ffmpeg program is needed" >&2; exit 1; }
command -v python3 >/dev/null || { echo "play_command: python3 is needed to read the reports" >&2; exit 1; }
work=$(mktemp -d /tmp/kivora-play-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
if [ -z "$file" ]; then
  file=$work/clip.mp4
  ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=12 \
    -f lavfi -i sine=f=440:duration=12:sample_rate=48000 -c:v libx264 -preset veryfast -g 50 \
    -pix_fmt yuv420p -c:a aac -ac 2 "$file"
fi
export SDL_AUDIODRIVER=dummy QT_QPA_PLATFORM=offscreen

# CPU seconds (user + system) of one command, from GNU time's -f output.
cpu_of() {
  /usr/bin/time -f "%U %S" -o "$work/time" "$@" >"$work/out" 2>/dev/null
  awk '{ printf "%.4f", $1 + $2 }' "$work/time"
}

echo "file: $file"
echo "kivora: $kivora play FILE --headless --json --seconds 6 --seek 6"
rows=$work/rows
: >"$rows"
for round in 1 2 3; do
  for run in 1 2 3; do
    cpu=$(cpu_of "$kivora" play "$file" --headless --json --seconds 6 --seek 6)
    python3 - "$cpu" "$work/out" >>"$rows" <<'EOF'
import json, sys
r = json.load(open(sys.argv[2]))
print(sys.argv[1], r["first_picture_ms"], r["seek_ms"][0] if r["seek_ms"] else "nan", r["frames_shown"])
EOF
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

python3 - "$rows" "$shown" "${ffcpu[*]}" "${ffrecpu[*]}" <<'EOF'
import statistics as st, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1])]
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
EOF
