#!/usr/bin/env bash
# Builds every libFuzzer harness of the network- and file-facing parsers with
# clang, AddressSanitizer and UBSan, and runs them side by side for a bounded
# time each.
#   scripts/fuzz.sh [seconds per harness, default 30] [build dir, default build-fuzz]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
out=${2:-build-fuzz}
mkdir -p "$out/stb-include"
[ -e "$out/stb-include/stb" ] || ln -s /usr/include/stb "$out/stb-include/stb"

common=plugins/common
# name | harness | include dirs | sources | seed folder | extra runner options
harnesses=(
  "http_parse_fuzz|server/tests/fuzz/http_parse_fuzz.c|server/http|server/http/http.c|server/tests/fuzz/seeds|-max_len=65536 -close_fd_mask=3"
  "http_read_fuzz|server/tests/fuzz/http_read_fuzz.c|server/http|server/http/http.c|server/tests/fuzz/seeds|-max_len=65536 -close_fd_mask=3"
  "multipart_fuzz|$common/fuzz/multipart_fuzz.c|$common $out/stb-include|$common/multipart.c $common/json_write.c $common/json_fixed.c $common/json_parse.c $common/stb_sprintf_impl.c|$common/fuzz/seeds/multipart|"
  "json_fuzz|$common/fuzz/json_fuzz.c|$common $out/stb-include|$common/multipart.c $common/json_write.c $common/json_fixed.c $common/json_parse.c $common/stb_sprintf_impl.c||"
)

flags=(-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Wall -Wextra)
names=()
pids=()
for row in "${harnesses[@]}"; do
  IFS='|' read -r name harness includes sources seeds options <<<"$row"
  incs=()
  for d in $includes; do incs+=(-I"$d"); done
  # shellcheck disable=SC2086
  clang "${flags[@]}" "${incs[@]}" -o "$out/$name" "$harness" $sources -lm
  corpus="$out/corpus-$name"
  mkdir -p "$corpus"
  [ -n "$seeds" ] && [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  # shellcheck disable=SC2086
  "$out/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$out/$name-" $options "$corpus" > "$out/$name.log" 2>&1 &
  names+=("$name")
  pids+=($!)
done

status=0
for i in "${!pids[@]}"; do
  if ! wait "${pids[$i]}"; then
    echo "fuzzing failed: ${names[$i]} (see $out/${names[$i]}.log)"
    status=1
  fi
  echo "-- ${names[$i]}"; tail -n 4 "$out/${names[$i]}.log"
done
[ "$status" -eq 0 ] && echo "fuzzing passed"
exit "$status"
