#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks the run path of every ELF executable and shared library under the
# given folders (a build tree, an install tree, an extracted package):
#   check_run_paths.sh <folder>...
# Each element of a DT_RUNPATH or DT_RPATH must be absolute or start with
# $ORIGIN, and name a folder that exists: an empty element (a ':' at either
# end or doubled) or a relative one is searched under the working
# directory, where anyone may have planted a library.
set -euo pipefail
failures=0
checked=0
fail() { echo "run path: $1"; failures=$((failures + 1)); }
while IFS= read -r -d '' file; do
  [[ $(head -c 4 "$file" | od -An -tx1 | tr -d ' ') == 7f454c46 ]] || continue
  checked=$((checked + 1))
  # "Library runpath: [a:b]" or "Library rpath: [a:b]", one line each.
  while IFS= read -r line; do
    value=${line#*[}
    value=${value%]}
    origin=$(cd "$(dirname "$file")" && pwd -P)
    IFS=: read -r -a elements <<< "$value"
    if [[ -z $value || $value == :* || $value == *: || $value == *::* ]]; then
      fail "$file: empty element in '$value'"
      continue
    fi
    for element in "${elements[@]}"; do
      element=${element/#'${ORIGIN}'/'$ORIGIN'}
      case $element in
        '$ORIGIN'*) folder=$origin${element#'$ORIGIN'} ;;
        /*) folder=$element ;;
        *) fail "$file: relative element '$element'"; continue ;;
      esac
      [[ -d $folder ]] || fail "$file: element '$element' names no folder ($folder)"
    done
  done < <(readelf -d "$file" | grep -E '\((RUNPATH|RPATH)\)' || true)
done < <(find "$@" -name CMakeFiles -prune -o -type f -print0)
echo "run path: $checked ELF files checked, $failures problems"
[[ $checked -gt 0 && $failures -eq 0 ]]
