#!/usr/bin/env bash
# Builds with the benchmarks on and runs them. Benchmarks run on demand only: never as tests, never in CI.
#
# Usage: scripts/bench.sh [all|micro|idle]      (default: all)
#   micro  every bench/bench_* program (some need flite and sox and take a minute or two)
#   idle   starts the built program on the virtual desktop, signed in, and samples its resident
#          memory and CPU time while it sits idle (goals: under 150 MB, under 0.5 % of one core)
#
# Environment: VANTROSE_BENCH_BUILD_DIR (default build-bench), VANTROSE_BENCH_JOBS (default: all
# cores), VANTROSE_IDLE_SECONDS (default 60), VANTROSE_IDLE_SETTLE_SECONDS (wait after start-up
# before the idle window opens; default 5).
set -euo pipefail
cd "$(dirname "$0")/.."

idle_seconds=${VANTROSE_IDLE_SECONDS:-60}
settle_seconds=${VANTROSE_IDLE_SETTLE_SECONDS:-5}

# ---- inside the virtual desktop: one idle measurement of the program given as $2 ----
if [ "${1:-}" = "--idle-inside-desktop" ]; then
  program=$2
  # A signed-in account, so the start-up goes past the sign-in gate and sets the pipeline up.
  mkdir -p "$XDG_CONFIG_HOME/Vantrose"
  ( umask 077; printf '[General]\ncom.vantrose.accessToken=bench-token\n' >"$XDG_CONFIG_HOME/Vantrose/Vantrose.conf" )
  log="$XDG_STATE_HOME/Vantrose/main.log"
  out="$VANTROSE_DESKTOP_WORK/vantrose.out"

  # Tesseract reads its thread limit once, when the process starts (as scripts/run.sh sets it).
  OMP_THREAD_LIMIT=${OMP_THREAD_LIMIT:-1} "$program" >"$out" 2>&1 &
  pid=$!
  stop_program() {
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
  }
  trap stop_program EXIT

  wait_for_log() {  # text, seconds
    local deadline=$((SECONDS + $2))
    until [ -f "$log" ] && grep -qF "$1" "$log"; do
      kill -0 "$pid" 2>/dev/null || { echo "idle: vantrose exited during start-up" >&2; cat "$out" >&2; exit 1; }
      [ $SECONDS -lt "$deadline" ] || return 1
      sleep 0.2
    done
  }
  wait_for_log "Vantrose: Application launched successfully" 60 || {
    echo "idle: vantrose did not report its launch within 60 s" >&2; cat "$out" >&2; exit 1; }
  pipeline="set up"
  wait_for_log "Pipeline: Setup complete" 30 || pipeline="NOT set up (no 'Pipeline: Setup complete' in the log)"
  sleep "$settle_seconds"

  ticks=$(getconf CLK_TCK)
  cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat"; }  # utime + stime
  rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }

  start_ticks=$(cpu_ticks)
  start_ns=$(date +%s%N)
  max_rss=0
  for _ in $(seq "$idle_seconds"); do
    kill -0 "$pid" 2>/dev/null || { echo "idle: vantrose exited during the measurement" >&2; cat "$out" >&2; exit 1; }
    rss=$(rss_kb)
    [ "$rss" -gt "$max_rss" ] && max_rss=$rss
    sleep 1
  done
  end_ticks=$(cpu_ticks)
  end_ns=$(date +%s%N)
  end_rss=$(rss_kb)
  [ "$end_rss" -gt "$max_rss" ] && max_rss=$end_rss
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status")

  awk -v t0="$start_ticks" -v t1="$end_ticks" -v hz="$ticks" -v n0="$start_ns" -v n1="$end_ns" \
      -v rss="$end_rss" -v max="$max_rss" -v threads="$threads" -v pipeline="$pipeline" -v settle="$settle_seconds" 'BEGIN {
    wall = (n1 - n0) / 1e9; cpu = (t1 - t0) / hz; pct = 100 * cpu / wall
    printf "idle: pipeline %s; %d threads\n", pipeline, threads
    printf "idle: window %.1f s (after %s s settle)\n", wall, settle
    printf "idle: resident memory %.1f MB at the end, %.1f MB at most (goal: under 150 MB)%s\n",
           rss / 1024, max / 1024, (max / 1024 < 150 ? "" : "  OVER GOAL")
    printf "idle: CPU %.2f s = %.3f %% of one core (goal: under 0.5 %%)%s\n",
           cpu, pct, (pct < 0.5 ? "" : "  OVER GOAL")
  }'
  exit 0
fi

mode=${1:-all}
case "$mode" in
  all|micro|idle) ;;
  *) echo "usage: $0 [all|micro|idle]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
dir=${VANTROSE_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTROSE_BUILD_BENCH=ON -DVANTROSE_BUILD_APP=ON >/dev/null
cmake --build "$dir" -j "${VANTROSE_BENCH_JOBS:-$(nproc)}"

if [ "$mode" = all ] || [ "$mode" = micro ]; then
  for bench in "$dir"/bench/bench_*; do
    [ -x "$bench" ] || continue
    echo "==> $(basename "$bench")"
    "$bench"
  done
fi

if [ "$mode" = all ] || [ "$mode" = idle ]; then
  echo "==> idle resident memory and CPU over ${idle_seconds} s"
  VANTROSE_IDLE_SETTLE_SECONDS=$settle_seconds VANTROSE_IDLE_SECONDS=$idle_seconds \
    scripts/with-desktop.sh "$PWD/scripts/bench.sh" --idle-inside-desktop "$(cd "$dir" && pwd)/src/vantrose"
fi
