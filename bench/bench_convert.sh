#!/usr/bin/env bash
# Rate conversion against sox: bench/bench_convert.sh [--smoke] <build-folder>
# Converts a stereo 1 kHz sine 44.1 kHz -> 48 kHz and 22.05 kHz -> 44.1 kHz
# with ConvertToStoredInfo (bench_convert: read the raw file, convert, write),
# `sox rate -v` and `sox rate -h` on the same samples (no dither), and prints
# for each the wall-clock and CPU (user + system) seconds of the whole
# process, our time over theirs for both, and the SNR of the output against a
# fitted 1 kHz sine. The CPU ratio is the steadier one on a shared machine.
# The "(conversion)" line is the ConvertToStoredInfo call alone, without
# reading, allocating and writing the whole files.
# Full run: 10 minutes of audio; --smoke: 2 seconds.
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
seconds=$((smoke ? 2 : 600))
tool="$build/bench/bench_convert"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs a command and prints "wall cpu" in seconds; the command's own output
# is kept in $work/out.
measure() {
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" >"$work/out"
  awk '{ printf "%.2f %.2f", $1, $2 + $3 }' "$work/time"
}

printf '%-13s %-12s %6s %6s %9s %9s %7s\n' conversion tool wall cpu "wall/it" "cpu/it" "SNR dB"
for pair in "44100 48000" "22050 44100"; do
  read -r rin rout <<<"$pair"
  in="$work/in_$rin.raw"
  sox -D -n -r "$rin" -c 2 -b 16 -e signed-integer -t raw "$in" synth "$seconds" sine 1000 vol 0.6
  read -r ourWall ourCpu <<<"$(measure "$tool" convert "$in" "$work/ours.raw" "$rin" "$rout" 2)"
  read -r convWall convCpu <"$work/out"
  printf '%-13s %-12s %6s %6s %9s %9s %7s\n' "$rin->$rout" spoolex "$ourWall" "$ourCpu" - - \
    "$("$tool" snr "$work/ours.raw" "$rout" 2 1000)"
  printf '%-13s %-12s %6s %6s\n' "" "(conversion)" "$convWall" "$convCpu"
  for mode in -v -h; do
    read -r wall cpu <<<"$(measure sox -D -t raw -r "$rin" -c 2 -b 16 -e signed-integer "$in" \
                                   -t raw "$work/sox.raw" rate "$mode" "$rout")"
    printf '%-13s %-12s %6s %6s %9s %9s %7s\n' "$rin->$rout" "sox rate $mode" "$wall" "$cpu" \
      "$(ratio "$ourWall" "$wall")" "$(ratio "$ourCpu" "$cpu")" \
      "$("$tool" snr "$work/sox.raw" "$rout" 2 1000)"
  done
done
