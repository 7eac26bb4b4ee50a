#!/usr/bin/env bash
# Configures and builds one build tree from CMakePresets.json.
# Usage: scripts/build.sh [preset] [extra cmake args...]
# Presets: release (build/, the default), asan (build-asan/), tsan (build-tsan/), fuzz (build-fuzz/),
# lint (build-lint/, only the generated sources).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
shift || true
cmake --preset "$preset" "$@" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
