#!/usr/bin/env bash
# Builds with the benchmarks on, runs them and ends with one table of every figure against its
# goal and its reference. Benchmarks run on demand only: never as tests, never in CI.
#
# Usage: scripts/bench.sh [all|micro|idle]      (default: all)
#   micro  every bench/bench_* program (some need flite and sox and take a minute or two);
#          programs named bench_*_desktop run on the virtual desktop (scripts/with-desktop.sh)
#   idle   starts the built program on the virtual desktop, signed in, closes the hub window and
#          samples its resident memory, CPU time, threads and wake-ups while it sits idle; three
#          times: with no server answering (figures idle:*), signed in to the local service
#          (idle_service:*), and with the local service refusing its token (idle_refused:*: the
#          service ended the session, so the program signs out once and must then keep quiet)
#
# The goals and references of the table are in bench/goals.tsv.
#
# Environment: VANTROSE_BENCH_BUILD_DIR (default build-bench), VANTROSE_BENCH_JOBS (default: all
# cores), VANTROSE_IDLE_SECONDS (default 60), VANTROSE_IDLE_SETTLE_SECONDS (wait after start-up
# before the idle window opens; default 5).
set -euo pipefail
cd "$(dirname "$0")/.."

idle_seconds=${VANTROSE_IDLE_SECONDS:-60}
settle_seconds=${VANTROSE_IDLE_SETTLE_SECONDS:-5}

# ---- inside the virtual desktop: one idle measurement of the program given as $2, figures to $3 ----
# $4, the server the program is signed in to: none (a token for a server nobody runs), service (the
# local service, signed in through its consent page) or refused (the local service, which has ended
# that session).
if [ "${1:-}" = "--idle-inside-desktop" ]; then
  program=$2
  figures=$3
  server=${4:-none}
  prefix=idle
  [ "$server" = none ] || prefix=idle_$server
  build=$(cd "$(dirname "$program")/.." && pwd)
  log="$XDG_STATE_HOME/Vantrose/main.log"
  out="$VANTROSE_DESKTOP_WORK/vantrose.out"
  pid=
  service_pid=
  stop_processes() {
    for p in $pid $service_pid; do
      if kill -0 "$p" 2>/dev/null; then
        kill -TERM "$p" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$p" 2>/dev/null || true
      fi
      wait "$p" 2>/dev/null || true
    done
  }
  trap stop_processes EXIT

  # A signed-in account, so the start-up goes past the sign-in gate and sets the pipeline up.
  mkdir -p "$XDG_CONFIG_HOME/Vantrose"
  if [ "$server" = none ]; then
    ( umask 077; printf '[General]\ncom.vantrose.accessToken=bench-token\n' >"$XDG_CONFIG_HOME/Vantrose/Vantrose.conf" )
  else
    port_file="$VANTROSE_DESKTOP_WORK/service.port"
    "$build/service/vantrose-service" --port 0 --port-file "$port_file" --data-dir "$VANTROSE_DESKTOP_WORK/service" \
      --ollama "" >"$VANTROSE_DESKTOP_WORK/service.out" 2>&1 &
    service_pid=$!
    for _ in $(seq 100); do [ -s "$port_file" ] && break; sleep 0.2; done
    [ -s "$port_file" ] || { echo "$prefix: the local service did not start" >&2; cat "$VANTROSE_DESKTOP_WORK/service.out" >&2; exit 1; }
    revoked=()
    [ "$server" = refused ] && revoked=(--revoked)
    "$build/bench/vantrose_bench_sign_in" "http://127.0.0.1:$(cat "$port_file")" "${revoked[@]}" ||
      { echo "$prefix: could not sign in to the local service" >&2; exit 1; }
  fi

  # Tesseract reads its thread limit once, when the process starts (as scripts/run.sh sets it).
  OMP_THREAD_LIMIT=${OMP_THREAD_LIMIT:-1} "$program" >"$out" 2>&1 &
  pid=$!

  wait_for_log() {  # text, seconds
    local deadline=$((SECONDS + $2))
    until [ -f "$log" ] && grep -qF "$1" "$log"; do
      kill -0 "$pid" 2>/dev/null || { echo "$prefix: vantrose exited during start-up" >&2; cat "$out" >&2; exit 1; }
      [ $SECONDS -lt "$deadline" ] || return 1
      sleep 0.2
    done
  }
  wait_for_log "Vantrose: Application launched successfully" 60 || {
    echo "$prefix: vantrose did not report its launch within 60 s" >&2; cat "$out" >&2; exit 1; }
  pipeline="set up"
  wait_for_log "Pipeline: Setup complete" 30 || pipeline="NOT set up (no 'Pipeline: Setup complete' in the log)"
  if [ "$server" = refused ]; then
    # Refused, the program signs out and shows the sign-in; that is the state measured.
    wait_for_log "Windows: Onboarding window shown" 30 || pipeline="$pipeline; NOT signed out (no sign-in shown)"
  fi

  # Closes the program's visible windows named by the pattern the way a user closes them: through
  # the window manager (openbox binds Alt+F4 to Close). True once none is left.
  close_windows() {
    local deadline=$((SECONDS + 30)) window
    while [ $SECONDS -lt $deadline ]; do
      window=$(xdotool search --onlyvisible --pid "$pid" --name "$1" 2>/dev/null | head -n1 || true)
      [ -n "$window" ] || return 0
      xdotool windowactivate --sync "$window" key --clearmodifiers alt+F4 >/dev/null 2>&1 || true
      sleep 0.5
    done
    return 1
  }
  # The start-up opens the hub; the idle program is the one whose hub the user has closed (and,
  # signed out, the sign-in window that follows it: both carry the program's name).
  hub="open"
  if wait_for_log "Windows: Hub window shown" 30 && close_windows '^Vantrose$'; then hub="closed"; fi
  sleep "$settle_seconds"

  ticks=$(getconf CLK_TCK)
  cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat"; }  # utime + stime
  rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }
  # One line a thread: id, name, context switches so far (each wake-up ends in one).
  thread_switches() {
    for task in /proc/"$pid"/task/*; do
      [ -r "$task/status" ] || continue
      awk -v id="${task##*/}" -v name="$(cat "$task/comm" 2>/dev/null)" '
        /^voluntary_ctxt_switches:/ { v = $2 } /^nonvoluntary_ctxt_switches:/ { n = $2 }
        END { printf "%s\t%s\t%d\n", id, name, v + n }' "$task/status" 2>/dev/null || true
    done
  }

  before=$(thread_switches)
  start_ticks=$(cpu_ticks)
  start_ns=$(date +%s%N)
  max_rss=0
  for _ in $(seq "$idle_seconds"); do
    kill -0 "$pid" 2>/dev/null || { echo "$prefix: vantrose exited during the measurement" >&2; cat "$out" >&2; exit 1; }
    rss=$(rss_kb)
    [ "$rss" -gt "$max_rss" ] && max_rss=$rss
    sleep 1
  done
  end_ticks=$(cpu_ticks)
  end_ns=$(date +%s%N)
  after=$(thread_switches)
  end_rss=$(rss_kb)
  [ "$end_rss" -gt "$max_rss" ] && max_rss=$end_rss
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status")
  wall=$(awk -v n0="$start_ns" -v n1="$end_ns" 'BEGIN { printf "%.3f", (n1 - n0) / 1e9 }')

  # Wake-ups a second, by thread (threads born during the window count from zero).
  per_thread=$(awk -F'\t' -v wall="$wall" '
    NR == FNR { base[$1] = $3; next }
    { d = $3 - base[$1]; printf "%.2f\t%s\n", d / wall, $2 }' <(printf '%s\n' "$before") <(printf '%s\n' "$after") |
    sort -rn)
  wakeups=$(printf '%s\n' "$per_thread" | awk -F'\t' '{ s += $1 } END { printf "%.2f", s }')

  awk -v t0="$start_ticks" -v t1="$end_ticks" -v hz="$ticks" -v wall="$wall" \
      -v rss="$end_rss" -v max="$max_rss" -v threads="$threads" -v pipeline="$pipeline" -v hub="$hub" \
      -v settle="$settle_seconds" -v wakeups="$wakeups" -v figures="$figures" -v p="$prefix" 'BEGIN {
    cpu = (t1 - t0) / hz; pct = 100 * cpu / wall
    printf "%s: pipeline %s; hub window %s; %d threads\n", p, pipeline, hub, threads
    printf "%s: window %.1f s (after %s s settle)\n", p, wall, settle
    printf "%s: resident memory %.1f MB at the end, %.1f MB at most\n", p, rss / 1024, max / 1024
    printf "%s: CPU %.2f s = %.3f %% of one core\n", p, cpu, pct
    printf "%s: %.2f wake-ups a second, by thread:\n", p, wakeups
    printf "%s:cpu_pct\t%.4f\n%s:rss_mb\t%.2f\n%s:rss_end_mb\t%.2f\n%s:threads\t%d\n%s:wakeups_per_s\t%.2f\n",
           p, pct, p, max / 1024, p, rss / 1024, p, threads, p, wakeups > figures
  }'
  printf '%s\n' "$per_thread" | awk -F'\t' -v p="$prefix" '$1 > 0 { printf "%s:   %8.2f  %s\n", p, $1, $2 }'
  # Where the resident memory sits: anonymous memory (the heaps, thread stacks) and each mapped file.
  echo "$prefix: resident by mapping (MB):"
  awk '/^[0-9a-f]+-[0-9a-f]+ / { name = ($6 == "") ? "[anonymous]" : $6; for (i = 7; i <= NF; i++) name = name " " $i; next }
       /^Rss:/ { rss[name] += $2 }
       END { for (n in rss) if (rss[n] >= 1024) printf "%.1f\t%s\n", rss[n] / 1024, n }' "/proc/$pid/smaps" 2>/dev/null |
    sort -rn | head -n 15 | awk -F'\t' -v p="$prefix" '{ printf "%s:   %6.1f  %s\n", p, $1, $2 }'
  echo "$prefix: threads by name: $(cat /proc/"$pid"/task/*/comm 2>/dev/null | sort | uniq -c | awk '{ n = $1; $1 = ""; printf "%s%s x%d", sep, substr($0, 2), n; sep = ", " }')"
  [ "$hub" = closed ] || echo "$prefix:hub_open	1" >>"$figures"
  exit 0
fi

# ---- the table: every figure of bench/goals.tsv from the figures in the results folder ----
print_table() {  # results folder, "partial" to leave out the figures this run did not measure
  local results=$1 partial=${2:-}
  cat "$results"/*.tsv 2>/dev/null >"$results/all.figures" || true
  awk -F'\t' -v partial="$partial" '
    function num(s) { return s ~ /^-?[0-9.]+([eE][-+]?[0-9]+)?$/ }
    function fmt(v) {
      if (v == "") return "-"
      if (v + 0 == int(v + 0) || v + 0 >= 100) return sprintf("%.0f", v)
      return v + 0 >= 1 ? sprintf("%.2f", v) : sprintf("%.3f", v)
    }
    function met(v, goal,   op, limit) {
      if (goal == "-" || goal == "") return "";
      match(goal, /^[<>=]+/); op = substr(goal, 1, RLENGTH); limit = substr(goal, RLENGTH + 1) + 0
      if (op == "<") return v < limit; if (op == "<=") return v <= limit
      if (op == ">") return v > limit; if (op == ">=") return v >= limit; if (op == "=") return v == limit
      return ""
    }
    FILENAME != ARGV[2] { if ($0 !~ /^#/ && NF >= 2) value[$1] = $2; next }
    /^#/ || NF < 4 { next }
    {
      figure = $1; key = $2; unit = $3; goal = $4; ref = $5; reflabel = $6
      v = value[key]
      if (v == "" && partial != "") next
      r = (ref == "" || ref == "-") ? "" : (num(ref) ? ref : value[ref])
      status = ""
      if (v == "") { status = "NOT MEASURED"; missing++ }
      else { m = met(v, goal); if (m == "") status = ""; else if (m) status = "ok"; else { status = "MISSED"; missed++ } }
      ratio = (v != "" && r != "" && r + 0 != 0) ? sprintf("%.2fx", v / r) : "-"
      rows++
      line[rows] = sprintf("%-44s %10s %-3s %8s  %-12s %10s  %-7s %s", figure, fmt(v), unit, goal, status,
                           (r == "" ? "-" : fmt(r)), ratio, (r == "" ? "" : reflabel))
    }
    END {
      printf "\n%-44s %10s %-3s %8s  %-12s %10s  %-7s %s\n", "figure", "value", "", "goal", "", "reference", "ratio", "reference is"
      for (i = 1; i <= rows; i++) print line[i]
      if (missed + missing == 0) print "\nbench: every goal met"
      else printf "\nbench: %d goal(s) missed, %d figure(s) not measured\n", missed, missing
      exit (missed + missing > 0)
    }' "$results/all.figures" bench/goals.tsv
}

if [ "${1:-}" = "--table" ]; then
  print_table "$2" "${3:-}"
  exit $?
fi

mode=${1:-all}
case "$mode" in
  all|micro|idle) ;;
  *) echo "usage: $0 [all|micro|idle]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
dir=${VANTROSE_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTROSE_BUILD_BENCH=ON -DVANTROSE_BUILD_APP=ON >/dev/null
# Only what runs here: the program (idle) and the benchmark programs (the local service comes
# with the benchmarks that start it); the tests are not needed.
targets=(vantrose vantrose-service vantrose_bench_sign_in)
for src in bench/*.cpp; do targets+=("bench_$(basename "$src" .cpp)"); done
cmake --build "$dir" -j "${VANTROSE_BENCH_JOBS:-$(nproc)}" --target "${targets[@]}"
dir=$(cd "$dir" && pwd)
results="$dir/bench-results"
rm -rf "$results"
mkdir -p "$results"

# Google Benchmark's JSON, flattened to one "program/benchmark:figure<TAB>value" line a figure;
# times in milliseconds.
flatten() {  # program name, JSON file
  jq -r --arg prog "$1" '
    def ms($u): {"ns": 1e-6, "us": 1e-3, "ms": 1, "s": 1000}[$u];
    .benchmarks[] | ((.run_name // .name) | split("/")[0]) as $b |
    if .error_occurred then "\($prog)/\($b):error\t\(.error_message // "" | gsub("\t"; " "))"
    else
      "\($prog)/\($b):real_ms\t\(.real_time * ms(.time_unit))",
      "\($prog)/\($b):cpu_ms\t\(.cpu_time * ms(.time_unit))",
      (to_entries[] | select(.value | type == "number")
        | select(.key | IN("real_time", "cpu_time", "family_index", "per_family_instance_index", "repetitions",
                           "repetition_index", "threads", "iterations") | not)
        | "\($prog)/\($b):\(.key)\t\(.value)")
    end' "$2"
}

failed=()
if [ "$mode" = all ] || [ "$mode" = micro ]; then
  for bench in "$dir"/bench/bench_*; do
    # Only the programs: CMake keeps a bench_*_autogen folder beside each of them.
    [ -f "$bench" ] && [ -x "$bench" ] || continue
    name=$(basename "$bench")
    name=${name#bench_}
    echo "==> bench_$name"
    runner=()
    case "$name" in *_desktop) runner=(scripts/with-desktop.sh) ;; esac
    if "${runner[@]}" "$bench" --benchmark_out="$results/$name.json" --benchmark_out_format=json &&
       [ -s "$results/$name.json" ]; then
      flatten "$name" "$results/$name.json" >"$results/$name.tsv"
      grep -P '^[^\t]*:error\t' "$results/$name.tsv" >&2 && failed+=("$name") || true
    else
      echo "bench: bench_$name failed" >&2
      failed+=("$name")
    fi
  done
fi

if [ "$mode" = all ] || [ "$mode" = idle ]; then
  for server in none service refused; do
    echo "==> idle resident memory, CPU and wake-ups over ${idle_seconds} s (server: $server)"
    VANTROSE_IDLE_SETTLE_SECONDS=$settle_seconds VANTROSE_IDLE_SECONDS=$idle_seconds \
      scripts/with-desktop.sh "$PWD/scripts/bench.sh" --idle-inside-desktop "$dir/src/vantrose" \
        "$results/idle-$server.tsv" "$server" || failed+=("idle ($server)")
  done
fi

[ ${#failed[@]} -eq 0 ] || echo "bench: failed: ${failed[*]}" >&2
status=0
if [ "$mode" = all ]; then print_table "$results" || status=1; else print_table "$results" partial || status=1; fi
[ ${#failed[@]} -eq 0 ] || status=1
exit $status
