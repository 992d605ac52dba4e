#!/usr/bin/env bash
# `make fuzz`: builds the libFuzzer targets with clang (AddressSanitizer and UBSan) and runs each
# for FUZZ_SECONDS (default 60) over the shared sample cards. A crash stops with its input saved
# in build/fuzz/findings.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
LUMIDEX_EXTRA_PACKAGES="clang ${LUMIDEX_EXTRA_PACKAGES:-}" bash "$root/scripts/deps.sh"

build=$root/build/fuzz
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DLUMIDEX_SANITIZE=ON \
  -DLUMIDEX_FUZZ=ON -DLUMIDEX_TESTS=OFF -DLUMIDEX_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target vcard_reader_fuzz vcard_import_fuzz

samples=${LUMIDEX_VCARD_SAMPLES:-$root/../shared/vcards}
mkdir -p "$build/findings"
for target in vcard_reader_fuzz vcard_import_fuzz; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  [ -d "$samples" ] && cp -n "$samples"/*.vcf "$corpus"/ 2>/dev/null || true
  echo "== $target"
  ASAN_OPTIONS=detect_leaks=0 "$build/tests/fuzz/$target" -max_total_time="${FUZZ_SECONDS:-60}" \
    -max_len=65536 -artifact_prefix="$build/findings/$target-" "$corpus"
done
