#!/usr/bin/env bash
# Tarnwick's benchmark: every tarnwick-cli operation on a large generated
# table, timed end to end against the physical reference (cat of the same
# bytes; for an operation that writes, cat and then an fsync of the copy, as
# the operation syncs what it writes), with its peak resident memory;
# python3-dbfread as the peer for Save.
#
#   bench/run.sh [RECORDS] [OUTDIR]            timings (default 1,000,000 records, OUTDIR build/bench)
#   bench/run.sh --strace [RECORDS] [OUTDIR]   system calls per record (default 100,000 records)
#   bench/run.sh --perf OPERATION [RECORDS] [OUTDIR]
#                                              a perf profile of one operation (info, check, save,
#                                              clear, clear-all, rewrite, load), top functions
#
# Builds the Release targets tarnwick-cli and make_bench_table in OUTDIR/build,
# writes the table once (OUTDIR/table/BENCH.DBF and .FPT), then for each
# operation, in order: info, check, save, clear, clear --all, rewrite, load
# (of the file save wrote). An operation that changes the table gets a fresh
# copy of it before each run; the copy is not timed. Each run is a pair, back
# to back: first the reference, `cat` of the table and memo file (the table
# alone for clear --all) to a file, synced for an operation that writes (the
# durable copy), then the operation. Five pairs per
# operation, medians reported; an operation whose first run takes longer than
# BENCH_SLOW_SECONDS (default 90) is run once, and the table says so.
#
# The files stay in the page cache (the machine's memory holds them many
# times over), so both sides measure the work of the program and of the
# kernel's file cache, not the disk.
#
# Environment: BENCH_RUNS (default 5), BENCH_SLOW_SECONDS (default 90),
# BENCH_KEEP=1 keeps the generated table and the work files afterwards.
set -uo pipefail
# tarnwick-cli speaks the user's language; the checks below read its English.
export LC_ALL=C

root=$(cd "$(dirname "$0")/.." && pwd)
mode=timings
if [ "${1:-}" = "--strace" ]; then
  mode=strace
  shift
elif [ "${1:-}" = "--perf" ]; then
  mode=perf
  profiled=${2:-}
  case "$profiled" in
    info|check|save|clear|clear-all|rewrite|load|salvage|pack) ;;
    *) echo "run.sh: --perf takes one of info, check, save, clear, clear-all, rewrite, load, salvage, pack" >&2; exit 2 ;;
  esac
  shift 2
fi
if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
  sed -n '2,31p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi
default_records=1000000
[ "$mode" = strace ] && default_records=100000
records=${1:-$default_records}
outdir=${2:-$root/build/bench}
runs=${BENCH_RUNS:-5}
slow=${BENCH_SLOW_SECONDS:-90}
case "$records" in
  ''|*[!0-9]*) echo "run.sh: RECORDS must be a number" >&2; exit 2 ;;
esac

die() { echo "run.sh: $*" >&2; exit 1; }

# ---------------------------------------------------------------- tools
# Debian packages the benchmark needs, installed when missing.
need=(time)
[ "$mode" = strace ] && need+=(strace)
[ "$mode" = timings ] && need+=(python3-dbfread)
[ "$mode" = perf ] && need+=(linux-perf)
missing=()
for p in "${need[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++ make)
if [ ${#missing[@]} -gt 0 ]; then
  as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || die "run as root to install: ${missing[*]}"
    as_root=(sudo)
  fi
  echo "run.sh: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -qq && "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null ||
    die "could not install ${missing[*]}"
fi
[ -x /usr/bin/time ] || die "/usr/bin/time is missing (Debian package time)"

# ---------------------------------------------------------------- build
mkdir -p "$outdir" || die "cannot create $outdir"
outdir=$(cd "$outdir" && pwd)
build=$outdir/build
flags=()
if [ "$mode" = perf ]; then
  # The same optimisation, with symbols and frame pointers for the call graphs.
  build=$outdir/build-perf
  flags=(-DCMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer")
fi
echo "building the Release targets in $build ..." >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BUILD_TESTS=OFF "${flags[@]}" >"$outdir/build.log" 2>&1 &&
  cmake --build "$build" -j"$(nproc)" --target tarnwick-cli make_bench_table >>"$outdir/build.log" 2>&1 ||
  { tail -30 "$outdir/build.log" >&2; die "build failed (see $outdir/build.log)"; }
cli=$build/cli/tarnwick-cli
gen=$build/bench/make_bench_table

# ---------------------------------------------------------------- helpers
now() { date +%s%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
stat_of() { awk -v k="$1" '$1 == k { print $2 }' "$stats"; }
human() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1e6 }'; }

# Runs a command with stdout and stderr to files; sets T_SEC (wall), T_RSS
# (peak resident KiB), T_USER and T_SYS (CPU seconds) and T_RC (exit status),
# and T_SYNCED: the wall time until a `sync` of the whole system after it
# returned, so what the operation left for the kernel to write is counted.
timed() { # stdout-file stderr-file command...
  local out=$1 err=$2 t0 t1
  shift 2
  sync
  t0=$(now)
  if /usr/bin/time -f '%M %U %S' -o "$outdir/time.out" "$@" >"$out" 2>"$err" </dev/null; then T_RC=0; else T_RC=$?; fi
  t1=$(now)
  sync
  T_SEC=$(secs "$t0" "$t1")
  T_SYNCED=$(secs "$t0" "$(now)")
  read -r T_RSS T_USER T_SYS <<<"$(tail -n 1 "$outdir/time.out")"
}

# The physical reference: the same bytes copied with cat, and with durable=1
# the copy synced (fsync) before the clock stops; sets R_SEC.
reference() { # durable files...
  local t0 t1 durable=$1
  shift
  rm -f "$outdir/reference.out"
  sync
  t0=$(now)
  cat "$@" >"$outdir/reference.out"
  [ "$durable" = 1 ] && sync "$outdir/reference.out"
  t1=$(now)
  R_SEC=$(secs "$t0" "$t1")
  rm -f "$outdir/reference.out"
  # The operation timed next starts, as cat did, with nothing left to write.
  sync
}

fresh_copy() {
  rm -rf "$work"
  mkdir -p "$work"
  cp "$table" "$memo" "$work/"
}

machine() {
  local dev rot
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(free -g | awk '/^Mem:/ { print $2 }') GiB memory, $(uname -sr)"
  dev=$(df --output=source "$outdir" | tail -n 1)
  rot=$(cat "/sys/block/$(basename "$dev" | sed 's/[0-9]*$//')/queue/rotational" 2>/dev/null || echo '?')
  echo "disk: $dev ($(df --output=fstype "$outdir" | tail -n 1), rotational=$rot), files in the page cache"
  echo "source: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')$( [ -n "$(git -C "$root" status --porcelain 2>/dev/null)" ] && echo ' with uncommitted changes')"
}

# ---------------------------------------------------------------- table
tabledir=$outdir/table
mkdir -p "$tabledir"
table=$tabledir/BENCH.DBF
memo=$tabledir/BENCH.FPT
stats=$tabledir/BENCH.stats
work=$outdir/work
wtable=$work/BENCH.DBF
saved=$outdir/BENCH.txt
logs=$outdir/logs
mkdir -p "$logs"
echo "writing a table of $records records ..." >&2
t0=$(now)
"$gen" "$table" "$records" >"$stats" || die "make_bench_table failed"
echo "  written in $(secs "$t0" "$(now)") s" >&2

# The operations: name, arguments, whether it changes the table (and so is
# against the durable copy), the reference files (all: table and memo file;
# table: the table alone), the target ratio.
names=(info check save clear "clear --all" rewrite load salvage pack)
changes=(0 0 0 1 1 1 1 0 1)
refkind=(all all all all table all all all all)
limits=(- 2 2 2 2 2 2 3 3)
set_args() { # index -> ARGS, the command line of tarnwick-cli
  case $1 in
    0) ARGS=(info "$table") ;;
    1) ARGS=(check "$table") ;;
    2) ARGS=(save "$table" "$saved") ;;
    3) ARGS=(clear "$wtable" --yes) ;;
    4) ARGS=(clear "$wtable" --all --yes) ;;
    5) ARGS=(rewrite "$wtable" --yes --allow-large) ;;
    6) ARGS=(load "$wtable" "$saved" --yes --allow-large) ;;
    7) ARGS=(salvage "$table" "$outdir/orphans.txt") ;;
    8) ARGS=(pack "$wtable" --yes --no-backup) ;;
  esac
}

# ---------------------------------------------------------------- --perf
if [ "$mode" = perf ]; then
  command -v perf >/dev/null || die "perf is missing (Debian package linux-perf)"
  case $profiled in
    info) index=0 ;; check) index=1 ;; save) index=2 ;; clear) index=3 ;;
    clear-all) index=4 ;; rewrite) index=5 ;; load) index=6 ;; salvage) index=7 ;; pack) index=8 ;;
  esac
  if [ "$profiled" = load ]; then
    "$cli" save "$table" "$saved" >/dev/null 2>&1 || die "save failed"
  fi
  [ "${changes[$index]}" = 1 ] && fresh_copy
  [ "$index" = 2 ] && rm -f "$saved"
  data=$outdir/perf-$profiled.data
  sync
  set_args "$index"
  # check ends with 4 when it finds damage, as it does on this table.
  rc=0
  perf record -q -F 2000 -g -o "$data" "$cli" "${ARGS[@]}" >"$logs/perf.stdout" 2>"$logs/perf.stderr" </dev/null || rc=$?
  [ "$rc" = 0 ] || { [ "$profiled" = check ] && [ "$rc" = 4 ]; } || die "perf record failed (see $logs/perf.stderr)"
  {
    echo "perf profile of $profiled, $records records (perf record -F 2000 -g; $data)"
    machine
    echo
    echo "self time, by function:"
    perf report -i "$data" --no-children --sort symbol --stdio -g none --percent-limit 0.5 2>/dev/null |
      grep -E '^ +[0-9]' | sed -E 's/ +- +- *$//' | cut -c1-120 | head -40
    echo
    echo "with callees, by function:"
    perf report -i "$data" --children --sort symbol --stdio -g none --percent-limit 2 2>/dev/null |
      grep -E '^ +[0-9]' | sed -E 's/ +- +- *$//' | cut -c1-120 | head -30
  } | tee "$outdir/perf-$profiled.txt"
  [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$work" "$saved" "$tabledir"
  exit 0
fi

# ---------------------------------------------------------------- --strace
if [ "$mode" = strace ]; then
  command -v strace >/dev/null || die "strace is missing"
  {
    echo "tarnwick-cli system calls, strace -c -f, $records records"
    machine
    printf '\n%-12s %10s %9s  %s\n' operation calls per-rec "busiest calls (per record)"
  } | tee "$outdir/strace.txt"
  count() { # label log
    awk -v label="$1" -v n="$records" '
      /^-+ / { next }
      $NF == "total" { total = $4; next }
      NF >= 5 && $1 ~ /^[0-9.]+$/ { calls[$NF] = $4 }
      END {
        top = ""
        for (k = 0; k < 4; ++k) {
          best = ""; bv = -1
          for (s in calls) if (calls[s] > bv) { bv = calls[s]; best = s }
          if (best == "") break
          top = top sprintf("%s %d (%.4f)  ", best, bv, bv / n)
          delete calls[best]
        }
        printf "%-12s %10d %9.4f  %s\n", label, total, total / n, top
      }' "$2"
  }
  rm -f "$outdir/reference.out"
  strace -c -f -o "$logs/strace-cat.txt" cat "$table" "$memo" >"$outdir/reference.out" 2>/dev/null
  rm -f "$outdir/reference.out"
  for i in "${!names[@]}"; do
    [ "${changes[$i]}" = 1 ] && fresh_copy
    [ "$i" = 2 ] && rm -f "$saved"
    log="$logs/strace-${names[$i]// /}.txt"
    set_args "$i"
    strace -c -f -o "$log" "$cli" "${ARGS[@]}" >"$logs/strace.stdout" 2>"$logs/strace.stderr" </dev/null ||
      echo "  ${names[$i]}: exit status $? (see $logs/strace.stderr)" >&2
    count "${names[$i]}" "$log" | tee -a "$outdir/strace.txt"
  done
  count "cat (ref)" "$logs/strace-cat.txt" | tee -a "$outdir/strace.txt"
  [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$work" "$saved" "$tabledir"
  exit 0
fi

# ---------------------------------------------------------------- timings
longest=$(stat_of longest_text)
rss_limit_kib=$(( 64 * 1024 + (longest + 1023) / 1024 ))
pristine=$(cat "$table" "$memo" | md5sum)
notes=()
rows=()

# What each operation should have left behind, from the generator's counts;
# empty when it did.
field_counts() { # check-output field -> "empty nan pastend runs blank text cleared"
  awk -v f="$2" '
    /^[^ ]/ { cur = 0 }
    /^field / { cur = ($2 == f ":") }
    cur && /empty references/ { e = $NF } cur && /not a block number/ { n = $NF }
    cur && /past the end of the memo/ { p = $NF } cur && /running past the end/ { r = $NF }
    cur && /blank text/ { b = $NF } cur && /^  text / { t = $NF } cur && /cleared by clear/ { c = $NF }
    END { print e + 0, n + 0, p + 0, r + 0, b + 0, t + 0, c + 0 }' "$1"
}
verify() { # index stdout-file -> prints problems
  local i=$1 out=$2 f e n p r b t c want
  case $i in
    0) [ "$(tr '\n' ' ' <"$out")" = "NOTES HISTORY " ] || echo "info listed: $(tr '\n' ' ' <"$out")" ;;
    1)
      for f in NOTES HISTORY; do
        read -r e n p r b t c <<<"$(field_counts "$out" "$f")"
        want="$(stat_of "$f.empty") $(stat_of "$f.not_a_number") $(stat_of "$f.past_end") 0 $(stat_of "$f.blank") $(stat_of "$f.text")"
        [ "$e $n $p $r $b $t" = "$want" ] || echo "check $f: $e $n $p $r $b $t, generated $want"
      done ;;
    2)
      local lines
      lines=$(wc -l <"$saved")
      [ "$lines" = $((records + 1)) ] || echo "save wrote $lines lines for $records records" ;;
    7) [ "$(head -n 1 "$outdir/orphans.txt" | tr -d '\r')" = "$(printf 'BLOCK\tTEXT')" ] || echo "salvage wrote no header line" ;;
    *)
      # check ends with 4 when it finds something wrong, as it does here.
      local rc=0
      "$cli" check "$wtable" >"$logs/after.txt" 2>/dev/null || rc=$?
      [ "$rc" = 0 ] || [ "$rc" = 4 ] || { echo "check after it failed"; return; }
      for f in NOTES HISTORY; do
        read -r e n p r b t c <<<"$(field_counts "$logs/after.txt" "$f")"
        local texts
        texts=$(stat_of "$f.text")
        case $i in
          3) [ "$c" = 0 ] && [ "$t" = "$texts" ] || echo "$f after clear: text $t (of $texts), still to clear $c" ;;
          4) [ "$t" = 0 ] && [ "$b" = 0 ] && [ "$n" = 0 ] && [ "$p" = 0 ] || echo "$f after clear --all: text $t, blank $b, damaged $n+$p" ;;
          # Rewrite copies blank texts too (bytes, not trimmed texts): those
          # are what clear would still blank, and nothing damaged is left.
          5) [ "$t" = "$texts" ] && [ "$c" = "$(stat_of "$f.blank")" ] && [ "$n" = 0 ] && [ "$p" = 0 ] ||
            echo "$f after rewrite: text $t (of $texts), still to clear $c (blank $(stat_of "$f.blank")), damaged $n+$p" ;;
          6) [ "$t" = "$texts" ] || echo "$f after load: text $t (of $texts)" ;;
          8) [ "$t" = "$texts" ] || echo "$f after pack: text $t (of $texts)" ;;
        esac
      done ;;
  esac
}

{
  echo "Tarnwick benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
  machine
  echo "table: $records records; BENCH.DBF $(human "$(stat_of table_bytes)"), BENCH.FPT $(human "$(stat_of memo_bytes)"), longest memo text $longest bytes"
  echo "each operation: $runs runs, each right after its reference (cat; cat and fsync of the copy for one that writes);"
  echo "seconds are wall-clock medians, ratio = seconds / ref s;"
  echo "+sync s: until a sync of the whole system after the operation, what durability costs beyond it;"
  echo "RSS the largest of the runs; user and sys the medians of the CPU seconds"
} | tee "$outdir/results.txt"

for i in "${!names[@]}"; do
  name=${names[$i]}
  echo "  $name ..." >&2
  secs_list=() refs_list=() rss_list=() user_list=() sys_list=() synced_list=()
  n=$runs
  status=""
  for ((k = 1; k <= n; ++k)); do
    [ "${changes[$i]}" = 1 ] && fresh_copy
    [ "$i" = 2 ] && rm -f "$saved"
    if [ "${refkind[$i]}" = table ]; then reference "${changes[$i]}" "$table"; else reference "${changes[$i]}" "$table" "$memo"; fi
    set_args "$i"
    timed "$logs/op.stdout" "$logs/op.stderr" "$cli" "${ARGS[@]}"
    if [ "$T_RC" != 0 ] && ! { [ "$name" = check ] && [ "$T_RC" = 4 ]; }; then
      status="exit status $T_RC: $(head -c 200 "$logs/op.stderr" | tr '\n' ' ')"
      cp "$logs/op.stderr" "$logs/failed-${name// /}.stderr"
    fi
    secs_list+=("$T_SEC") synced_list+=("$T_SYNCED") refs_list+=("$R_SEC") rss_list+=("$T_RSS") user_list+=("$T_USER") sys_list+=("$T_SYS")
    echo "    run $k: $T_SEC s (with sync $T_SYNCED s; user $T_USER, sys $T_SYS; cat $R_SEC s), $T_RSS KiB" >&2
    if [ "$k" = 1 ] && [ "$n" -gt 1 ] && awk -v a="$T_SEC" -v s="$slow" 'BEGIN { exit !(a > s) }'; then
      n=1
      notes+=("$name: run once, its first run took ${T_SEC} s (over ${slow} s)")
    fi
  done
  cp "$logs/op.stdout" "$logs/${name// /}.stdout"
  problems=$(verify "$i" "$logs/op.stdout")
  [ -n "$status" ] && problems="$status${problems:+; $problems}"
  [ -n "$problems" ] && notes+=("$name: $problems")

  sec=$(median "${secs_list[@]}")
  synced=$(median "${synced_list[@]}")
  ref=$(median "${refs_list[@]}")
  ratio=$(awk -v a="$sec" -v b="$ref" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
  user=$(median "${user_list[@]}")
  sys=$(median "${sys_list[@]}")
  rss=$(printf '%s\n' "${rss_list[@]}" | sort -n | tail -n 1)
  limit=${limits[$i]}
  refname="table+memo"
  [ "${refkind[$i]}" = table ] && refname="table"
  refcmd="cat"
  [ "${changes[$i]}" = 1 ] && refcmd="cat+fsync"
  if [ "$limit" = - ]; then
    target="-"
    tv="-"
  else
    target="<= ${limit}x $refcmd $refname"
    tv=$(awk -v r="$ratio" -v l="$limit" 'BEGIN { print (r <= l) ? "ok" : "MISS" }')
  fi
  rv=$( [ "$rss" -lt "$rss_limit_kib" ] && echo ok || echo MISS)
  [ -n "$problems" ] && tv="$tv, CHECK"
  rows+=("$(printf '%-12s %4s %8s %8s %7s %8s %8.1f  %-30s %-11s %-4s %6s %6s' "$name" "$n" "$sec" "$ref" "${ratio}x" \
    "$synced" "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')" "$target" "$tv" "$rv" "$user" "$sys")")
  [ "$i" = 2 ] && save_sec=$sec
done

# The peer: python3-dbfread reading the same memo texts.
echo "  python3-dbfread ..." >&2
peer_list=()
n=$runs
for ((k = 1; k <= n; ++k)); do
  timed "$logs/peer.stdout" "$logs/peer.stderr" /usr/bin/python3 "$root/bench/dbfread_memos.py" "$table"
  [ "$T_RC" = 0 ] || notes+=("python3-dbfread: exit status $T_RC: $(head -c 200 "$logs/peer.stderr")")
  peer_list+=("$T_SEC")
  echo "    run $k: $T_SEC s, $T_RSS KiB" >&2
  if [ "$k" = 1 ] && [ "$n" -gt 1 ] && awk -v a="$T_SEC" -v s="$slow" 'BEGIN { exit !(a > s) }'; then
    n=1
    notes+=("python3-dbfread: run once, its first run took ${T_SEC} s (over ${slow} s)")
  fi
done
peer=$(median "${peer_list[@]}")
speedup=$(awk -v p="$peer" -v s="$save_sec" 'BEGIN { printf "%.1f", (s > 0 ? p / s : 0) }')
peer_verdict=$(awk -v x="$speedup" 'BEGIN { print (x >= 20) ? "ok" : "MISS" }')

if [ "$(cat "$table" "$memo" | md5sum)" != "$pristine" ]; then
  notes+=("the generated table changed during info, check or save")
fi

{
  echo
  printf '%-12s %4s %8s %8s %7s %8s %8s  %-30s %-11s %-4s %6s %6s\n' operation runs seconds "ref s" ratio "+sync s" \
    "RSS MiB" "time target" "time" RSS user sys
  printf '%s\n' "${rows[@]}"
  printf 'peak RSS target: below 64 MiB + the longest memo text = %.2f MiB\n' "$(awk -v k="$rss_limit_kib" 'BEGIN { print k / 1024 }')"
  echo
  echo "python3-dbfread, every record, both memo fields: $peer s (runs: ${#peer_list[@]}); $(cat "$logs/peer.stdout")"
  echo "save's speed-up over it: ${speedup}x (target >= 20x): $peer_verdict"
  if [ ${#notes[@]} -gt 0 ]; then
    echo
    printf 'note: %s\n' "${notes[@]}"
  fi
} | tee -a "$outdir/results.txt"

[ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$work" "$saved" "$tabledir"
echo "results: $outdir/results.txt; per-operation output: $logs" >&2
