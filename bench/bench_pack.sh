#!/usr/bin/env bash
# Unpacking speed and memory of spoolex against the peer tools:
#   bench/bench_pack.sh [--smoke] <build-folder>
# - a tree of real files from the system (~200 MB; a few small files with
#   --smoke) is packed; spoolex on its .ZPAK is timed against zlib-flate
#   (qpdf) inflating the same deflate streams to files, spoolex on its .UPAK
#   against cp of the same files;
# - one big entry (1 GiB; 4 MiB with --smoke) stored and deflated: the same
#   comparisons on a single stream, and spoolex's peak RSS.
# Targets: deflated >= 0.9 x zlib-flate, stored >= 0.8 x cp, RSS <= 32 MiB.
# Work files go to bench/out/pack/ (not tracked) and are removed at the end.
set -euo pipefail
source "$(dirname "$0")/common.sh" "$@"
spoolex="$build/driver/spoolex"
spoolpack="$build/tools/spoolpack/spoolpack"
work="$here/out/pack"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

if ((smoke)); then tree_bytes=$((2 * 1024 * 1024)); big_bytes=$((4 * 1024 * 1024)); else
  tree_bytes=$((200 * 1000 * 1000)); big_bytes=$((1024 * 1024 * 1024)); fi

reps=$((smoke ? 1 : 3))
mbps() { echo "scale=1; $1 / 1000000 / $2" | bc -l; }

# ---- the tree ----------------------------------------------------------------
tree="$work/tree"
mkdir -p "$tree"
# Files of 64 KiB to 20 MiB (text, locales, icons, shared libraries): the
# peer zlib-flate starts one process (about 50 ms) per stream, which would
# swamp the inflating of a tree of small files.
pick_files() {  # <root> <byte budget>: regular files in sorted order
  find "$1" -xdev -type f -readable -size +64k -size -20M -printf '%s\t%p\n' 2>/dev/null | LC_ALL=C sort -t$'\t' -k2 |
    awk -F'\t' -v budget="$2" '$2 !~ /\\/ && length($2) < 180 && sum < budget { sum += $1; print $2 }'
}
{ pick_files /usr/share $((tree_bytes / 2)); pick_files /usr/lib $((tree_bytes / 2)); } > "$work/files.txt"
xargs -d '\n' -a "$work/files.txt" cp --parents -t "$tree" 2>/dev/null || true
tree_size=$(du -sb "$tree" | cut -f1)
file_count=$(find "$tree" -type f | wc -l)
echo "tree: $file_count files, $tree_size bytes"

"$spoolpack" create "$work/game" "$tree" >/dev/null
mk_dirs() { (cd "$tree" && find . -mindepth 1 -type d) | (cd "$1" && xargs -r -d '\n' mkdir -p); }

# The stored and deflated packs run on their own (spoolex takes all kinds).
mkdir -p "$work/z" "$work/u"
mv "$work/game.ZPAK" "$work/z/game.ZPAK"
[[ -f "$work/game.UPAK" ]] && mv "$work/game.UPAK" "$work/u/game.UPAK"

# The same deflate streams as separate files, and the stored files' paths.
"$spoolpack" list "$work/z/game.ZPAK" > "$work/zlist.txt"
mkdir -p "$work/streams"
n=0
while read -r _ offset packed _ _; do
  dd if="$work/z/game.ZPAK" of="$work/streams/$n.z" iflag=skip_bytes,count_bytes skip="$offset" count="$packed" \
    status=none
  n=$((n + 1))
done < "$work/zlist.txt"
zbytes=$(awk '{ s += $4 } END { print s + 0 }' "$work/zlist.txt")
: > "$work/ulist.txt"
if [[ -f "$work/u/game.UPAK" ]]; then
  "$spoolpack" list "$work/u/game.UPAK" | cut -d' ' -f5- | tr '\\' '/' > "$work/ulist.txt"
fi
ubytes=$(cd "$tree" && xargs -r -d '\n' -a "$work/ulist.txt" cat | wc -c)
cat "$work"/z/game.ZPAK "$work"/streams/* "$work"/u/* > /dev/null 2>&1 || true  # warm the page cache

inflate_streams() { for f in "$1"/*.z; do zlib-flate -uncompress < "$f" > "$2/$(basename "$f").out"; done; }

best_of 'rm -rf "$work/dz" && mkdir -p "$work/dz" && mk_dirs "$work/dz"' "$spoolex" "$work/z/game" "$work/dz"
sz=$wall
best_of 'rm -rf "$work/pz" && mkdir -p "$work/pz"' \
  bash -c "$(declare -f inflate_streams); inflate_streams '$work/streams' '$work/pz'"
pz=$wall
(cd "$tree" && awk '{ print $5 }' "$work/zlist.txt" | tr '\\' '/' | head -n 50 |
  while read -r f; do cmp -s "$f" "$work/dz/$f" || { echo "bench: $f differs after spoolex"; exit 1; }; done)
# The peer's start-up, measured on an empty stream, taken off its time.
printf '' | zlib-flate -compress > "$work/empty.z"
runs=$((smoke ? 5 : 50))
calibrate() { for _ in $(seq "$2"); do zlib-flate -uncompress < "$1" > /dev/null; done; }
best_of : bash -c "$(declare -f calibrate); calibrate '$work/empty.z' $runs"
startup=$(echo "$wall / $runs" | bc -l)
pz_work=$(echo "$pz - $n * $startup" | bc -l)
if (($(echo "$pz_work <= 0" | bc -l))); then pz_work=0.001; fi
echo "deflated tree ($n entries, $zbytes bytes): spoolex ${sz}s ($(mbps "$zbytes" "$sz") MB/s)," \
  "zlib-flate per stream ${pz}s, less $(printf '%.1f' "$(echo "$startup * 1000" | bc -l)") ms start-up each:" \
  "$(printf '%.3f' "$pz_work")s ($(mbps "$zbytes" "$pz_work") MB/s): ratio $(ratio "$pz_work" "$sz")," \
  "$(verdict "$(ratio "$pz_work" "$sz")" 0.9 '>=')"

if [[ -s "$work/ulist.txt" ]]; then
  best_of 'rm -rf "$work/du" && mkdir -p "$work/du" && mk_dirs "$work/du"' "$spoolex" "$work/u/game" "$work/du"
  su=$wall
  best_of 'rm -rf "$work/pu" && mkdir -p "$work/pu"' \
    bash -c "cd '$tree' && xargs -d '\n' -a '$work/ulist.txt' cp --parents -t '$work/pu'"
  pu=$wall
  head -n 50 "$work/ulist.txt" | while read -r f; do
    cmp -s "$work/pu/$f" "$work/du/$f" || { echo "bench: $f differs after spoolex"; exit 1; }
  done
  echo "stored tree ($(wc -l < "$work/ulist.txt") entries, $ubytes bytes): spoolex ${su}s ($(mbps "$ubytes" "$su") MB/s)," \
    "cp ${pu}s ($(mbps "$ubytes" "$pu") MB/s): ratio $(ratio "$pu" "$su"), $(verdict "$(ratio "$pu" "$su")" 0.8 '>=')"
fi
rm -rf "$work/dz" "$work/pz" "$work/du" "$work/pu" "$work/streams" "$work/z" "$work/u"

# ---- one big entry -------------------------------------------------------------
big="$work/big"
mkdir -p "$big"
# Real data: the tree's files over and over, cut to size.
(while xargs -d '\n' -a "$work/files.txt" cat 2>/dev/null; do :; done) | head -c "$big_bytes" > "$big/big.dat" || true
rm -rf "$tree"
"$spoolpack" create "$work/bigu" "$big" --store '*' >/dev/null
"$spoolpack" create "$work/bigz" "$big" >/dev/null
[[ -f "$work/bigz.ZPAK" ]] || { echo "bench: the big file did not deflate"; exit 1; }
read -r _ offset packed _ _ < <("$spoolpack" list "$work/bigz.ZPAK")
dd if="$work/bigz.ZPAK" of="$work/big.z" iflag=skip_bytes,count_bytes skip="$offset" count="$packed" status=none

mkdir -p "$work/out"
clean_out='rm -f "$work"/out/*; cat "$work"/bigz.ZPAK "$work"/bigu.UPAK "$work"/big.z "$big"/big.dat > /dev/null'
best_of "$clean_out" "$spoolex" "$work/bigz" "$work/out"
sz=$wall rss_z=$rss_kib
cmp "$work/out/big.dat" "$big/big.dat"
best_of "$clean_out" bash -c "zlib-flate -uncompress < '$work/big.z' > '$work/out/peer.dat'"
pz=$wall
echo "deflated entry ($big_bytes bytes, $packed packed): spoolex ${sz}s ($(mbps "$big_bytes" "$sz") MB/s)," \
  "zlib-flate ${pz}s ($(mbps "$big_bytes" "$pz") MB/s): ratio $(ratio "$pz" "$sz"), $(verdict "$(ratio "$pz" "$sz")" 0.9 '>=')"

best_of "$clean_out" "$spoolex" "$work/bigu" "$work/out"
su=$wall rss_u=$rss_kib
cmp "$work/out/big.dat" "$big/big.dat"
best_of "$clean_out" cp "$big/big.dat" "$work/out/peer.dat"
pu=$wall
echo "stored entry ($big_bytes bytes): spoolex ${su}s ($(mbps "$big_bytes" "$su") MB/s)," \
  "cp ${pu}s ($(mbps "$big_bytes" "$pu") MB/s): ratio $(ratio "$pu" "$su"), $(verdict "$(ratio "$pu" "$su")" 0.8 '>=')"

rss_max=$(( rss_z > rss_u ? rss_z : rss_u ))
if ((rss_max <= 32 * 1024)); then rss_verdict="meets <= 32 MiB"; else rss_verdict="ABOVE target 32 MiB"; fi
echo "peak RSS of spoolex: deflated $((rss_z / 1024)) MiB, stored $((rss_u / 1024)) MiB: $rss_verdict"
