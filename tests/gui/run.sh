#!/usr/bin/env bash
# End-to-end test of tarnwick.exe: the driver works the real window under Wine,
# on Xvfb when there is no display, and this script takes the screenshots it
# asks for.
#
#   tests/gui/run.sh <windows-build-dir> <artifacts-dir>
#
# <windows-build-dir> is a cross build (cmake/mingw-w64-x86_64.cmake or -i686) holding
# main/win32/tarnwick.exe and tests/gui/tarnwick_gui_driver.exe. The Wine
# prefix and the work folder live in <windows-build-dir>/tests/gui/e2e; the
# screenshots and the driver's log go to <artifacts-dir>. Needs wine, xvfb and
# imagemagick (for import).
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 <windows-build-dir> <artifacts-dir>" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
mkdir -p "$2" || exit 2
artifacts=$(cd "$2" && pwd) || exit 2
exe=$build/main/win32/tarnwick.exe
driver=$build/tests/gui/tarnwick_gui_driver.exe
for f in "$exe" "$driver"; do
  if [ ! -f "$f" ]; then
    echo "FAIL  missing $f (build the cross build first)"
    exit 1
  fi
done
for tool in wine wineserver winepath import; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL  $tool is not installed"
    exit 1
  fi
done

# One self-contained file: nothing but the system's own DLLs may be imported.
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump || true)
if [ -n "$objdump" ]; then
  imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
  foreign=
  for dll in $imports; do
    case $dll in
      kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|comdlg32.dll|shell32.dll|advapi32.dll|ole32.dll|\
      shlwapi.dll|uxtheme.dll|version.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-crt-*.dll) ;;
      *) foreign="$foreign $dll" ;;
    esac
  done
  if [ -z "$foreign" ]; then
    echo "PASS  tarnwick.exe imports only system DLLs ($imports)"
  else
    echo "FAIL  tarnwick.exe imports DLLs that Windows does not have:$foreign"
    exit 1
  fi
fi

state=$build/tests/gui/e2e
work=$state/work
mkdir -p "$state"

# A prefix of our own. The ANSI code page follows the locale: Wine takes it
# from LC_ALL (LANG alone is not enough when the system has no such locale),
# and the tables' Cyrillic bytes need 1251. No Mono or Gecko prompts.
export WINEPREFIX=$state/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_env=(env LC_ALL=ru_RU.UTF-8)

# Where the kernel cannot start Wine's 32-bit loader, wine64 alone runs the
# 64-bit programs; 32-bit ones cannot run on such a machine at all.
. "$(cd "$(dirname "$0")/../.." && pwd)/scripts/wine-session.sh"
if use_wine64_if_needed "$state/bin"; then
  echo "wine: the 32-bit loader does not run here; using /usr/lib/wine/wine64"
  if command -v file >/dev/null && file -b "$driver" | grep -q '^PE32 '; then
    echo "FAIL  this machine cannot run 32-bit Windows programs (its kernel runs no 32-bit code)"
    exit 1
  fi
fi

xvfb_pid=
watcher_pid=
cleanup() {
  [ -n "$watcher_pid" ] && kill "$watcher_pid" 2>/dev/null
  timeout 30 wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Xvfb picks a free display number itself and writes it to a pipe.
if ! start_xvfb "$state"; then
  echo "FAIL  no DISPLAY, and Xvfb is missing or did not start (see $state/xvfb.log)"
  exit 1
fi
echo "display $DISPLAY, prefix $WINEPREFIX"

[ -f "$WINEPREFIX/system.reg" ] || echo "creating the Wine prefix (slow the first time)"
if ! prepare_wine_prefix "$state/wineboot.log"; then
  echo "FAIL  wineboot (see $state/wineboot.log)"
  exit 1
fi
timeout 60 wineserver -w

rm -rf "$work"
mkdir -p "$work"
rm -f "$artifacts"/window-*.png

# Screenshots on request: the driver writes the picture's name into
# screenshot.request and waits for screenshot.done.
(
  while :; do
    if [ -f "$work/screenshot.request" ]; then
      name=$(basename "$(head -c 200 "$work/screenshot.request")")
      import -window root "$artifacts/$name" 2>>"$state/import.log"
      rm -f "$work/screenshot.request"
      : >"$work/screenshot.done"
    fi
    sleep 0.2
  done
) &
watcher_pid=$!

# run_driver <log> <seconds> [driver options]: the driver's status, 124 when
# the watchdog stopped it. Wine's note about the volume label of Z: (the file
# dialogs ask for it) is dropped from the log.
run_driver() {
  local log=$1 seconds=$2
  shift 2
  timeout "$seconds" "${wine_env[@]}" wine "$driver" "$(winepath -w "$exe")" "$(winepath -w "$work")" "$@" 2>&1 \
    | grep --line-buffered -v 'FS volume label and serial are not available' | tr -d '\r' | tee "$log"
  local result=${PIPESTATUS[0]}
  if [ "$result" -eq 124 ]; then
    echo "FAIL  the driver did not finish within $seconds s"
  fi
  return "$result"
}

run_driver "$artifacts/driver.log" 300
status=$?

# The layout once more at 144 dpi: every rectangle goes through the scaling.
echo "--- at 144 dpi"
desktop='HKCU\Control Panel\Desktop'
timeout 60 "${wine_env[@]}" wine reg add "$desktop" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
timeout 60 wineserver -w
rm -rf "$work"
mkdir -p "$work"
run_driver "$artifacts/driver-144dpi.log" 120 --layout-only
status_dpi=$?
timeout 60 "${wine_env[@]}" wine reg delete "$desktop" /v LogPixels /f >/dev/null 2>&1
timeout 60 wineserver -w
[ "$status" -eq 0 ] && status=$status_dpi

for shot in "$artifacts"/window-*.png; do
  [ -f "$shot" ] && echo "screenshot $shot"
done
if [ "$status" -eq 0 ]; then
  echo "GUI end-to-end test: PASS"
else
  echo "GUI end-to-end test: FAIL (driver exit status $status)"
fi
exit "$status"
