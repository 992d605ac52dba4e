#!/usr/bin/env bash
# `make test`: installs what is missing, builds with AddressSanitizer and UBSan (warnings are
# errors), starts a private PostgreSQL server and runs every test against it.
#   BUILD_DIR   build folder (default build/test)
#   CTEST_ARGS  extra arguments for ctest (for example "-R listing")
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"

build=${BUILD_DIR:-$root/build/test}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DLUMIDEX_SANITIZE=ON \
  -DLUMIDEX_WERROR=ON -DLUMIDEX_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

pgdir=$(mktemp -d /tmp/lumidex-pg-XXXXXX)
cleanup() {
  bash "$root/scripts/pg.sh" stop "$pgdir" || true
  rm -rf "$pgdir"
}
trap cleanup EXIT
PGHOST=$(bash "$root/scripts/pg.sh" start "$pgdir")
export PGHOST
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

cd "$build"
# shellcheck disable=SC2086
ctest --output-on-failure ${CTEST_ARGS:-}
