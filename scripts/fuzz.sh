#!/usr/bin/env bash
# Builds the HTTP fuzz targets with clang's libFuzzer under AddressSanitizer
# and UndefinedBehaviorSanitizer and runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
out=build-fuzz
mkdir -p "$out"
flags="-g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Iserver/http"
for target in http_parse_fuzz http_read_fuzz; do
  clang $flags -o "$out/$target" "server/tests/fuzz/$target.c" server/http/http.c
  corpus="$out/corpus-$target"
  mkdir -p "$corpus"
  cp -n server/tests/fuzz/seeds/* "$corpus"/ 2>/dev/null || true
  echo "== $target for ${seconds}s =="
  "$out/$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -close_fd_mask=3 "$corpus"
done
echo "fuzzing passed"
