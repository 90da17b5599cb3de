#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Bytes written and peak memory of spoolex and spoolpack on expansion bombs
# and on a genuine highly compressed pack: bench/bench_limits.sh [--smoke] <build-folder>
set -euo pipefail
exec python3 "$(dirname "$0")/limits.py" "$@"
