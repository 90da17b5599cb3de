#!/usr/bin/env bash
# AAC through the format module against its peers, in one run: decoding a
# stereo 128 kbit/s ADTS file to 16-bit samples against the faad command
# (target ratio >= 0.9), and encoding the same audio at close through
# libmp4enc at 64 kbit/s per channel against ffmpeg -c:a aac -b:a 128k
# (target >= 0.8). Ratio = their CPU time / our CPU time, so above 1 means
# faster.
#   bench/bench_aac.sh [--smoke] <build-folder>
# --smoke uses 3 seconds of audio and only checks that everything runs.
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
bench="$build/bench/bench_aac"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds=$((smoke ? 3 : 600))
reps=$((smoke ? 1 : 2))

music_source "$seconds"
ffmpeg -v error -y -i "$work/in.wav" -c:a aac -b:a 128k -f adts "$work/in.aac"

# CPU time rather than wall time: the machine may be shared while this runs.
best_of : "$bench" decode "$work/in.aac"
ours=$cpu
best_of : faad -q -f 2 -o /dev/null "$work/in.aac"
codec_report aac decode "$ours" "$cpu" 0.9

best_of : "$bench" encode "$work/in.raw" 44100 2 64000 "$work/ours.aac"
ours=$cpu
best_of : ffmpeg -v error -y -i "$work/in.wav" -c:a aac -b:a 128k -f adts "$work/theirs.aac"
codec_report aac encode "$ours" "$cpu" 0.8
faad -q -f 2 -o /dev/null "$work/ours.aac"
