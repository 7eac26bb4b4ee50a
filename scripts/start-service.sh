#!/usr/bin/env bash
# Starts the local Vantrose service when the program is built for it (the built-in loopback
# base) and nothing answers there yet. The lock, held by the running service, keeps it to one
# instance even when two start at once. Usage: scripts/start-service.sh [build-dir]
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
base=$(sed -n 's/^VANTROSE_SERVER_BASE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
case "$base" in
  http://127.0.0.1:*|http://localhost:*) ;;
  *) exit 0 ;;  # another server: nothing to start here
esac
port=${base#http://*:}
port=${port%%/*}
if curl -fsS -m 2 -o /dev/null "$base/health" 2>/dev/null; then exit 0; fi
state="${XDG_STATE_HOME:-$HOME/.local/state}/Vantrose"
mkdir -p "$state"
(
  flock -n 9 || exit 0
  # The service keeps its own log bounded (service.log and one older service.log.1); only what
  # fails before it opens the file lands there through this redirection.
  setsid "$build/service/vantrose-service" --port "$port" --log-file "$state/service.log" \
    </dev/null >/dev/null 2>>"$state/service.log" &
  echo $! >"$state/service.pid"
) 9>>"$state/service.lock"
deadline=$((SECONDS + 15))
until curl -fsS -m 2 -o /dev/null "$base/health" 2>/dev/null; do
  if [ "$SECONDS" -ge "$deadline" ]; then
    echo "The local Vantrose service did not start; see $state/service.log" >&2
    exit 1
  fi
  sleep 0.2
done
