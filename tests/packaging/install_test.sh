#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The install, the uninstall and the Debian package of a Release build:
#   install_test.sh <build folder>
# 1. `cmake --install` into a DESTDIR: every file lands under it, the
#    binaries are stripped, the run paths clean, the codec libraries carry
#    their sonames; the installed programs pack and unpack AAC and VQF with
#    the installed codec libraries; the uninstall target removes it all.
# 2. `cpack -G DEB`: the package holds the programs in /usr/bin and the
#    codec libraries in /usr/lib/<multiarch>/spoolex, depends on what they
#    link and load; extracted with dpkg-deb, it works the same way.
set -euo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "install: $1"; exit 1; }
multiarch=$(gcc -print-multiarch)
codecs=usr/lib/$multiarch/spoolex
expected="usr/bin/spoolex
usr/bin/spoolpack
$codecs/libmp4enc.so
$codecs/libtvqdec.so
$codecs/libtvqenc.so
usr/share/bash-completion/completions/spoolex
usr/share/bash-completion/completions/spoolpack
usr/share/doc/spoolex/LICENSE
usr/share/doc/spoolex/README.md
usr/share/man/man1/spoolex.1.gz
usr/share/man/man1/spoolpack.1.gz"

# check_tree <root>: the files under <root>, their run paths, sonames and
# symbols, and the programs at work from an unrelated folder.
check_tree() {
  local root=$1 file name out
  [[ $(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort) == "$expected" ]] \
    || fail "$root holds: $(cd "$root" && find . -type f -o -type l | sort | tr '\n' ' ')"
  out=$(bash "$here/check_run_paths.sh" "$root") || fail "$out"
  for file in "$root"/usr/bin/* "$root/$codecs"/*; do
    readelf -S "$file" | grep -q '\.symtab' && fail "$file is not stripped"
  done
  for file in "$root/$codecs"/*; do
    name=$(readelf -d "$file" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
    [[ $name == "$(basename "$file")" ]] || fail "$file: soname '$name'"
  done
  for name in spoolex.1.gz spoolpack.1.gz; do
    gzip -t "$root/usr/share/man/man1/$name" || fail "$name is no gzip file"
  done

  local run=$work/run
  rm -rf "$run" && mkdir -p "$run/src" "$run/dest"
  sox -n -r 44100 -c 2 -b 16 "$run/src/theme.wav" synth 0.3 sine 440
  sox -n -r 22050 -c 1 -b 16 "$run/src/tone.wav" synth 0.3 sine 660
  printf 'settings\n' > "$run/src/notes.txt"
  cd "$run"
  LD_DEBUG=files "$root/usr/bin/spoolpack" create game src --audio-for 'theme*=aac:64' \
    --audio-for 'tone*=vqf' > create.out 2> create.err || fail "spoolpack create: $(grep -v '^ *[0-9]*:' create.err)"
  LD_DEBUG=files "$root/usr/bin/spoolpack" extract game dest --quiet 2> extract.err \
    || fail "spoolpack extract: $(grep -v '^ *[0-9]*:' extract.err)"
  [[ $(grep -c audio <("$root/usr/bin/spoolpack" list game.APAK)) == 2 ]] || fail "not both clips went to the APAK"
  local loaded
  for name in libmp4enc.so libtvqenc.so libtvqdec.so; do
    loaded=$(sed -n "s|.*calling init: \(.*/$name\)\$|\1|p" create.err extract.err | xargs -r realpath | sort -u)
    [[ $loaded == "$(realpath "$root/$codecs/$name")" ]] || fail "$name was loaded from '$loaded', not from $root/$codecs"
  done
  cmp src/notes.txt dest/notes.txt || fail "notes.txt did not come back"
  for name in theme.wav tone.wav; do
    [[ $(soxi -D "dest/$name") == "$(soxi -D "src/$name")" ]] || fail "$name did not come back at its length"
  done
  mkdir dest2
  "$root/usr/bin/spoolex" game dest2 > spoolex.out
  grep -q 'tone.wav...audio packed' spoolex.out || fail "spoolex did not restore tone.wav: $(cat spoolex.out)"
  cd - > /dev/null
}

# 1. Install into a DESTDIR, then uninstall.
DESTDIR=$work/root cmake --install "$build" --prefix /usr > "$work/install.out"
[[ $(cat "$build/install_destdir.txt") == "$work/root" ]] || fail "the install did not keep its DESTDIR"
grep -v "^/usr/" "$build/install_manifest.txt" && fail "installed outside the prefix"
check_tree "$work/root"
cmake --build "$build" --target uninstall > /dev/null
left=$(find "$work/root" -type f -o -type l -o -type d -name spoolex)
[[ -z $left ]] || fail "the uninstall left $left"
echo "install: installed, checked and uninstalled"

# 2. The Debian package, extracted.
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB > "$work/cpack.out" 2>&1) || fail "cpack: $(cat "$work/cpack.out")"
deb=$(ls "$build"/packages/spoolex_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for package in libfaad2 libogg0 libvorbis0a libvorbisenc2 libsndfile1 libisal2 zlib1g libavcodec libc6; do
  [[ $depends == *"$package"* ]] || fail "the package does not depend on $package: $depends"
done
# Owned by root, writable by nobody else.
dpkg-deb -c "$deb" | awk '$2 != "root/root" || substr($1, 6, 1) == "w" || substr($1, 9, 1) == "w"' | grep . \
  && fail "entries of the package owned by another user or writable by group or others"
dpkg-deb -x "$deb" "$work/deb"
check_tree "$work/deb"
echo "install: $(basename "$deb") extracted and checked (Depends: $depends)"
