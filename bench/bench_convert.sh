#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Rate conversion against sox: bench/bench_convert.sh [--smoke] <build-folder>
# Converts a stereo 1 kHz sine 44.1 kHz -> 48 kHz and 22.05 kHz -> 44.1 kHz
# with the block conversion (bench_convert: the raw file read, converted and
# written a block at a time), `sox rate -v` and `sox rate -h` on the same
# samples (no dither),
# and prints for each the median wall-clock and CPU (user + system) seconds
# of the whole process over runs that take turns, our time over theirs for
# both, and the SNR of the output against a fitted 1 kHz sine. The CPU ratio
# is the steadier one on a shared machine. The "(conversion)" line is the
# conversion with its reads and writes, without the process's start.
# Target: speed >= 1.0 x `sox rate -h` (its CPU seconds over ours).
# Full run: 10 minutes of audio, 5 runs each; --smoke: 2 seconds, one run.
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
seconds=$((smoke ? 2 : 600))
runs=$((smoke ? 1 : 5))
tool="$build/bench/bench_convert"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs a command and appends "wall cpu" in seconds to the file $1; the
# command's own output is kept in $work/out.
measure() {
  local into=$1
  shift
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" >"$work/out"
  awk '{ printf "%.2f %.2f\n", $1, $2 + $3 }' "$work/time" >>"$into"
}
# medians <file>: the median wall and the median CPU seconds of its lines.
medians() { echo "$(median $(cut -d' ' -f1 "$1")) $(median $(cut -d' ' -f2 "$1"))"; }

printf '%-13s %-12s %6s %6s %9s %9s %7s\n' conversion tool wall cpu "wall/it" "cpu/it" "SNR dB"
for pair in "44100 48000" "22050 44100"; do
  read -r rin rout <<<"$pair"
  in="$work/in_$rin.raw"
  sox -D -n -r "$rin" -c 2 -b 16 -e signed-integer -t raw "$in" synth "$seconds" sine 1000 vol 0.6
  rm -f "$work"/*.times
  for ((r = 0; r < runs; r++)); do
    measure "$work/ours.times" "$tool" convert "$in" "$work/ours.raw" "$rin" "$rout" 2
    cat "$work/out" >>"$work/conversion.times"
    for mode in -v -h; do
      measure "$work/sox$mode.times" sox -D -t raw -r "$rin" -c 2 -b 16 -e signed-integer "$in" \
        -t raw "$work/sox$mode.raw" rate "$mode" "$rout"
    done
  done
  read -r ourWall ourCpu <<<"$(medians "$work/ours.times")"
  read -r convWall convCpu <<<"$(medians "$work/conversion.times")"
  printf '%-13s %-12s %6s %6s %9s %9s %7s\n' "$rin->$rout" spoolex "$ourWall" "$ourCpu" - - \
    "$("$tool" snr "$work/ours.raw" "$rout" 2 1000)"
  printf '%-13s %-12s %6s %6s\n' "" "(conversion)" "$convWall" "$convCpu"
  for mode in -v -h; do
    read -r wall cpu <<<"$(medians "$work/sox$mode.times")"
    printf '%-13s %-12s %6s %6s %9s %9s %7s\n' "$rin->$rout" "sox rate $mode" "$wall" "$cpu" \
      "$(ratio "$ourWall" "$wall")" "$(ratio "$ourCpu" "$cpu")" \
      "$("$tool" snr "$work/sox$mode.raw" "$rout" 2 1000)"
  done
  read -r _ hCpu <<<"$(medians "$work/sox-h.times")"
  speed=$(ratio "$hCpu" "$ourCpu")
  echo "$rin->$rout: speed against sox rate -h (its CPU / ours) $speed" \
    "($(if ((smoke)); then echo "smoke: no target"; else verdict "$speed" 1.0 '>='; fi))"
done
