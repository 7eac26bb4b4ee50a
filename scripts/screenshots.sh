#!/usr/bin/env bash
# Screenshots of the views for a reviewer, taken on the virtual desktop (scripts/with-desktop.sh):
# the hub (each section, at its opening size and its smallest), the settings window (each tab at
# its opening and its smallest size, at the top and scrolled to the end), the onboarding pages
# and the pill in each state. Usage: scripts/screenshots.sh [FOLDER] (default: build/screenshots).
# Set BUILD_DIR to use another build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
out="${1:-$build/screenshots}"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target vantrose_screenshots
mkdir -p "$out"
rm -f "$out"/*.png
scripts/with-desktop.sh "$build/tests/vantrose_screenshots" "$out" >/dev/null
count=$(find "$out" -maxdepth 1 -name '*.png' | wc -l)
echo "screenshots: $count pictures in $out"
