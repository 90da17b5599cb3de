#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Ogg Vorbis through the format module against the vorbis-tools, in one run:
# decoding a stereo q 4 file to 16-bit samples against oggdec, and encoding
# the same audio at close against oggenc -q 4. Targets: decoding >= 1.0,
# encoding >= 0.9 (ratio =
# their CPU time / our CPU time, so above 1 means faster).
#   bench/bench_ogg.sh [--smoke] <build-folder>
# --smoke uses 3 seconds of audio and only checks that everything runs.
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
bench="$build/bench/bench_ogg"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds=$((smoke ? 3 : 600))
reps=$((smoke ? 1 : 2))

music_source "$seconds"
oggenc -Q -q 4 -o "$work/in.ogg" "$work/in.wav"

# CPU time rather than wall time: the machine may be shared while this runs.
best_of : "$bench" decode "$work/in.ogg"
ours=$cpu
best_of : oggdec -Q -o /dev/null "$work/in.ogg"
codec_report ogg decode "$ours" "$cpu" 1.0

best_of : "$bench" encode "$work/in.raw" 44100 2 0.4 "$work/ours.ogg"
ours=$cpu
best_of : oggenc -Q -q 4 -o "$work/theirs.ogg" "$work/in.wav"
codec_report ogg encode "$ours" "$cpu" 0.9
oggdec -Q -o /dev/null "$work/ours.ogg"
