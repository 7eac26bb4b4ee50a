#!/usr/bin/env bash
# Fails on any formatting difference (clang-format, .clang-format) or clang-tidy finding
# (.clang-tidy, every warning an error) in src/, tests/, service/, bench/ and fuzz/, on a
# lambda owning captured values inside a co_await expression (scripts/check-await-lambdas.py),
# and on a QCoro header spelled other than <QCoro/QCoroName>.
# clang-tidy reads build-lint/ (the "lint" preset): clang's compile commands, with only the
# generated sources (moc) built, so it needs no full build.
#   scripts/lint.sh [format|tidy]   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
jobs=$(nproc)
CLANG_FORMAT=${CLANG_FORMAT:-clang-format-14}
RUN_CLANG_TIDY=${RUN_CLANG_TIDY:-run-clang-tidy-14}
CLANG_TIDY=${CLANG_TIDY:-clang-tidy-14}

if [ "$what" = all ] || [ "$what" = format ]; then
  find src tests service bench fuzz -type f \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 -P "$jobs" -n 16 "$CLANG_FORMAT" --dry-run --Werror
  echo "clang-format: clean"
  scripts/check-await-lambdas.py
  # One spelling of the QCoro headers: <QCoro/QCoroTask>, not <qcoro/qcorotask.h> or <QCoroTask>.
  if grep -rnE --include='*.cpp' --include='*.h' '#[[:space:]]*include[[:space:]]*<(qcoro/|QCoro[A-Z])' src tests service bench fuzz; then
    echo "QCoro includes: spell them <QCoro/QCoroName> (above)"
    exit 1
  fi
fi

if [ "$what" = all ] || [ "$what" = tidy ]; then
  cmake --preset lint >/dev/null
  cmake --build --preset lint -j "$jobs" >/dev/null
  # The program, the service, the benchmarks, the fuzz targets and the shared test fixtures; the
  # test programs themselves are left out, which halves the time this takes.
  # run-clang-tidy prints each command line before its findings; keep only the findings.
  status=0
  "$RUN_CLANG_TIDY" -clang-tidy-binary "$(command -v "$CLANG_TIDY")" -p build-lint -j "$jobs" -quiet \
    "$PWD/(src|service|bench|fuzz|tests/support)/.*\\.cpp\$" >build-lint/clang-tidy.log 2>&1 ||
    status=$?
  sed 's/\x1b\[[0-9;]*m//g' build-lint/clang-tidy.log |
    grep -vE "^([^ ]*/)?(${CLANG_TIDY}|clang-tidy)[^ ]* |^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed |^Use -header-filter|^Running clang-tidy|^$" ||
    true
  if [ "$status" -ne 0 ]; then
    echo "clang-tidy: findings above (whole log: build-lint/clang-tidy.log)"
    exit 1
  fi
  echo "clang-tidy: clean"
fi
