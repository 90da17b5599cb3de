#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Lints the manual pages and checks that spoolpack's names every option:
#   manual_pages_test.sh <spoolpack> <page>...
# groff (-ww: every warning) and mandoc -Tlint must have nothing to say.
set -euo pipefail
spoolpack=$1; shift
failures=0
fail() { echo "manual pages: $1"; failures=$((failures + 1)); }
for page in "$@"; do
  out=$(groff -man -ww -z "$page" 2>&1) || fail "$page: groff fails"
  [[ -z $out ]] || fail "$page: groff: $out"
  out=$(mandoc -Tlint "$page" 2>&1) || fail "$page: mandoc -Tlint: $out"
done
page=$(printf '%s\n' "$@" | grep '/spoolpack\.1$')
for option in $("$spoolpack" help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
  grep -qF -- "${option//-/\\-}" "$page" || fail "$page does not name $option"
done
echo "manual pages: $# linted, $failures problems"
[[ $failures -eq 0 ]]
