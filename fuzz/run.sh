#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each of them in turn.
#
#   fuzz/run.sh --short OUTDIR            about 60 seconds per target
#   fuzz/run.sh --long OUTDIR [SECONDS]   SECONDS per target (default 3600)
#
# Fails when a target finds a crash, a leak, a timeout (10 s for one input)
# or runs out of memory (2 GiB). In OUTDIR: build/ the fuzz build,
# corpus/<target>/ what the runs added to the committed seeds in
# fuzz/corpus/<target>/, artifacts/<target>/ the inputs that failed,
# <target>.log each run's output. A failing input replays with
#   OUTDIR/build/fuzz/<target> OUTDIR/artifacts/<target>/<file>
# TARNWICK_FUZZ_TARGETS="fuzz_read ..." runs only some targets.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

usage() { echo "usage: $0 --short OUTDIR | --long OUTDIR [SECONDS]" >&2; exit 2; }
[ $# -ge 2 ] || usage
case $1 in
  --short) seconds=60 ;;
  --long) seconds=${3:-3600} ;;
  *) usage ;;
esac
mkdir -p "$2" || exit 1
out=$(cd "$2" && pwd)
targets=${TARNWICK_FUZZ_TARGETS:-"fuzz_read fuzz_operations fuzz_load"}
jobs=${TARNWICK_FUZZ_JOBS:-2}

build=$out/build
echo "building the fuzz targets in $build"
CC=${CC_FUZZ:-clang} CXX=${CXX_FUZZ:-clang++} cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNWICK_FUZZ=ON -DTARNWICK_BUILD_TESTS=OFF -DTARNWICK_BENCH=OFF -DTARNWICK_WERROR=ON >"$out/configure.log" 2>&1 \
  || { cat "$out/configure.log"; exit 1; }
# shellcheck disable=SC2086
cmake --build "$build" -j"$jobs" --target $targets >"$out/build.log" 2>&1 || { tail -50 "$out/build.log"; exit 1; }

# Undefined behaviour stops the run like a crash; leaks are reported at the
# end of each input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

max_len() { # the pair targets take a table and a memo file; Load a text file
  case $1 in fuzz_load) echo 8192 ;; *) echo 24576 ;; esac
}

failed=()
for target in $targets; do
  corpus=$out/corpus/$target artifacts=$out/artifacts/$target/ log=$out/$target.log
  mkdir -p "$corpus" "$artifacts"
  echo "running $target for ${seconds}s"
  "$build/fuzz/$target" "$corpus" "$here/corpus/$target" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len="$(max_len "$target")" \
    -print_final_stats=1 -artifact_prefix="$artifacts" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  files=$(find "$corpus" "$here/corpus/$target" -type f | wc -l)
  bytes=$(find "$corpus" "$here/corpus/$target" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  echo "$target: ${runs:-?} inputs run (${speed:-?}/s), ${cov:-cov: ?}, corpus $files files of $bytes bytes"
  if [ $status -ne 0 ]; then
    echo "$target FAILED (exit status $status):"
    grep -E 'ERROR|SUMMARY|check failed|runtime error|Test unit written' "$log" | head -20
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "fuzzing passed"
