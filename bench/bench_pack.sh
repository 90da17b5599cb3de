#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Unpacking speed and memory of spoolex against its peer tools on the same
# bytes, and against the in-process bound of each path (bench_pack_bound:
# inflating into a reused buffer, memcpy of stored bytes; no file written):
#   bench/bench_pack.sh [--smoke] <build-folder>
# - deflated: one entry of 200 MB (8 MB with --smoke), text and binary files
#   of the system interleaved, deflated at level 9 by spoolpack; spoolex on
#   its .ZPAK against zlib-flate -uncompress (qpdf) on the same stream, both
#   writing the file. Target >= 2.0 x zlib-flate.
# - stored: one entry of 1 GiB (8 MiB) against cp of the source file.
#   Target >= 1.0 x cp.
# - stored tree: 20000 small files (300) of the system, up to 16 KiB each,
#   against cp -r of the tree. cp -r makes the tree's folders in its time;
#   spoolex, which creates no folders, gets them made before it, untimed.
#   Target >= 1.0 x cp -r.
# - peak RSS of spoolex on the deflated and the stored entry <= 32 MiB.
# spoolex and its peer run alternately, five times each (once with --smoke);
# times are medians, inputs are warm in the page cache, outputs removed
# before each run. Work files go to bench/out/pack/ (not tracked) and each
# part deletes its big files when done.
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
spoolex="$build/driver/spoolex"
spoolpack="$build/tools/spoolpack/spoolpack"
bound="$build/bench/bench_pack_bound"
work="$here/out/pack"
rm -rf "$work"
mkdir -p "$work/out"
trap 'rm -rf "$work"' EXIT

if ((smoke)); then deflated_bytes=$((8 * 1000 * 1000)); stored_bytes=$((8 * 1024 * 1024)); small_files=300; runs=1
else deflated_bytes=$((200 * 1000 * 1000)); stored_bytes=$((1024 * 1024 * 1024)); small_files=20000; runs=5; fi

q() { printf '%q ' "$@"; }
mbps() { echo "scale=1; $1 / 1000000 / $2" | bc -l; }
# bound_of <pack> <kind>: sets $bound_s to the bound's median seconds.
bound_of() { read -r _ bound_s _ < <("$bound" "$1" "$2" "$runs"); }
# pick_files <byte budget> <min> <max> <roots...>: readable regular files of
# <min> to <max> (find -size units), sorted, that spoolpack can pack, one
# per line, until the budget is spent.
pick_files() {
  local budget=$1 min=$2 max=$3
  shift 3
  find "$@" -xdev -type f -readable -size "+$min" -size "-$max" -printf '%s\t%p\n' 2>/dev/null |
    LC_ALL=C sort -t$'\t' -k2 | awk -F'\t' -v budget="$budget" '$2 !~ /\\/ && length($2) < 180 && sum < budget { sum += $1; print $2 }'
}
# fill <bytes> <list> <file>: the listed files one after another, over again
# when they run out, cut to <bytes>.
fill() { (while xargs -d '\n' -a "$2" cat 2>/dev/null; do :; done) | head -c "$1" > "$3" || true; }
# report <what> <bytes> <peer name> <target>: one line from the last
# alternate (a = spoolex, b = the peer) and $bound_s.
report() {
  local r v
  r=$(ratio "$wall_b" "$wall_a")
  if ((smoke)); then v="smoke: no target"; else v=$(verdict "$r" "$4" '>='); fi
  echo "$1: spoolex ${wall_a}s ($(mbps "$2" "$wall_a") MB/s, cpu ${cpu_a}s), $3 ${wall_b}s" \
    "($(mbps "$2" "$wall_b") MB/s, cpu ${cpu_b}s), bound ${bound_s}s ($(mbps "$2" "$bound_s") MB/s):" \
    "ratio $r (cpu $(ratio "$cpu_b" "$cpu_a")), $v; spoolex at $(ratio "$bound_s" "$wall_a") of the bound"
}
clean_out='rm -rf "$work/out" && mkdir -p "$work/out"'

# ---- one deflated entry of text and binary -------------------------------------
mkdir -p "$work/src"
pick_files $((deflated_bytes / 2)) 4k 4M /usr/include /usr/share/perl /usr/lib/python3 /usr/share/i18n > "$work/text.txt"
pick_files $((deflated_bytes / 2)) 4k 4M /usr/lib/x86_64-linux-gnu /usr/bin > "$work/binary.txt"
paste -d '\n' "$work/text.txt" "$work/binary.txt" | grep -v '^$' > "$work/mixed.txt"
fill "$deflated_bytes" "$work/mixed.txt" "$work/src/mixed.dat"
"$spoolpack" create "$work/z" "$work/src" >/dev/null
[[ -f "$work/z.ZPAK" ]] || { echo "bench: the mixed file did not deflate"; exit 1; }
read -r _ offset packed _ _ < <("$spoolpack" list "$work/z.ZPAK")
dd if="$work/z.ZPAK" of="$work/mixed.z" iflag=skip_bytes,count_bytes skip="$offset" count="$packed" status=none
cat "$work/z.ZPAK" "$work/mixed.z" > /dev/null  # warm the page cache
"$spoolex" "$work/z" "$work/out" > /dev/null
cmp "$work/out/mixed.dat" "$work/src/mixed.dat"
alternate "$runs" "$clean_out" "$(q "$spoolex" "$work/z" "$work/out")" \
  "$clean_out" "$(q zlib-flate -uncompress) < $(q "$work/mixed.z") > $(q "$work/out/peer.dat")"
rss_z=$rss_a
bound_of "$work/z.ZPAK" deflated
report "deflated entry ($deflated_bytes bytes, $packed packed)" "$deflated_bytes" zlib-flate 2.0
rm -rf "$work/src" "$work/z.ZPAK" "$work/mixed.z" "$work/out"/*

# ---- one stored entry ------------------------------------------------------------
mkdir -p "$work/big"
fill "$stored_bytes" "$work/mixed.txt" "$work/big/big.dat"
"$spoolpack" create "$work/u" "$work/big" --store '*' >/dev/null
cat "$work/u.UPAK" "$work/big/big.dat" > /dev/null
"$spoolex" "$work/u" "$work/out" > /dev/null
cmp "$work/out/big.dat" "$work/big/big.dat"
alternate "$runs" "$clean_out" "$(q "$spoolex" "$work/u" "$work/out")" \
  "$clean_out" "$(q cp "$work/big/big.dat" "$work/out/peer.dat")"
rss_u=$rss_a
bound_of "$work/u.UPAK" stored
report "stored entry ($stored_bytes bytes)" "$stored_bytes" cp 1.0
rm -rf "$work/big" "$work/u.UPAK" "$work/out"/*

# ---- a tree of small stored entries ----------------------------------------------
mkdir -p "$work/tree"
pick_files $((small_files * 16384)) 0 16k /usr/include /usr/share /usr/lib/python3 > "$work/small.txt"
sed -i "$((small_files + 1)),\$d" "$work/small.txt"
xargs -d '\n' -a "$work/small.txt" cp --parents -t "$work/tree" 2>/dev/null || true
tree_files=$(find "$work/tree" -type f | wc -l)
tree_bytes=$(find "$work/tree" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
"$spoolpack" create "$work/t" "$work/tree" --store '*' >/dev/null
mk_dirs='rm -rf "$work/out" && mkdir -p "$work/out" && (cd "$work/tree" && find . -mindepth 1 -type d) |
  (cd "$work/out" && xargs -r -d "\n" mkdir -p)'
cat "$work/t.UPAK" > /dev/null
find "$work/tree" -type f -exec cat {} + > /dev/null
alternate "$runs" "$mk_dirs" "$(q "$spoolex" "$work/t" "$work/out")" \
  'rm -rf "$work/out"' "$(q cp -r "$work/tree" "$work/out")"
diff -r "$work/tree" "$work/out" > /dev/null || { echo "bench: the tree differs after cp -r"; exit 1; }
eval "$mk_dirs"
"$spoolex" "$work/t" "$work/out" > /dev/null
diff -r "$work/tree" "$work/out" > /dev/null || { echo "bench: the tree differs after spoolex"; exit 1; }
bound_of "$work/t.UPAK" stored
report "stored tree ($tree_files files, $tree_bytes bytes)" "$tree_bytes" "cp -r" 1.0
rm -rf "$work/tree" "$work/t.UPAK" "$work/out"

rss_max=$((rss_z > rss_u ? rss_z : rss_u))
if ((smoke)); then rss_verdict="smoke: no target"; elif ((rss_max <= 32 * 1024)); then rss_verdict="meets <= 32 MiB"; else rss_verdict="ABOVE target 32 MiB"; fi
echo "peak RSS of spoolex: deflated $((rss_z / 1024)) MiB, stored $((rss_u / 1024)) MiB: $rss_verdict"
