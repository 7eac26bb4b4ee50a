#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (ASan+UBSan) and runs each for the given
# number of seconds (default 60), starting from its seed corpus in fuzz/corpus/<name>/.
#   scripts/fuzz.sh [seconds] [--pending] [target ...]
# --pending also checks the properties whose fixes are not in yet
# (VANTROSE_FUZZ_PENDING=1). New inputs go to build-fuzz/corpus/<name>/; a finding is saved as
# build-fuzz/findings/<name>-crash-* and makes the script fail. Replay one with
#   build-fuzz/fuzz/fuzz_<name> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
targets=()
for arg in "$@"; do
  case "$arg" in
    --pending) export VANTROSE_FUZZ_PENDING=1 ;;
    ''|*[!0-9]*) targets+=("$arg") ;;
    *) seconds=$arg ;;
  esac
done

CLANG=${CLANG:-clang-14}
CLANGXX=${CLANGXX:-clang++-14}
build=build-fuzz
cmake --preset fuzz -DCMAKE_C_COMPILER="$CLANG" -DCMAKE_CXX_COMPILER="$CLANGXX" >/dev/null
cmake --build --preset fuzz -j "${FUZZ_BUILD_JOBS:-$(nproc)}"

if [ ${#targets[@]} -eq 0 ]; then
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

# Qt keeps process-wide caches that the leak checker would report after every input.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/findings"
rm -f "$build"/findings/*.failed
# One target; leaves <name>.failed behind when it found something.
run_target() {
  local name=$1 program="$build/fuzz/fuzz_$1"
  mkdir -p "$build/corpus/$name"
  if ! "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -detect_leaks=0 -print_final_stats=0 -artifact_prefix="$build/findings/$name-" \
      "$build/corpus/$name" "fuzz/corpus/$name" >"$build/findings/$name.log" 2>&1; then
    {
      echo "!! $name found a failing input (log: $build/findings/$name.log):"
      grep -E "PROPERTY FAILED|ERROR:|SUMMARY|Test unit written" -A2 "$build/findings/$name.log" | head -20
    } >"$build/findings/$name.failed"
  fi
}

# Targets run side by side, FUZZ_JOBS at a time (default: half the cores).
jobs=${FUZZ_JOBS:-$(( ($(nproc) + 1) / 2 ))}
for name in "${targets[@]}"; do
  [ -x "$build/fuzz/fuzz_$name" ] || { echo "no fuzz target '$name'"; exit 2; }
done
for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  echo "== $name: ${seconds}s"
  run_target "$name" &
done
wait

shopt -s nullglob
failed=("$build"/findings/*.failed)
if [ ${#failed[@]} -gt 0 ]; then
  cat "${failed[@]}"
  exit 1
fi
echo "No findings in ${#targets[@]} targets."
