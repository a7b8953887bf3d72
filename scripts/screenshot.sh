#!/usr/bin/env bash
# Builds the program if needed and saves a picture of its main window, shown under a virtual
# X server, as it looks at a first start.
#   scripts/screenshot.sh [OUTPUT.png]      (default: velloran-window.png)
# BUILD_DIR selects the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

out="$(realpath -m "${1:-velloran-window.png}")"
build="${BUILD_DIR:-build}"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELLORAN_BUILD_TESTS=OFF
fi
cmake --build "$build" -j2 --target velloran

# A throw-away home, so the picture shows the first start and no settings are left behind.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/config"

# With a sanitizer build: the X11 platform's D-Bus connection is never freed, which is not ours.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x800x24" "$build/app/velloran" --screenshot "$out"
echo "screenshot: $out"
