# SPDX-License-Identifier: GPL-2.0-or-later
# Shared by the bench/bench_*.sh scripts, which source it with their own
# arguments:   source "$(dirname "$0")/common.sh" "$@"
# Parses [--smoke] <build-folder>: $smoke is 1 with --smoke, else 0; $build
# is the build folder's absolute path ("build" when none is given). $here is
# bench/. $baseline is the absolute path of the build folder that
# SPOOLEX_BASELINE names (another checkout's build, to compare with), or
# empty. Defines best_of, alternate, median, ratio, verdict, music_source,
# codec_report, side_by_side and codec_side_by_side.
smoke=0
if [[ "${1:-}" == "--smoke" ]]; then smoke=1; shift; fi
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
baseline=""
if [[ -n "${SPOOLEX_BASELINE:-}" ]]; then baseline=$(cd "$SPOOLEX_BASELINE" && pwd); fi

# best_of <prepare> <command...>: $reps times, runs <prepare> (not timed),
# flushes dirty pages so that no command pays for another's writeback, and
# runs the command with its standard output discarded. Sets $wall and $cpu
# (user + system) to the least seconds of any run and $rss_kib to the
# largest peak RSS (KiB). The machine is shared: the fastest run is the one
# least disturbed. REQUIRES: $reps, and $work, a folder for the timings.
best_of() {
  local prepare=$1 t0 t1 w c k r
  shift
  wall="" cpu="" rss_kib=0
  for ((r = 0; r < reps; r++)); do
    eval "$prepare"
    sync
    t0=$(date +%s.%N)
    /usr/bin/time -f '%U %S %M' -o "$work/time.txt" "$@" >/dev/null
    t1=$(date +%s.%N)
    w=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    read -r c k < <(awk '{ printf "%.3f %d\n", $1 + $2, $3 }' "$work/time.txt")
    if [[ -z "$wall" ]] || (($(echo "$w < $wall" | bc -l))); then wall=$w; fi
    if [[ -z "$cpu" ]] || (($(echo "$c < $cpu" | bc -l))); then cpu=$c; fi
    if ((k > rss_kib)); then rss_kib=$k; fi
  done
}

# alternate <runs> <prepare a> <command a> <prepare b> <command b>: runs
# command a and command b in turn, <runs> times each, so that a load that
# drifts on the shared machine disturbs both alike. Before each run its
# prepare string is eval'd (not timed) and dirty pages are flushed; the
# command string runs under bash -c (which execs a simple command) with its
# standard output discarded. Sets wall_a, wall_b and cpu_a, cpu_b (user +
# system) to the median seconds, and rss_a, rss_b to the largest peak RSS
# (KiB). REQUIRES: $work, a folder for the timings.
alternate() {
  local runs=$1 r side t0 t1 w c k
  local -a walls_a=() walls_b=() cpus_a=() cpus_b=()
  rss_a=0 rss_b=0
  for ((r = 0; r < runs; r++)); do
    for side in a b; do
      if [[ $side == a ]]; then eval "$2"; else eval "$4"; fi
      sync
      t0=$(date +%s.%N)
      if [[ $side == a ]]; then
        /usr/bin/time -f '%U %S %M' -o "$work/time.txt" bash -c "$3" >/dev/null
      else
        /usr/bin/time -f '%U %S %M' -o "$work/time.txt" bash -c "$5" >/dev/null
      fi
      t1=$(date +%s.%N)
      w=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
      read -r c k < <(awk '{ printf "%.3f %d\n", $1 + $2, $3 }' "$work/time.txt")
      if [[ $side == a ]]; then
        walls_a+=("$w") cpus_a+=("$c")
        if ((k > rss_a)); then rss_a=$k; fi
      else
        walls_b+=("$w") cpus_b+=("$c")
        if ((k > rss_b)); then rss_b=$k; fi
      fi
    done
  done
  wall_a=$(median "${walls_a[@]}") wall_b=$(median "${walls_b[@]}")
  cpu_a=$(median "${cpus_a[@]}") cpu_b=$(median "${cpus_b[@]}")
}

# median <values...>: the middle value (the mean of the two middle ones for
# an even count).
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# ratio <a> <b>: a / b to two decimals, 0 when b is 0.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# verdict <value> <target> <comparison>: "meets >= 0.9" or "MISSES >= 0.9".
verdict() { if (($(echo "$1 $3 $2" | bc -l))); then echo "meets $3 $2"; else echo "MISSES $3 $2"; fi; }

# music_source <seconds>: a music-like 44.1 kHz stereo source, two gliding
# tones with tremolo over soft noise, as $work/in.wav and as raw 16-bit
# little-endian samples $work/in.raw. REQUIRES: $work.
music_source() {
  sox -n -r 44100 -c 2 -b 16 "$work/tones.wav" synth "$1" sine 110-880 sine 165-1320 tremolo 3 40 vol 0.5
  sox -n -r 44100 -c 2 -b 16 "$work/noise.wav" synth "$1" pinknoise vol 0.05
  sox -m "$work/tones.wav" "$work/noise.wav" "$work/in.wav"
  sox "$work/in.wav" -t raw -e signed -b 16 -L "$work/in.raw"
}

# codec_report <codec> <what> <our cpu s> <their cpu s> <target>: one line
# with the ratio (their time / ours, above 1 faster) and whether it meets
# the target, "smoke" in smoke mode.
codec_report() {
  local r v
  r=$(ratio "$4" "$3")
  if ((smoke)); then v=smoke; else v=$(verdict "$r" "$5" '>='); fi
  printf '%s %-7s ours %8.3f s  theirs %8.3f s  ratio %s  (%s)\n' "$1" "$2" "$3" "$4" "$r" "$v"
}

# side_by_side <name> <RSS target MiB, 0 for none> <prepare> <command>: the
# command (with @BUILD@ standing for a build folder) of this build and, when
# $baseline is set, of the baseline's, run in turn $runs times (see
# alternate). One line: the median CPU seconds and the peak RSS of each, the
# speed ratio (the baseline's CPU time / ours, above 1 faster) and whether
# our peak RSS meets the target ("smoke" in smoke mode). REQUIRES: $runs,
# $work.
side_by_side() {
  local name=$1 target=$2 prepare=$3 template=$4 theirs=: before=: cpu_text rss_text v
  if [[ -n "$baseline" ]]; then theirs=${template//@BUILD@/$baseline} before=$prepare; fi
  alternate "$runs" "$prepare" "${template//@BUILD@/$build}" "$before" "$theirs"
  if ((smoke)); then
    v=smoke
  elif ((target > 0)); then
    v="RSS $(verdict "$((rss_a / 1024))" "$target" '<=') MiB"
  else
    v="no RSS target"
  fi
  cpu_text=$(printf 'ours %7.3f s %6.0f MiB' "$cpu_a" "$(ratio "$rss_a" 1024)")
  rss_text="no baseline"
  if [[ -n "$baseline" ]]; then
    rss_text=$(printf 'baseline %7.3f s %6.0f MiB  speed ratio %s' "$cpu_b" "$(ratio "$rss_b" 1024)" \
      "$(ratio "$cpu_b" "$cpu_a")")
  fi
  printf '%-26s %s  %s  (%s)\n' "$name" "$cpu_text" "$rss_text" "$v"
}

# codec_side_by_side <codec> <stream to decode> <encode arguments> <stream
# the encode must give> <spoolpack mode>: side_by_side lines for
# bench_<codec> decoding and encoding (into $work/out.<codec>), spoolpack
# packing $work/tree with the mode, and spoolex restoring $work/game (which
# that mode made with this build). The baseline runs last, so the bytes it
# encodes and packs are compared with ours at the end; returns 1 when they
# differ.
codec_side_by_side() {
  local codec=$1 stream=$2 arguments=$3 same=$4 mode=$5
  side_by_side "$codec decode" 64 : "@BUILD@/bench/bench_$codec decode '$stream'"
  side_by_side "$codec encode" 64 : "@BUILD@/bench/bench_$codec encode $arguments '$work/out.$codec'"
  side_by_side "spoolpack create $mode" 64 "rm -f '$work'/made.*" \
    "@BUILD@/tools/spoolpack/spoolpack create '$work/made' '$work/tree' --audio $mode"
  side_by_side "spoolex restore $codec" 64 "rm -f '$work/dest/in.wav'" "@BUILD@/driver/spoolex '$work/game' '$work/dest'"
  cmp -s "$work/out.$codec" "$same" || { echo "$codec: the two builds encode other bytes"; return 1; }
  cmp -s "$work/made.APAK" "$work/game.APAK" || { echo "$codec: the two builds pack other bytes"; return 1; }
}
