#!/usr/bin/env bash
# Registers Vantrose's desktop entry for this user, so the browser hands the sign-in callback
# URL to Vantrose. Usage: scripts/install-desktop-entry.sh [build-dir]
# Every step is optional: a desktop without these tools still runs the program.
cd "$(dirname "$0")/.."
entry=${1:-build}/resources/vantrose.desktop
[ -f "$entry" ] || exit 0
apps="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
mkdir -p "$apps" 2>/dev/null && cp "$entry" "$apps/vantrose.desktop" 2>/dev/null || exit 0
scheme=$(sed -n 's|^MimeType=x-scheme-handler/\([^;]*\);.*|\1|p' "$entry")
if command -v update-desktop-database >/dev/null 2>&1; then
  update-desktop-database "$apps" >/dev/null 2>&1 || true
fi
if [ -n "$scheme" ] && command -v xdg-mime >/dev/null 2>&1; then
  xdg-mime default vantrose.desktop "x-scheme-handler/$scheme" >/dev/null 2>&1 || true
fi
exit 0
