#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Restoring Ogg Vorbis audio entries against oggdec, in one run:
#   bench/bench_audio.sh [--smoke] <build-folder>
# Three music-like 44.1 kHz stereo WAV files of 10 minutes each (3 seconds
# with --smoke) are packed with spoolpack --audio ogg:4. spoolex restoring
# the pack to WAV files is timed against oggdec decoding the same three Ogg
# streams (cut out of the pack) to WAV files.
# Targets: speed >= 1.0 x oggdec (ratio = oggdec's time / spoolex's time,
# CPU time, best of three); spoolex's peak RSS <= 4 x the largest entry's
# decoded PCM size + 32 MiB.
# Work files go to bench/out/audio/ (not tracked) and are removed at the end.
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
spoolex="$build/driver/spoolex"
spoolpack="$build/tools/spoolpack/spoolpack"
work="$here/out/audio"
rm -rf "$work"
mkdir -p "$work/src" "$work/ogg" "$work/dest"
trap 'rm -rf "$work"' EXIT
seconds=$((smoke ? 3 : 600))
reps=$((smoke ? 1 : 3))

# Music-like sources: gliding tones with tremolo over soft pink noise, a
# different key in each file.
for i in 1 2 3; do
  base=$((100 + 30 * i))
  sox -n -r 44100 -c 2 -b 16 "$work/tones.wav" synth "$seconds" sine "$base-$((base * 8))" \
    sine "$((base * 3 / 2))-$((base * 12))" tremolo $((2 + i)) 40 vol 0.5
  sox -n -r 44100 -c 2 -b 16 "$work/noise.wav" synth "$seconds" pinknoise vol 0.05
  sox -m "$work/tones.wav" "$work/noise.wav" "$work/src/track$i.wav"
done
rm -f "$work/tones.wav" "$work/noise.wav"
"$spoolpack" create "$work/game" "$work/src" --audio ogg:4 >/dev/null
pcm_bytes=$(stat -c %s "$work/src/track1.wav")
for f in "$work"/src/*.wav; do pcm_bytes=$((pcm_bytes > $(stat -c %s "$f") ? pcm_bytes : $(stat -c %s "$f"))); done

# The same Ogg streams as files of their own.
"$spoolpack" list "$work/game.APAK" | while read -r _ offset size _ _ _ name; do
  dd if="$work/game.APAK" of="$work/ogg/${name%.wav}.ogg" bs=1M iflag=skip_bytes,count_bytes skip="$offset" \
    count="$size" status=none
done

best_of 'rm -f "$work"/dest/*' "$spoolex" "$work/game" "$work/dest"
ours_cpu=$cpu ours_wall=$wall ours_rss=$rss_kib
best_of 'rm -f "$work"/ogg/*.wav' oggdec -Q "$work"/ogg/*.ogg
theirs_cpu=$cpu theirs_wall=$wall

# Both wrote every frame of every track.
for f in "$work"/src/*.wav; do
  name=$(basename "$f")
  [[ $(soxi -s "$work/dest/$name") == $(soxi -s "$f") && $(soxi -s "$work/ogg/$name") == $(soxi -s "$f") ]] ||
    { echo "audio: $name: restored length differs"; exit 1; }
done

speed=$(ratio "$theirs_cpu" "$ours_cpu")
rss_limit_kib=$(((4 * pcm_bytes + 32 * 1024 * 1024) / 1024))
echo "audio restore: 3 x ${seconds} s stereo 44.1 kHz from Ogg q 4, largest PCM $pcm_bytes bytes"
echo "audio restore: spoolex cpu ${ours_cpu} s (wall ${ours_wall} s), oggdec cpu ${theirs_cpu} s (wall ${theirs_wall} s)"
if ((smoke)); then
  echo "audio restore: ratio $speed, peak RSS $ours_rss KiB (smoke: no targets)"
else
  echo "audio restore: speed ratio $speed ($(verdict "$speed" 1.0 '>=')), wall ratio" \
    "$(ratio "$theirs_wall" "$ours_wall")"
  echo "audio restore: peak RSS $ours_rss KiB, limit $rss_limit_kib KiB ($(verdict "$ours_rss" "$rss_limit_kib" '<='))"
fi
