#!/usr/bin/env bash
# Installs what the demo needs (CMake and a compiler, nothing more), builds
# tarnwick-cli and runs it on a scratch copy of the bundled damaged sample:
# info, check, save, then the repair (a backup, rewrite, pack) and a last
# check, which finds no damage.
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
say() { printf '\n# %s\n' "$*"; }
say "info: the memo fields of the table"
step "$cli" info ORDERS.DBF
say "check: the diagnosis; status 4, the sample is damaged, and each finding names the command that mends it"
step "$cli" check ORDERS.DBF || [ $? = 4 ]
say "save: every memo text to a text file, as the window writes it"
step "$cli" save ORDERS.DBF ORDERS.txt
echo "(ORDERS.txt: $(wc -l < ORDERS.txt) lines, cp1251)"
step "$cli" save ORDERS.DBF ORDERS-utf8.txt --encoding utf-8 --codepage 1251
echo "(ORDERS-utf8.txt, the same texts in UTF-8:)"
head -3 ORDERS-utf8.txt
say "rewrite --backup: both files copied first, then every readable text copied byte for byte to fresh blocks; references that lead to no text are blanked"
step "$cli" rewrite ORDERS.DBF --yes --backup
say "pack: the memo file compacted to the texts references lead to (the backup above covers it)"
step "$cli" pack ORDERS.DBF --yes --no-backup
say "check: no damage left (notes are wear, not damage)"
step "$cli" check ORDERS.DBF
echo
echo "The repaired copy is in $work, with its backups (*.bak); the bundled sample is unchanged."
