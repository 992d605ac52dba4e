#!/usr/bin/env bash
# `make bench`: an optimised build, a private PostgreSQL server, then every benchmark in bench/
# (executables *_bench and scripts *_bench.sh), each printing its own figures.
#   BUILD_DIR    build folder (default build/bench)
#   BENCH_ONLY   run only benchmarks whose name contains this text
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"

build=${BUILD_DIR:-$root/build/bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMIDEX_TESTS=OFF -DLUMIDEX_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

pgdir=$(mktemp -d /tmp/lumidex-bench-pg-XXXXXX)
cleanup() {
  bash "$root/scripts/pg.sh" stop "$pgdir" || true
  rm -rf "$pgdir"
}
trap cleanup EXIT
PGHOST=$(bash "$root/scripts/pg.sh" start "$pgdir")
export PGHOST LUMIDEX_BUILD_DIR="$build" LUMIDEX_SOURCE_DIR="$root"

for bench in "$build"/bench/*_bench "$root"/bench/*_bench.sh; do
  [ -e "$bench" ] || continue
  case "$(basename "$bench")" in *"${BENCH_ONLY:-}"*) ;; *) continue ;; esac
  echo "== $(basename "$bench")"
  if [[ "$bench" == *.sh ]]; then bash "$bench"; else "$bench"; fi
done
