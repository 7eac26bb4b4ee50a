#!/usr/bin/env bash
# Installs what is missing, builds Vantrose and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Tesseract reads its thread limit once, when the process starts.
export OMP_THREAD_LIMIT=${OMP_THREAD_LIMIT:-1}
exec build/src/vantrose "$@"
