#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# spoolpack mount against reading the same bytes without it:
#   bench/bench_mount.sh [--smoke] <build-folder>
# - stored: one entry of 1 GiB (8 MiB with --smoke) read whole through a
#   fresh mount with dd bs=1M, against dd of the same bytes out of the pack
#   (warm in the page cache for both). Target >= 0.5 x dd. A second read
#   through the same mount is shown too.
# - deflated: one entry of 200 MB (4 MB) of text and binary files of the
#   system; the median of 200 (20) 4 KiB reads at random offsets through the
#   mount, after the first open (which inflates it once). Target <= 5 ms.
# - audio: one minute (2 s) of music packed as Ogg Vorbis and restored as
#   its WAV source; the first open through a fresh mount (reading one byte)
#   against spoolpack extract --only of it. Target >= 1.0 x extract.
# Runs alternate five times each (once with --smoke) and times are medians.
# A machine that cannot mount says so and measures nothing. Work files go to
# bench/out/mount/ (not tracked).
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
spoolpack="$build/tools/spoolpack/spoolpack"
work="$here/out/mount"
mnt="$work/mnt"
# unmount: unmounts $mnt, waiting for a reader that is still letting go.
unmount() {
  local tries
  for ((tries = 0; tries < 50; tries++)); do
    if ! mountpoint -q "$mnt" || fusermount3 -u "$mnt" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  fusermount3 -u "$mnt"
}
unmount  # left by a run that was stopped
rm -rf "$work"
mkdir -p "$work/src" "$mnt"
trap 'unmount; rm -rf "$work"' EXIT

if ((smoke)); then stored_bytes=$((8 * 1024 * 1024)); deflated_bytes=$((4 * 1000 * 1000)); seconds=2; reads=20; runs=1
else stored_bytes=$((1024 * 1024 * 1024)); deflated_bytes=$((200 * 1000 * 1000)); seconds=60; reads=200; runs=5; fi

q() { printf '%q ' "$@"; }
mbps() { echo "scale=1; $1 / 1000000 / $2" | bc -l; }
mount_set() { "$spoolpack" mount "$1" "$mnt" --cache "$work/cache" >/dev/null; }
# remount <pakname>: a fresh mount of the set, nothing of it in any cache.
remount() { unmount; mount_set "$1"; }
# fill <bytes> <file>: text and binary files of the system, cut to <bytes>.
fill() {
  (while find /usr/include /usr/lib/x86_64-linux-gnu /usr/share/perl -xdev -type f -readable -size -4M \
    -print0 2>/dev/null | LC_ALL=C sort -z | xargs -0 cat 2>/dev/null; do :; done) | head -c "$1" > "$2" || true
}
verdict_of() { if ((smoke)); then echo "smoke: no target"; else verdict "$1" "$2" "$3"; fi; }

if [[ ! -w /dev/fuse ]] || ! command -v fusermount3 >/dev/null; then
  echo "mount: cannot mount here (no usable /dev/fuse or no fusermount3): nothing measured"
  exit 0
fi

# ---- one stored entry ------------------------------------------------------------
head -c "$stored_bytes" /dev/urandom > "$work/src/big.dat"
"$spoolpack" create "$work/u" "$work/src" --store '*' >/dev/null
read -r _ offset _ _ _ < <("$spoolpack" list "$work/u.UPAK")
cat "$work/u.UPAK" > /dev/null
rm "$work/src/big.dat"
alternate "$runs" "remount $(q "$work/u")" "$(q dd if="$mnt/big.dat" of=/dev/null bs=1M status=none)" \
  : "$(q dd if="$work/u.UPAK" of=/dev/null bs=1M iflag=skip_bytes,count_bytes skip="$offset" \
    count="$stored_bytes" status=none)"
r=$(ratio "$wall_b" "$wall_a")
echo "stored entry ($stored_bytes bytes): mount ${wall_a}s ($(mbps "$stored_bytes" "$wall_a") MB/s), dd of the pack" \
  "${wall_b}s ($(mbps "$stored_bytes" "$wall_b") MB/s): ratio $r, $(verdict_of "$r" 0.5 '>=')"
reps=$runs best_of : dd if="$mnt/big.dat" of=/dev/null bs=1M status=none
echo "stored entry read again through the same mount: ${wall}s ($(mbps "$stored_bytes" "$wall") MB/s)," \
  "ratio $(ratio "$wall_b" "$wall") to dd of the pack"
cmp <(head -c 1000000 "$mnt/big.dat") <(dd if="$work/u.UPAK" bs=1 skip="$offset" count=1000000 status=none)
unmount
rm -f "$work/u.UPAK"

# ---- one deflated entry: 4 KiB reads at random offsets -----------------------------
fill "$deflated_bytes" "$work/src/mixed.dat"
"$spoolpack" create "$work/z" "$work/src" >/dev/null
[[ -f "$work/z.ZPAK" ]] || { echo "bench: the mixed file did not deflate"; exit 1; }
remount "$work/z"
cat > "$work/random_reads.py" <<'EOF'
import os, random, statistics, sys, time
path, source, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
size = os.path.getsize(source)
start = time.perf_counter()
fd = os.open(path, os.O_RDONLY)
first = time.perf_counter() - start
src = os.open(source, os.O_RDONLY)
rng = random.Random(7)
times = []
for _ in range(count):
    offset = rng.randrange(0, size - 4096)
    t = time.perf_counter()
    got = os.pread(fd, 4096, offset)
    times.append(time.perf_counter() - t)
    if got != os.pread(src, 4096, offset):
        sys.exit("bench: a read through the mount differs at %d" % offset)
print("%.3f %.3f %.3f" % (first, statistics.median(times) * 1000, max(times) * 1000))
EOF
result=$(python3 "$work/random_reads.py" "$mnt/mixed.dat" "$work/src/mixed.dat" "$reads")
read -r first median worst <<< "$result"
echo "deflated entry ($deflated_bytes bytes): first open ${first}s; 4 KiB random reads: median ${median} ms," \
  "slowest ${worst} ms: $(verdict_of "$median" 5 '<=')"
unmount
rm -rf "$work/src"/* "$work/z.ZPAK"

# ---- one minute of Ogg Vorbis: first open against extract ----------------------------
music_source "$seconds"
mv "$work/in.wav" "$work/src/music.wav"
rm -f "$work/in.raw" "$work/tones.wav" "$work/noise.wav"
"$spoolpack" create "$work/a" "$work/src" --audio ogg >/dev/null
clean_out='rm -rf "$work/out"'
alternate "$runs" "remount $(q "$work/a")" "$(q head -c 1 "$mnt/music.wav")" \
  "$clean_out" "$(q "$spoolpack" extract "$work/a" "$work/out" --only music.wav --quiet)"
r=$(ratio "$wall_b" "$wall_a")
echo "ogg entry (${seconds} s): first open through the mount ${wall_a}s, spoolpack extract ${wall_b}s:" \
  "ratio $r, $(verdict_of "$r" 1.0 '>=')"
cmp "$mnt/music.wav" "$work/out/music.wav"
