#!/usr/bin/env bash
# Installs what is missing, checks formatting and clang-tidy (scripts/lint.sh), builds everything
# and runs every test: first the unit tests under
# AddressSanitizer+UBSan and the threaded tests under ThreadSanitizer, then the whole suite
# (unit and desktop) inside the virtual desktop. Before anything is built, the layer check
# (scripts/check-layers.sh) holds every include to the directions in scripts/layers.txt.
# Set VANTROSE_SKIP_SANITIZERS=1 to skip the sanitizer builds, VANTROSE_SKIP_FUZZ=1 to skip
# the short fuzzing run, VANTROSE_SKIP_LINT=1 to skip the format and clang-tidy checks.
set -euo pipefail
cd "$(dirname "$0")/.."
# Cheap and needs no build: no folder includes from a layer above it.
scripts/check-layers.sh
scripts/install-deps.sh

jobs=$(nproc)

# Formatting and clang-tidy first: they need no build of their own beyond the generated sources.
if [ -z "${VANTROSE_SKIP_LINT:-}" ]; then
  scripts/lint.sh
fi

if [ -z "${VANTROSE_SKIP_SANITIZERS:-}" ]; then
  scripts/build.sh asan
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --preset asan -j "$jobs"
  # The fault matrix's desktop rows (the real program ended by signals, a silent session bus, the
  # paste target closing) under AddressSanitizer as well: about a minute.
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    scripts/with-desktop.sh ctest --test-dir build-asan --output-on-failure -L desktop -R '^FaultMatrixDesktop\.'

  # Only the threaded test programs are built under ThreadSanitizer.
  cmake --preset tsan >/dev/null
  mapfile -t threaded < <(ninja -C build-tsan -t targets all | grep -oE '^tests/threaded_[a-z0-9_]+:' | grep -vE '_autogen(_timestamp_deps)?:$' | sed 's|^tests/||; s|:$||' | sort -u)
  if [ ${#threaded[@]} -gt 0 ]; then
    cmake --build build-tsan -j "$jobs" --target "${threaded[@]}"
  fi
  TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp" \
    ctest --preset tsan -j "$jobs" --no-tests=ignore
fi

# Every fuzz target for a few seconds from its seed corpus (VANTROSE_FUZZ_SECONDS, default 5).
if [ -z "${VANTROSE_SKIP_FUZZ:-}" ]; then
  scripts/fuzz.sh "${VANTROSE_FUZZ_SECONDS:-5}"
fi

scripts/build.sh release

# ctest runs every case in a process of its own; each unit program also runs whole, all its
# cases in one process, so no case passes only because it had the process to itself.
find build/tests -maxdepth 1 -type f -executable -name 'test_*' -print0 |
  xargs -0 -P "$jobs" -I{} sh -c '"$1" --gtest_brief=1 >"$1.whole.log" 2>&1 || { cat "$1.whole.log"; echo "failed when run whole: $1"; exit 1; }' sh {}
scripts/with-desktop.sh ctest --test-dir build --output-on-failure -j "$jobs"
