#!/usr/bin/env bash
# Ogg Vorbis through the format module against the vorbis-tools, in one run:
# decoding a stereo q 4 file to 16-bit samples against oggdec, and encoding
# the same audio at close against oggenc -q 4. Target: ratio >= 0.9 (ratio =
# their CPU time / our CPU time, so above 1 means faster).
#   bench/bench_ogg.sh [--smoke] <build-folder>
# --smoke uses 3 seconds of audio and only checks that everything runs.
set -euo pipefail
smoke=0
if [[ "${1:-}" == "--smoke" ]]; then smoke=1; shift; fi
build=$(cd "$1" && pwd)
bench="$build/bench/bench_ogg"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds=600
rounds=2
if [[ $smoke == 1 ]]; then seconds=3; rounds=1; fi

# Music-like stereo source: two gliding tones with tremolo over soft noise.
sox -n -r 44100 -c 2 -b 16 "$work/tones.wav" synth "$seconds" sine 110-880 sine 165-1320 tremolo 3 40 vol 0.5
sox -n -r 44100 -c 2 -b 16 "$work/noise.wav" synth "$seconds" pinknoise vol 0.05
sox -m "$work/tones.wav" "$work/noise.wav" "$work/in.wav"
sox "$work/in.wav" -t raw -e signed -b 16 -L "$work/in.raw"
oggenc -Q -q 4 -o "$work/in.ogg" "$work/in.wav"

# Least CPU time (user + system, seconds) of `rounds` runs of a command.
# CPU time rather than wall time: the machine may be shared while this runs.
best() {
  local best=""
  for ((i = 0; i < rounds; i++)); do
    local t
    /usr/bin/time -o "$work/time" -f "%U %S" "$@" >/dev/null 2>&1
    t=$(awk '{ printf "%.3f", $1 + $2 }' "$work/time")
    if [[ -z $best ]] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}

report() {  # name ours theirs
  awk -v name="$1" -v ours="$2" -v theirs="$3" -v smoke="$smoke" 'BEGIN {
    ratio = ours > 0 ? theirs / ours : 0
    verdict = smoke ? "smoke" : (ratio >= 0.9 ? "meets 0.9" : "BELOW 0.9")
    printf "ogg %-7s ours %8.3f s  theirs %8.3f s  ratio %.2f  (%s)\n", name, ours, theirs, ratio, verdict
  }'
}

ours=$(best "$bench" decode "$work/in.ogg")
theirs=$(best oggdec -Q -o /dev/null "$work/in.ogg")
report decode "$ours" "$theirs"

ours=$(best "$bench" encode "$work/in.raw" 44100 2 0.4 "$work/ours.ogg")
theirs=$(best oggenc -Q -q 4 -o "$work/theirs.ogg" "$work/in.wav")
report encode "$ours" "$theirs"
oggdec -Q -o /dev/null "$work/ours.ogg"
