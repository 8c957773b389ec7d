#!/usr/bin/env bash
# `kivora preview --accurate` as a user runs it (the whole process, PNGs
# written) beside one `ffmpeg -ss T -i FILE -frames:v 1 OUT.png` process per
# time, for ten times spread over a 30 s 1080p clip with key frames every 2 s
# and every 10 s. The times lie on picture starts, where "the picture on
# screen at T" and ffmpeg's "the first picture from T" are the same picture;
# both sets of PNGs are read back and compared pixel for pixel.
# Usage: bench/preview_command.sh [KIVORA_BINARY]
set -euo pipefail

kivora=${1:-build/apps/kivora/kivora}
command -v ffmpeg >/dev/null || { echo "preview_command: the ffmpeg program is needed" >&2; exit 1; }
work=$(mktemp -d /tmp/kivora-preview-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen

now() { date +%s.%N; }
median() { tr ' ' '\n' | sort -n | awk 'NF { a[++n] = $1 } END { print a[int((n + 1) / 2)] }'; }

for gop in 2 10; do
  clip=$work/kf$gop.mp4
  ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=30 -c:v libx264 -preset veryfast \
    -g $((gop * 25)) -keyint_min $((gop * 25)) -pix_fmt yuv420p "$clip"
  # (i + 0.5) * 3 s, moved to the start of the picture on screen then.
  times=()
  for i in $(seq 0 9); do times+=("$(awk -v i="$i" 'BEGIN { printf "%.2f", int((i + 0.5) * 3 * 25) / 25 }')"); done
  at=()
  for t in "${times[@]}"; do at+=(--at "$t"); done
  k=() f=()
  for run in 1 2 3; do
    rm -rf "$work/k" "$work/f" && mkdir -p "$work/k" "$work/f"
    a=$(now)
    "$kivora" preview "$clip" --accurate "${at[@]}" --out "$work/k/p%d.png" >/dev/null
    b=$(now)
    n=0
    for t in "${times[@]}"; do
      n=$((n + 1))
      ffmpeg -nostdin -v error -y -ss "$t" -i "$clip" -frames:v 1 "$work/f/p$n.png"
    done
    c=$(now)
    k+=("$(echo "$b - $a" | bc)") f+=("$(echo "$c - $b" | bc)")
  done
  same=0
  for n in $(seq 1 10); do
    ka=$(ffmpeg -nostdin -v error -i "$work/k/p$n.png" -pix_fmt rgb24 -f md5 -)
    fa=$(ffmpeg -nostdin -v error -i "$work/f/p$n.png" -pix_fmt rgb24 -f md5 -)
    [ "$ka" = "$fa" ] && same=$((same + 1))
  done
  km=$(echo "${k[*]}" | median) fm=$(echo "${f[*]}" | median)
  ks=$(du -cb "$work"/k/*.png | tail -1 | cut -f1) fs=$(du -cb "$work"/f/*.png | tail -1 | cut -f1)
  printf 'key frames every %2d s: kivora preview %.3f s, ten ffmpeg processes %.3f s: %.1fx faster (goal >= 4x); ' \
    "$gop" "$km" "$fm" "$(echo "$fm / $km" | bc -l)"
  printf '%d of 10 pictures the same; PNGs %d kB against %d kB\n' "$same" $((ks / 1024)) $((fs / 1024))
done
