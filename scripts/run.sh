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

# Tesseract reads its thread limit once, when the process starts.
export OMP_THREAD_LIMIT=${OMP_THREAD_LIMIT:-1}
exec build/src/vantrose "$@"
