#!/usr/bin/env bash
# Runs every test: the unit, handler and command-line tests natively, again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the same unit tests
# as 64-bit and 32-bit Windows programs under Wine, the window's end-to-end
# test under Wine and Xvfb (both), a short run of every fuzz target, and the
# packages each build makes (what they hold, and that the 32-bit programs
# are 32-bit).
#
#   scripts/test-all.sh            everything
#   TARNWICK_SKIP="gui fuzz" ...   leave out some of: format native asan windows windows32 gui gui32 fuzz
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${TARNWICK_BUILD_ROOT:-$root/build}
jobs=$(nproc)
skip=" ${TARNWICK_SKIP:-} "

"$root/scripts/setup.sh" || exit 1

export WINEPREFIX=${WINEPREFIX:-$out/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Where the kernel cannot start Wine's 32-bit loader, the 64-bit programs
# run under wine64 alone, and the 32-bit ones are built and checked, but not
# run.
. "$root/scripts/wine-session.sh"
runs32=yes
if use_wine64_if_needed "$out/wine64-only"; then
  runs32=no
  echo "note: this kernel cannot run 32-bit programs; the 32-bit Windows build is made and checked, not run"
fi

failed=()
section() { printf '\n===== %s =====\n' "$1"; }
wanted() { [[ "$skip" != *" $1 "* ]]; }
run() { # name, command...
  local name=$1; shift
  if "$@"; then echo "----- $name: passed"; else echo "----- $name: FAILED"; failed+=("$name"); fi
}

build_and_test() { # dir, cmake options...
  local dir=$1; shift
  # A warning in our own code fails the build here, as it does in CI.
  cmake -S "$root" -B "$dir" -DTARNWICK_WERROR=ON "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 || { tail -50 "$dir.build.log"; return 1; }
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900)
}

# package_holds dir system generator files...: cpack makes
# tarnwick-<version>-<system> in dir, holding exactly files (in its one folder).
package_holds() {
  local dir=$1 system=$2 generator=$3; shift 3
  (cd "$dir" && cpack -G "$generator") >"$dir.cpack.log" 2>&1 || { cat "$dir.cpack.log"; return 1; }
  local version package list
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
  case $generator in
    ZIP) package=$dir/tarnwick-$version-$system.zip; list=$(unzip -Z1 "$package") || return 1 ;;
    TGZ) package=$dir/tarnwick-$version-$system.tar.gz; list=$(tar tzf "$package") || return 1 ;;
  esac
  local got want
  got=$(printf '%s\n' "$list" | grep -v '/$' | sed 's|^[^/]*/||' | sort | tr '\n' ' ')
  want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
  echo "$(basename "$package"): $got"
  [ "$got" = "$want" ] || { echo "expected: $want"; return 1; }
}

# pe_kind file: "PE32" or "PE32+" as file(1) tells the program's format.
pe_kind() { file -b "$1" | grep -o '^PE32+\?'; }

# cli_line_ends exe: tarnwick-cli.exe under Wine, from a folder without
# Read_Me.txt: help finds the one beside the program, and every line of it
# ends in CR LF, never CR CR LF.
cli_line_ends() {
  local away help
  away=$(mktemp -d) || return 1
  help=$(cd "$away" && wine "$1" help | od -An -c | tr -d ' \n')
  rmdir "$away"
  case $help in
    *'\r\r\n'*) echo "tarnwick-cli help writes CR CR LF"; return 1 ;;
    *'\r\n'*) ;;
    *) echo "tarnwick-cli help wrote no CR LF line (${help:0:80})"; return 1 ;;
  esac
}

# with_wine_server command...: runs the command with one Wine server up from
# its start to its end. Left to itself, the server exits whenever no Windows
# program runs, and a test starting at that moment fails to connect to it
# ("wine client error:0: recvmsg: Connection reset by peer"). The prefix's
# services (winedevice.exe) start with the server's first program and live
# as long as the server: started by a test they would hold its output pipe,
# and ctest would wait for them until its time-out. wineboot starts them
# first, their output going nowhere.
with_wine_server() {
  timeout 60 wineserver -p >/dev/null 2>&1
  timeout 300 wineboot >/dev/null 2>&1 </dev/null
  "$@"
  local rc=$?
  timeout 60 wineserver -k >/dev/null 2>&1
  return $rc
}

windows_build_and_test() { # dir, toolchain, system, PE kind, run the tests (yes or no)
  local dir=$1 toolchain=$2 system=$3 kind=$4 running=${5:-yes}
  if [ "$running" = yes ]; then
    build_and_test "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" || return 1
  else
    cmake -S "$root" -B "$dir" -DTARNWICK_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 || { tail -50 "$dir.build.log"; return 1; }
    echo "built; not run on this machine"
  fi
  for exe in main/win32/tarnwick.exe cli/tarnwick-cli.exe; do
    [ "$(pe_kind "$dir/$exe")" = "$kind" ] || { echo "$exe: $(file -b "$dir/$exe"), not $kind"; return 1; }
  done
  [ "$running" = no ] || cli_line_ends "$dir/cli/tarnwick-cli.exe" || return 1
  package_holds "$dir" "$system" ZIP tarnwick.exe tarnwick-cli.exe Read_Me.txt
}

# The sources follow .clang-format.
code_layout() {
  (cd "$root" && git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror)
}

mkdir -p "$out"
if wanted format && command -v clang-format >/dev/null; then
  section "code layout"
  run format code_layout
fi
if wanted native; then
  section "native build and tests"
  run native build_and_test "$out/test-native" -DCMAKE_BUILD_TYPE=Debug
  run native-package package_holds "$out/test-native" linux TGZ tarnwick-cli Read_Me.txt
fi
if wanted asan; then
  section "tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run asan build_and_test "$out/test-asan" -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON -DTARNWICK_BENCH=OFF
fi
if wanted windows; then
  section "Windows build, unit tests under Wine"
  [ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
  run windows with_wine_server windows_build_and_test "$out/test-windows" mingw-w64-x86_64.cmake win64 PE32+
fi
if wanted windows32; then
  section "32-bit Windows build, unit tests under Wine"
  [ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
  run windows32 with_wine_server windows_build_and_test "$out/test-windows32" mingw-w64-i686.cmake win32 PE32 "$runs32"
fi
if wanted gui && [ -x "$root/tests/gui/run.sh" ]; then
  section "the window, end to end under Wine and Xvfb"
  run gui "$root/tests/gui/run.sh" "$out/test-windows" "$out/gui-artifacts"
fi
if wanted gui32 && [ -x "$root/tests/gui/run.sh" ]; then
  section "the 32-bit window, end to end under Wine and Xvfb"
  if [ "$runs32" = yes ]; then
    run gui32 "$root/tests/gui/run.sh" "$out/test-windows32" "$out/gui32-artifacts"
  else
    echo "----- gui32: skipped (this kernel cannot run 32-bit programs)"
  fi
fi
if wanted fuzz && [ -x "$root/fuzz/run.sh" ]; then
  section "fuzz targets, short runs"
  run fuzz "$root/fuzz/run.sh" --short "$out/fuzz"
fi

section "summary"
if [ ${#failed[@]} -eq 0 ]; then
  echo "all passed"
else
  echo "failed: ${failed[*]}"
  exit 1
fi
