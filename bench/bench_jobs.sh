#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# spoolpack create --jobs: speed with two jobs against one, and against
# tar czf, and the peak memory of a job:
#   bench/bench_jobs.sh [--smoke] <build-folder>
# - ogg set: 24 one-minute stereo clips (2 of 2 s with --smoke) and 400 text
#   files (20), `create --audio ogg` with --jobs 2 against --jobs 1 under
#   SOURCE_DATE_EPOCH; the packs must be the same bytes. Target >= 1.6 x on
#   two cores. Then `extract` of that set, --jobs 2 against --jobs 1; the
#   trees must be the same. Target >= 1.6 x.
# - mixed tree: text (/usr/include), shared libraries and WAV clips, 120 MB
#   (6 MB), `create` with its defaults against `tar czf` of the same tree.
#   Target >= 1.0 x.
# - peak RSS of the largest process (a worker) of `create --jobs 2` on a
#   30-minute stereo WAV (20 s) and a text file: <= 64 MiB.
# Both sides run alternately, three times each (once with --smoke); times
# are medians. Work files go to bench/out/jobs/ (not tracked).
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
spoolpack="$build/tools/spoolpack/spoolpack"
work="$here/out/jobs$(((smoke)) && echo -smoke || true)"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
q() { printf '%q ' "$@"; }
if ((smoke)); then clips=2 clip_s=2 texts=20 mixed_bytes=$((6 * 1000 * 1000)) long_s=20 runs=1
else clips=24 clip_s=60 texts=400 mixed_bytes=$((120 * 1000 * 1000)) long_s=1800 runs=3; fi
target() { if ((smoke)); then echo "smoke: no target"; else verdict "$1" "$2" "$3"; fi; }

# ---- ogg set: --jobs 2 against --jobs 1 ----------------------------------------
mkdir -p "$work/set/text"
for ((i = 0; i < clips; i++)); do
  sox -n -r 44100 -c 2 -b 16 "$work/set/clip$i.wav" synth "$clip_s" sine $((200 + 37 * i))-$((900 + 11 * i)) \
    sine $((300 + 5 * i)) vol 0.4 2>/dev/null
done
for ((i = 0; i < texts; i++)); do
  find /usr/include -name '*.h' -size +2k -size -64k 2>/dev/null | LC_ALL=C sort | sed -n "$((i + 1))p" |
    xargs -r cat > "$work/set/text/t$i.txt"
done
export SOURCE_DATE_EPOCH=1700000000
alternate "$runs" 'rm -f "$work"/j2.* "$work"/j1.*' \
  "$(q "$spoolpack" create "$work/j2" "$work/set" --audio ogg --jobs 2)" \
  "" "$(q "$spoolpack" create "$work/j1" "$work/set" --audio ogg --jobs 1)"
for ext in APAK ZPAK UPAK; do
  if [[ -f "$work/j1.$ext" || -f "$work/j2.$ext" ]]; then cmp "$work/j1.$ext" "$work/j2.$ext"; fi
done
r=$(ratio "$wall_b" "$wall_a")
echo "ogg set ($clips clips of ${clip_s}s, $texts texts): --jobs 2 ${wall_a}s (cpu ${cpu_a}s)," \
  "--jobs 1 ${wall_b}s (cpu ${cpu_b}s): ratio $r, $(target "$r" 1.6 '>='); packs identical"
unset SOURCE_DATE_EPOCH
alternate "$runs" 'rm -rf "$work/x2"' "$(q "$spoolpack" extract "$work/j1" "$work/x2" --jobs 2 --quiet)" \
  'rm -rf "$work/x1"' "$(q "$spoolpack" extract "$work/j1" "$work/x1" --jobs 1 --quiet)"
diff -r "$work/x1" "$work/x2"
r=$(ratio "$wall_b" "$wall_a")
echo "ogg set extract: --jobs 2 ${wall_a}s (cpu ${cpu_a}s), --jobs 1 ${wall_b}s (cpu ${cpu_b}s):" \
  "ratio $r, $(target "$r" 1.6 '>='); trees identical"
rm -rf "$work/set" "$work"/j1.* "$work"/j2.* "$work/x1" "$work/x2"

# ---- mixed tree: defaults against tar czf --------------------------------------
mkdir -p "$work/mixed/text" "$work/mixed/lib" "$work/mixed/wav"
budget=$((mixed_bytes * 2 / 5))
find /usr/include -type f -size +1k -size -256k -printf '%s\t%p\n' 2>/dev/null | LC_ALL=C sort -t$'\t' -k2 |
  awk -F'\t' -v b="$budget" 'sum < b { sum += $1; print $2 }' | while read -r f; do
  cp "$f" "$work/mixed/text/$(echo "$f" | tr '/' '_')"
done
find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' -size +16k -size -8M -printf '%s\t%p\n' 2>/dev/null |
  LC_ALL=C sort -t$'\t' -k2 | awk -F'\t' -v b="$budget" 'sum < b { sum += $1; print $2 }' | while read -r f; do
  cp "$f" "$work/mixed/lib/"
done
for ((i = 0; i < 4; i++)); do
  sox -n -r 22050 -c 1 -b 16 "$work/mixed/wav/w$i.wav" synth $((mixed_bytes / 5 / 4 / 44100)) \
    sine $((300 + 100 * i)) vol 0.3 2>/dev/null
done
total=$(du -sb "$work/mixed" | cut -f1)
alternate "$runs" 'rm -f "$work"/m.*' "$(q "$spoolpack" create "$work/m" "$work/mixed")" \
  'rm -f "$work"/m.tgz' "$(q tar czf "$work/m.tgz" -C "$work" mixed)"
r=$(ratio "$wall_b" "$wall_a")
echo "mixed tree ($total bytes): create ${wall_a}s (cpu ${cpu_a}s), tar czf ${wall_b}s (cpu ${cpu_b}s):" \
  "ratio $r, $(target "$r" 1.0 '>=')"
rm -rf "$work/mixed" "$work"/m.*

# ---- peak RSS of a job on a long WAV -------------------------------------------
mkdir -p "$work/long"
sox -n -r 44100 -c 2 -b 16 "$work/long/long.wav" synth "$long_s" sine 440 vol 0.3 2>/dev/null
head -c 3000000 /dev/zero | tr '\0' 'a' > "$work/long/a.txt"
/usr/bin/time -f '%M' -o "$work/rss.txt" "$spoolpack" create "$work/l" "$work/long" --jobs 2 > /dev/null
rss=$(tail -1 "$work/rss.txt")
echo "long WAV (${long_s}s stereo), --jobs 2: largest process $((rss / 1024)) MiB," \
  "$(if ((smoke)); then echo "smoke: no target"; else verdict "$((rss / 1024))" 64 '<='; fi)"
