# Sourced by the scripts that run Windows programs under Wine: the test
# runner, the window's end-to-end test and its benchmark.
#
# Debian's wine script starts Wine's 32-bit loader whenever wine32 is
# installed, and Wine needs it for 32-bit programs. A kernel without IA-32
# emulation cannot start it ("Exec format error"). use_wine64_if_needed DIR
# then puts wine and wine-stable in DIR, starting the 64-bit loader, first
# on PATH, so the 64-bit programs run; it returns 0 when it did, 1 when the
# ordinary wine works (or there is no 64-bit loader to fall back on).
use_wine64_if_needed() {
  local dir=$1 loader64=/usr/lib/wine/wine64 name
  if wine --version >/dev/null 2>&1 || ! [ -x "$loader64" ] || ! "$loader64" --version >/dev/null 2>&1; then
    return 1
  fi
  mkdir -p "$dir"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexport WINELOADER=%s\nexec %s "$@"\n' "$loader64" "$loader64" >"$dir/$name"
    chmod +x "$dir/$name"
  done
  export PATH="$dir:$PATH" WINELOADER=$loader64 WINEARCH=win64
}

# start_xvfb DIR: without a DISPLAY, starts Xvfb on a display it picks
# itself (its number in DIR/display, its log in DIR/xvfb.log), sets xvfb_pid
# for the caller's clean-up and exports DISPLAY. Returns 1 when there is no
# Xvfb or it did not start.
start_xvfb() {
  local dir=$1
  [ -n "${DISPLAY:-}" ] && return 0
  command -v Xvfb >/dev/null || return 1
  rm -f "$dir/display"
  Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$dir/display" 2>"$dir/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$dir/display" ] && break
    sleep 0.1
  done
  [ -s "$dir/display" ] || return 1
  export DISPLAY=:$(head -n1 "$dir/display")
}

# prepare_wine_prefix LOG: creates $WINEPREFIX when it does not exist yet
# (wineboot's output in LOG; returns 1 when it fails) and has Wine draw the
# title bars itself: there is no window manager on Xvfb to do it, and the
# caption is the program's status line. Runs Wine through "${wine_env[@]}".
prepare_wine_prefix() {
  local log=$1
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 300 "${wine_env[@]}" wineboot -i >"$log" 2>&1 || return 1
  fi
  timeout 60 "${wine_env[@]}" wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f \
    >/dev/null 2>&1
  return 0
}
