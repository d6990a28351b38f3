# Sourced by the scripts that run Windows programs under Wine.
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
