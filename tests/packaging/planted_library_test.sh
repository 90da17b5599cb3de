#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A library under a codec library's name in the working directory is never
# loaded: the programs' run paths name no folder relative to it.
#   planted_library_test.sh <spoolex> <spoolpack> <planted library>
# Packs one AAC, one Ogg Vorbis and one VQF entry from a clean folder, then
# unpacks and verifies them from a folder that holds the planted library
# under each of the seven names the programs load codecs by (and under
# kervdll/, which is checked and passed over for its mode).
set -euo pipefail
spoolex=$1 spoolpack=$2 planted=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "planted library: $1"; exit 1; }

mkdir -p "$work/src" "$work/plant/kervdll" "$work/out" "$work/out2"
sox -n -r 44100 -c 2 -b 16 "$work/src/aac.wav" synth 0.3 sine 440
sox -n -r 44100 -c 2 -b 16 "$work/src/ogg.wav" synth 0.3 sine 550
sox -n -r 22050 -c 1 -b 16 "$work/src/vqf.wav" synth 0.3 sine 660
(cd "$work" && "$spoolpack" create "$work/p" "$work/src" \
   --audio-for 'aac*=aac:64' --audio-for 'ogg*=ogg:4' --audio-for 'vqf*=vqf') >/dev/null
for name in libfaad.so.2 libogg.so.0 libvorbis.so.0 libvorbisenc.so.2 libmp4enc.so libtvqdec.so libtvqenc.so; do
  cp "$planted" "$work/plant/$name"
  cp "$planted" "$work/plant/kervdll/$name"
done
chmod 0777 "$work/plant/kervdll"

cd "$work/plant"
"$spoolex" ../p ../out > ../spoolex.out 2>&1 || true
[[ ! -e planted-library-loaded ]] || fail "spoolex loaded a library from the working directory"
verify=0; "$spoolpack" verify ../p > ../verify.out 2>&1 || verify=$?
[[ ! -e planted-library-loaded ]] || fail "spoolpack verify loaded a library from the working directory"
extract=0; "$spoolpack" extract ../p ../out2 --quiet > ../extract.out 2>&1 || extract=$?
[[ ! -e planted-library-loaded ]] || fail "spoolpack extract loaded a library from the working directory"
[[ $(grep -c 'audio packed' ../spoolex.out) == 3 ]] || fail "spoolex did not restore the three entries: $(cat ../spoolex.out)"
[[ $verify == 0 ]] || fail "spoolpack verify found a problem: $(cat ../verify.out)"
[[ $extract == 0 ]] || fail "spoolpack extract failed: $(cat ../extract.out)"
echo "planted library: not loaded by spoolex, spoolpack verify or spoolpack extract"
