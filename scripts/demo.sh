#!/usr/bin/env bash
# Installs what the demo needs (CMake and a compiler, nothing more), builds
# tarnwick-cli and runs it on a scratch copy of the bundled damaged sample:
# info, check, save, clear of the damaged references, check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TARNWICK_BUILD:-$root/build/demo-build}

"$root/scripts/setup.sh" demo
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target tarnwick-cli >/dev/null
cli=$build/cli/tarnwick-cli

work=$root/build/demo
rm -rf "$work"
mkdir -p "$work"
cp "$root"/examples/sample/ORDERS.DBF "$root"/examples/sample/ORDERS.FPT "$work"/
cd "$work"

step() { printf '\n\033[1m$ %s\033[0m\n' "$*"; "$@"; }
# check ends with 4 when it finds something wrong: the sample is damaged.
check() { step "$cli" check ORDERS.DBF || [ $? = 4 ]; }
step "$cli" info ORDERS.DBF
check
step "$cli" save ORDERS.DBF ORDERS.txt
echo "(ORDERS.txt: $(wc -l < ORDERS.txt) lines, cp1251, as the window writes it)"
step "$cli" save ORDERS.DBF ORDERS-utf8.txt --encoding utf-8 --codepage 1251
echo "(ORDERS-utf8.txt, the same texts in UTF-8:)"
head -3 ORDERS-utf8.txt
step "$cli" clear ORDERS.DBF --yes
check
echo
echo "The repaired copy is in $work; the bundled sample is unchanged."
