#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Reading a 10-minute stereo 16-bit WAV through ReadShorts (4096-sample calls)
# against a plain libsndfile sf_read_short loop, in one run; target ratio 0.9.
# bench/bench_stream.sh [--smoke] <build-folder>
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
out="$here/out"
mkdir -p "$out"
if (( smoke )); then
  wav="$out/stream-smoke.wav"; seconds=1; rounds=1
else
  wav="$out/stream-10min.wav"; seconds=600; rounds=7
fi
if [[ ! -s "$wav" ]]; then
  sox -D -n -r 44100 -c 2 -b 16 "$wav" synth "$seconds" sine 440 sine 660 gain -3
fi
"$build/bench/bench_stream" "$wav" "$rounds"
