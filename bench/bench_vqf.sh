#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# VQF through the format module with the project's TwinVQ libraries: 10
# minutes of 44.1 kHz stereo at 48 kbit/s per channel, decoded to 16-bit
# samples and encoded from them, packed by spoolpack --audio vqf:48 and
# restored by spoolex (decode and WAV write). Targets, as multiples of real
# time on one core (CPU time): decode >= 100, encode >= 20; peak RSS of
# decoding, encoding, packing and restoring <= 64 MiB whatever the length.
# oggdec and oggenc -q 4 on the same audio run alongside as the peer, for
# scale. With SPOOLEX_BASELINE=<another build folder> each step also runs
# with that build's programs, in turn with ours, for the speed ratio and
# the RSS side by side; the baseline's packed and encoded bytes must equal
# ours.
#   bench/bench_vqf.sh [--smoke] <build-folder>
# --smoke uses 3 seconds of audio and only checks that everything runs.
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
bench="$build/bench/bench_vqf"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds=$((smoke ? 3 : 600))
reps=$((smoke ? 1 : 2))
runs=$((smoke ? 1 : 3))

music_source "$seconds"
mkdir "$work/tree" "$work/dest"
ln "$work/in.wav" "$work/tree/in.wav"
"$bench" encode "$work/in.raw" 44100 2 48000 "$work/in.vqf"
oggenc -Q -q 4 -o "$work/in.ogg" "$work/in.wav"
"$build/tools/spoolpack/spoolpack" create "$work/game" "$work/tree" --audio vqf:48 >/dev/null

report() {  # name cpu-seconds target peer-cpu-seconds
  awk -v name="$1" -v cpu="$2" -v target="$3" -v peer="$4" -v seconds="$seconds" -v smoke="$smoke" \
      -v rss="$rss_kib" 'BEGIN {
    speed = cpu > 0 ? seconds / cpu : 0
    verdict = smoke ? "smoke" : (target == 0 ? "no target" : (speed >= target ? "meets " target "x" : "MISSES " target "x"))
    peerText = peer > 0 ? sprintf("  (peer %.0fx real time)", seconds / peer) : ""
    printf "vqf %-14s %7.3f s CPU  %6.0fx real time  %7.0f MiB  (%s)%s\n", name, cpu, speed, rss / 1024, verdict, peerText
  }'
}

# CPU time rather than wall time: the machine may be shared while this runs.
best_of : oggdec -Q -o /dev/null "$work/in.ogg"
peer=$cpu
best_of : "$bench" decode "$work/in.vqf"
report decode "$cpu" 100 "$peer"

best_of : oggenc -Q -q 4 -o "$work/theirs.ogg" "$work/in.wav"
peer=$cpu
best_of : "$bench" encode "$work/in.raw" 44100 2 48000 "$work/ours.vqf"
report encode "$cpu" 20 "$peer"
cmp -s "$work/ours.vqf" "$work/in.vqf" || { echo "vqf: the same samples gave other bytes"; exit 1; }

best_of "rm -f '$work/dest/in.wav'" "$build/driver/spoolex" "$work/game" "$work/dest"
report "spoolex restore" "$cpu" 0 0

# Against the baseline: the module, packing and restoring.
codec_side_by_side vqf "$work/in.vqf" "'$work/in.raw' 44100 2 48000" "$work/in.vqf" vqf:48
