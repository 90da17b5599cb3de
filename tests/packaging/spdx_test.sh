#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# scripts/spdx on a small checkout of its own: which files get the licence
# line, where, with which marker, that a second run changes nothing, and
# what --check reports.
#   spdx_test.sh <scripts/spdx>
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "spdx: $1"; exit 1; }
mkdir -p "$work/scripts" "$work/lib" "$work/doc" "$work/demo/tree" "$work/fuzz/corpus/x"
# The script as it is before its own line is added.
sed '2{/^# SPDX-License-Identifier:/d}' "$1" > "$work/scripts/spdx"
cd "$work"
printf 'int f();\n' > lib/f.h
printf '// SPDX-License-Identifier: MIT\nint g;\n' > lib/g.cpp
printf '#!/usr/bin/env bash\necho hi\n' > scripts/run
chmod 755 scripts/run
printf 'project(x)\n' > CMakeLists.txt
printf '.TH X 1\n' > doc/x.1
printf 'notes\n' > demo/tree/notes.txt
printf 'RIFF' > fuzz/corpus/x/seed
printf '# Title\n' > README.md
printf 'untracked\n' > lib/untracked.c
git init -q . && git add lib/f.h lib/g.cpp scripts CMakeLists.txt doc demo fuzz README.md

status=0; python3 scripts/spdx --check > check.out || status=$?
[[ $status == 1 ]] || fail "--check before: status $status, expected 1"
[[ $(grep -c '^lacks' check.out) == 5 ]] || fail "--check before: $(cat check.out)"
python3 scripts/spdx > /dev/null
line='SPDX-License-Identifier: GPL-2.0-or-later'
[[ $(head -1 lib/f.h) == "// $line" && $(sed -n 2p lib/f.h) == 'int f();' ]] || fail "lib/f.h: $(cat lib/f.h)"
[[ $(head -1 lib/g.cpp) == '// SPDX-License-Identifier: MIT' ]] || fail "a file with its own line was changed"
[[ $(head -1 scripts/run) == '#!/usr/bin/env bash' && $(sed -n 2p scripts/run) == "# $line" ]] \
  || fail "scripts/run: $(cat scripts/run)"
[[ -x scripts/run ]] || fail "scripts/run lost its mode"
[[ $(head -1 CMakeLists.txt) == "# $line" ]] || fail "CMakeLists.txt: $(cat CMakeLists.txt)"
[[ $(head -1 scripts/spdx) == '#!/usr/bin/env python3' && $(sed -n 2p scripts/spdx) == "# $line" ]] \
  || fail "scripts/spdx: $(head -2 scripts/spdx)"
[[ $(head -1 doc/x.1) == ".\\\" $line" ]] || fail "doc/x.1: $(cat doc/x.1)"
[[ $(cat demo/tree/notes.txt) == notes && $(cat README.md) == '# Title' && $(cat lib/untracked.c) == untracked ]] \
  || fail "a file that is not tracked source was changed"
[[ $(cat fuzz/corpus/x/seed) == RIFF ]] || fail "a fuzz input was changed"
before=$(git ls-files -z | xargs -0 md5sum)
python3 scripts/spdx > second.out
[[ ! -s second.out && $(git ls-files -z | xargs -0 md5sum) == "$before" ]] \
  || fail "a second run changed something: $(cat second.out)"
python3 scripts/spdx --check || fail "--check after: status $?"
echo "spdx: lines added where missing, once"
