#!/usr/bin/env bash
# The window against the command line: Rewrite, Clear and Load of one large
# table from tarnwick.exe and from tarnwick-cli.exe, both under Wine, on the
# same machine and the same table. Target: the window takes at most 1.2 times
# what the command line takes.
#
#   bench/window.sh <windows-build-dir> [RECORDS] [OUTDIR]
#                   (default 600,000 records, OUTDIR build/bench-window)
#
# <windows-build-dir> is a cross build holding main/win32/tarnwick.exe,
# cli/tarnwick-cli.exe and tests/gui/tarnwick_gui_driver.exe. The table is
# bench's own (make_bench_table, built natively in OUTDIR/native); the text
# file Load reads is what tarnwick-cli save writes of it. Every run gets a
# fresh copy of the table, which is not timed.
#
# The window is driven by the GUI driver's --bench mode: Backup unticked (the
# command line makes no backup unless asked), timed from the moment the
# confirmation box is gone (Wine without a window manager takes up to 2 s to
# take a box off the screen; the command line, given --yes, shows none) to the
# run's end, when the window's controls are enabled again. The command line
# is timed from start to exit, less what starting a program under Wine costs
# (the median of `tarnwick-cli --version`), so that both figures are the run's
# own work. BENCH_RUNS pairs (default 5) of runs side by side; the figures are
# medians, the ratio the median of the pairs'. BENCH_OPS names fewer
# operations (default "rewrite clear load"). Needs wine, Xvfb (when there is
# no DISPLAY) and a native compiler.
set -uo pipefail

if [ $# -lt 1 ] || [ "${1:-}" = -h ] || [ "${1:-}" = --help ]; then
  sed -n '2,/^set /{/^#/p}' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd) || exit 2
records=${2:-600000}
outdir=${3:-$root/build/bench-window}
runs=${BENCH_RUNS:-5}
case "$records" in
  ''|*[!0-9]*) echo "window.sh: RECORDS must be a number" >&2; exit 2 ;;
esac
die() { echo "window.sh: $*" >&2; exit 1; }

exe=$build/main/win32/tarnwick.exe
cli=$build/cli/tarnwick-cli.exe
driver=$build/tests/gui/tarnwick_gui_driver.exe
for f in "$exe" "$cli" "$driver"; do
  [ -f "$f" ] || die "missing $f (build the cross build first)"
done
mkdir -p "$outdir" || exit 1
outdir=$(cd "$outdir" && pwd)

# The table, made once for a record count.
cmake -S "$root" -B "$outdir/native" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF \
  >"$outdir/native.log" 2>&1 && cmake --build "$outdir/native" -j2 --target make_bench_table >>"$outdir/native.log" 2>&1 ||
  die "building make_bench_table failed (see $outdir/native.log)"
table=$outdir/table
if [ "$(cat "$table/records" 2>/dev/null)" != "$records" ]; then
  rm -rf "$table" && mkdir -p "$table"
  "$outdir/native/bench/make_bench_table" "$table/BENCH.DBF" "$records" >"$table/contents" || die "make_bench_table failed"
  echo "$records" >"$table/records"
fi

# Wine in a prefix of its own, on Xvfb when there is no display; the tables'
# texts are cp1251, the code page Wine takes from LC_ALL.
export WINEPREFIX=$outdir/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_env=(env LC_ALL=ru_RU.UTF-8)
# Where the kernel runs no 32-bit code, Wine's 64-bit loader.
. "$root/scripts/wine-session.sh"
use_wine64_if_needed "$outdir/bin" || true
xvfb_pid=
cleanup() {
  timeout 30 wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM
start_xvfb "$outdir" || die "no DISPLAY, and Xvfb is missing or did not start"
prepare_wine_prefix "$outdir/wineboot.log" || die "wineboot failed"

work=$outdir/work
mkdir -p "$work"
win() { winepath -w "$1"; }
saved=$work/saved.txt
"${wine_env[@]}" wine "$cli" save "$(win "$table/BENCH.DBF")" "$(win "$saved")" >/dev/null 2>&1 ||
  die "tarnwick-cli save failed"

fresh() {
  cp "$table/BENCH.DBF" "$work/W.DBF" && cp "$table/BENCH.FPT" "$work/W.FPT" || die "cannot copy the table"
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

startup=()
for _ in $(seq "$runs"); do
  t0=$(now_ms)
  "${wine_env[@]}" wine "$cli" --version >/dev/null 2>&1
  startup+=($(($(now_ms) - t0)))
done
start_ms=$(printf '%s\n' "${startup[@]}" | median)
echo "records $records, $runs runs each; starting tarnwick-cli.exe under Wine takes $start_ms ms"

# One side's run of op (the table fresh): its milliseconds on stdout.
run_cli() { # op, run
  local t0
  fresh
  t0=$(now_ms)
  "${wine_env[@]}" wine "$cli" "${args[@]}" --yes >"$work/cli-$1-$2.log" 2>&1 ||
    die "tarnwick-cli $1 failed (see $work/cli-$1-$2.log)"
  echo $(($(now_ms) - t0 - start_ms))
}
run_window() { # op, run
  local line ms
  fresh
  line=$(timeout 3600 "${wine_env[@]}" wine "$driver" "$(win "$exe")" "$(win "$work")" --bench "$1" \
    "$(win "$work/W.DBF")" "$(win "$saved")" 2>&1 | tr -d '\r' | tee "$work/window-$1-$2.log" | grep '^window ')
  ms=$(sed -n 's/^window [a-z]* \([0-9]*\) ms.*/\1/p' <<<"$line")
  [ -n "$ms" ] || die "the window's $1 did not finish (see $work/window-$1-$2.log)"
  echo "$ms"
}

# The machine may be shared: each run of the window is paired with a run of
# the command line right beside it, the two taking turns at going first, and
# the verdict is the median of the pairs' ratios, which a load that comes and
# goes disturbs least.
status=0
printf '%-8s %10s %10s %12s\n' operation "cli ms" "window ms" "pair ratio"
for op in ${BENCH_OPS:-rewrite clear load}; do
  cli_times=() window_times=() ratios=()
  args=("$op" "$(win "$work/W.DBF")")
  [ "$op" = load ] && args+=("$(win "$saved")")
  for i in $(seq "$runs"); do
    if [ $((i % 2)) -eq 1 ]; then
      c=$(run_cli "$op" "$i") || exit 1
      w=$(run_window "$op" "$i") || exit 1
    else
      w=$(run_window "$op" "$i") || exit 1
      c=$(run_cli "$op" "$i") || exit 1
    fi
    cli_times+=("$c") window_times+=("$w")
    ratios+=("$(awk -v w="$w" -v c="$c" 'BEGIN { printf "%.3f", (c > 0) ? w / c : 99 }')")
  done
  c=$(printf '%s\n' "${cli_times[@]}" | median)
  w=$(printf '%s\n' "${window_times[@]}" | median)
  ratio=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END { printf "%.2f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
  printf '%-8s %10s %10s %12s\n' "$op" "$c" "$w" "$ratio"
  echo "          cli: ${cli_times[*]}; window: ${window_times[*]}; pairs: ${ratios[*]}"
  echo "          the window's last caption: $(sed -n 's/.*, caption //p' "$work/window-$op-$runs.log")"
  awk -v r="$ratio" 'BEGIN { exit !(r > 1.2) }' && status=1
done
[ "$status" -eq 0 ] && echo "window <= 1.2 x cli: yes" || echo "window <= 1.2 x cli: NO"
exit "$status"
