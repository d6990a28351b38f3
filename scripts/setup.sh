#!/usr/bin/env bash
# Installs what building and testing Tarnwick needs on Debian, as root (or
# through sudo). Packages already present are left alone.
#
#   scripts/setup.sh        everything the tests need (scripts/test-all.sh, .ci/run)
#   scripts/setup.sh demo   only what the demo needs: CMake, a compiler and the JSON header
set -euo pipefail

if [ "${1:-}" = demo ]; then
  packages=(cmake make g++ nlohmann-json3-dev)
else
  packages=(
    cmake make g++ googletest libgtest-dev      # native build and unit tests
    nlohmann-json3-dev                          # check --json
    clang libclang-rt-14-dev clang-format       # fuzzing, sanitizers, the code layout check
    mingw-w64 wine wine64 wine32:i386           # the Windows builds (64- and 32-bit), run under Wine
    xvfb xauth imagemagick x11-apps xdotool     # the window's end-to-end test
    python3 python3-dbf python3-dbfread         # independent DBF peers
    file unzip                                  # the packages' checks
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup: run as root to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
echo "setup: installing ${missing[*]}" >&2
if printf '%s\n' "${missing[@]}" | grep -q ':i386'; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
