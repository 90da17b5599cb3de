#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Peak memory of restoring one long audio entry, and of packing one:
#   bench/bench_memory.sh [--smoke] <build-folder>
# A 30-minute stereo 44.1 kHz WAV (318 MB) is packed as a pcm entry and as
# an Ogg Vorbis entry (ogg:4), its first 10 minutes as a VQF entry (vqf:48);
# spoolex restores each, and `spoolpack create --audio pcm` packs the WAV.
# Prints the peak RSS of each run in MiB against the target of 64 MiB, and
# the wall and CPU seconds. With BENCH_BASELINE set to another build folder,
# the same runs of that build follow on the same files, side by side.
# --smoke: 10 seconds of audio (the VQF entry 5), one run.
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds=$((smoke ? 10 : 1800))
vqf_seconds=$((smoke ? 5 : 600))
reps=$((smoke ? 1 : 3))
limit_mib=64

mkdir -p "$work/tree" "$work/out" "$work/short"
music_source "$seconds"
mv "$work/in.wav" "$work/tree/long.wav"
rm -f "$work/in.raw" "$work/tones.wav" "$work/noise.wav"
sox "$work/tree/long.wav" "$work/short/long.wav" trim 0 "$vqf_seconds"
"$build/tools/spoolpack/spoolpack" create "$work/pcm" "$work/tree" --audio pcm >/dev/null
"$build/tools/spoolpack/spoolpack" create "$work/ogg" "$work/tree" --audio ogg:4 >/dev/null
"$build/tools/spoolpack/spoolpack" create "$work/vqf" "$work/short" --audio vqf:48 >/dev/null
rm -rf "$work/short"

report() {  # <build label> <what>
  local mib
  mib=$(awk -v k="$rss_kib" 'BEGIN { printf "%.1f", k / 1024 }')
  printf '%-9s %-26s peak %7s MiB  wall %7.2f s  cpu %7.2f s  (%s)\n' "$1" "$2" "$mib" "$wall" "$cpu" \
    "$(if ((smoke)); then echo smoke; else verdict "$mib" "$limit_mib" '<='; fi)"
}

for side in ours ${BENCH_BASELINE:+baseline}; do
  b=$build
  [[ $side == baseline ]] && b=$(cd "$BENCH_BASELINE" && pwd)
  best_of "rm -f '$work/out/long.wav'" "$b/driver/spoolex" "$work/pcm" "$work/out"
  report "$side" "restore pcm WAV entry"
  best_of "rm -f '$work/out/long.wav'" "$b/driver/spoolex" "$work/ogg" "$work/out"
  report "$side" "restore Ogg entry"
  best_of "rm -f '$work/out/long.wav'" "$b/driver/spoolex" "$work/vqf" "$work/out"
  report "$side" "restore VQF entry"
  best_of "rm -f '$work'/again.*" "$b/tools/spoolpack/spoolpack" create "$work/again" "$work/tree" --audio pcm
  report "$side" "create --audio pcm"
done
