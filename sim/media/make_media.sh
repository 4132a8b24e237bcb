#!/usr/bin/env bash
# Regenerates the simulated camera's media. The files are committed, so the
# build never needs this; run it only to change them. Needs Debian's ffmpeg
# (with libx264): apt-get install -y ffmpeg
set -euo pipefail
cd "$(dirname "$0")"

# Four seconds of test pattern at 10 frames per second, baseline profile, no
# B-frames, an IDR every 10 frames (SPS and PPS repeated before each), SEI
# units removed so that every access unit is just parameter sets and a slice.
for size in 1280x720 640x360; do
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc=size=${size}:rate=10" -t 4 \
    -c:v libx264 -profile:v baseline -preset medium -crf 30 \
    -g 10 -bf 0 -x264-params scenecut=0 -pix_fmt yuv420p \
    -bsf:v filter_units=remove_types=6 \
    -f h264 "testpattern_${size}.h264"
done

# One small JPEG for snapshots.
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "testsrc=size=320x180:rate=1" -frames:v 1 -q:v 8 snapshot.jpg
