#!/usr/bin/env bash
# Installs what is missing, builds Vantrose and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release

# The browser hands the sign-in callback to Vantrose through its desktop entry.
scripts/install-desktop-entry.sh build
# The local service answers sign-in, transcription and formatting when the build points at it;
# if it cannot start, the program still starts and says it cannot reach its server.
scripts/start-service.sh build || true

# Tesseract reads its thread limit once, when the process starts.
export OMP_THREAD_LIMIT=${OMP_THREAD_LIMIT:-1}
exec build/src/vantrose "$@"
