#!/usr/bin/env bash
# Installs what is missing, builds Vantrose and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Registers the desktop entry, so the browser hands the sign-in callback URL to Vantrose.
# Every step is optional: a desktop without these tools still runs the program.
install_desktop_entry() {
  local entry=build/resources/vantrose.desktop
  [ -f "$entry" ] || return 0
  local apps="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
  mkdir -p "$apps" 2>/dev/null && cp "$entry" "$apps/vantrose.desktop" 2>/dev/null || return 0
  local scheme
  scheme=$(sed -n 's|^MimeType=x-scheme-handler/\([^;]*\);.*|\1|p' "$entry")
  if command -v update-desktop-database >/dev/null 2>&1; then
    update-desktop-database "$apps" >/dev/null 2>&1 || true
  fi
  if [ -n "$scheme" ] && command -v xdg-mime >/dev/null 2>&1; then
    xdg-mime default vantrose.desktop "x-scheme-handler/$scheme" >/dev/null 2>&1 || true
  fi
}
install_desktop_entry || true

# Starts the local Vantrose service when the program is built for it (the built-in loopback
# base) and nothing answers there yet. The lock, held by the running service, keeps it to one
# instance even when two run.sh start at once.
start_local_service() {
  local base port state
  base=$(sed -n 's/^VANTROSE_SERVER_BASE:[A-Z]*=//p' build/CMakeCache.txt)
  case "$base" in
    http://127.0.0.1:*|http://localhost:*) ;;
    *) return 0 ;;  # another server: nothing to start here
  esac
  port=${base#http://*:}
  port=${port%%/*}
  if curl -fsS -m 2 -o /dev/null "$base/health" 2>/dev/null; then return 0; fi
  state="${XDG_STATE_HOME:-$HOME/.local/state}/Vantrose"
  mkdir -p "$state"
  (
    flock -n 9 || exit 0
    setsid build/service/vantrose-service --port "$port" </dev/null >>"$state/service.log" 2>&1 &
  ) 9>>"$state/service.lock"
  local deadline=$((SECONDS + 15))
  until curl -fsS -m 2 -o /dev/null "$base/health" 2>/dev/null; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "The local Vantrose service did not start; see $state/service.log" >&2
      return 0  # the program still starts and says it cannot reach its server
    fi
    sleep 0.2
  done
}
start_local_service

# Tesseract reads its thread limit once, when the process starts.
export OMP_THREAD_LIMIT=${OMP_THREAD_LIMIT:-1}
exec build/src/vantrose "$@"
