#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The bash completion of spoolpack and spoolex, under bash-completion:
#   completion_test.sh <completion file> <spoolpack>
# Completes command lines in a folder of packs, and checks that every
# option spoolpack's help names is completed.
set -euo pipefail
completion=$(realpath "$1") spoolpack=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

source /usr/share/bash-completion/bash_completion
source "$completion"

# complete_line "<words>" prints the candidates for the last word (an empty
# last word when the line ends in a space), one a line, sorted.
complete_line() {
  local line=$1
  read -r -a COMP_WORDS <<< "$line"
  [[ $line == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  "$(complete -p "${COMP_WORDS[0]}" | sed -E 's/.*-F ([^ ]+) .*/\1/')" \
    "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
expect() {
  local got
  got=$(complete_line "$1")
  if [[ $got != "$2" ]]; then
    echo "completion: '$1' gives '$got', expected '$2'"
    failures=$((failures + 1))
  fi
}

cd "$work"
mkdir dest
touch game.APAK game.UPAK music.zpak notes.txt
expect 'spoolpack ' '--help --version create extract help list mount verify '
expect 'spoolpack ex' 'extract '
expect 'spoolpack extract ' 'dest game music '
expect 'spoolpack extract g' 'game '
expect 'spoolpack extract game ' 'dest '
expect 'spoolpack extract game dest --ex' '--exclude --existing '
expect 'spoolpack extract game dest --existing ' 'fail keep overwrite '
expect 'spoolpack extract --only x ' 'dest game music '
expect 'spoolpack create game dest --audio ' 'aac keep none ogg pcm vqf '
expect 'spoolpack list ' 'dest game game.APAK game.UPAK music music.zpak '
expect 'spoolpack create game dest --q' '--quiet '
expect 'spoolpack verify --q' '--quiet '
expect 'spoolpack extract -- --only ' 'dest '
expect 'spoolpack help l' 'list '
expect 'spoolpack verify m' 'music '
expect 'spoolex ' 'dest game music '
expect 'spoolex game ' 'dest '
expect 'spoolex game dest ' 'delete '

# Every option of spoolpack's help is completed for its command.
options=$("$spoolpack" help | grep -oE -- '--[a-z][a-z-]*' | sort -u)
for option in $options; do
  [[ $option == --help || $option == --version ]] && continue
  found=no
  for command in create extract list mount; do
    [[ $(complete_line "spoolpack $command game ${option:0:3}") == *"$option "* ]] && found=yes
  done
  [[ $found == yes ]] || { echo "completion: $option of spoolpack help is not completed"; failures=$((failures + 1)); }
done

echo "completion: $failures problems"
[[ $failures -eq 0 ]]
