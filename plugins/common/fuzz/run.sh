#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the multipart parser and of the JSON
# string and base64 writers with clang, AddressSanitizer and UBSan, and runs
# them side by side for FUZZ_SECONDS (default 60) each.
#   plugins/common/fuzz/run.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
common="$(dirname "$here")"
out="${1:-$common/../../build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
mkdir -p "$out"
stb="$out/stb-include"
mkdir -p "$stb"
[ -e "$stb/stb" ] || ln -s /usr/include/stb "$stb/stb"

flags=(-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -Wall -Wextra -I"$common" -isystem "$stb")
sources=("$common/multipart.c" "$common/json_write.c" "$common/json_fixed.c" "$common/json_parse.c"
         "$common/stb_sprintf_impl.c")
for name in multipart_fuzz json_fuzz; do
  clang "${flags[@]}" -o "$out/$name" "$here/$name.c" "${sources[@]}" -lm
done

pids=()
for name in multipart_fuzz json_fuzz; do
  mkdir -p "$out/corpus-$name"
  "$out/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$out/$name-" \
    "$out/corpus-$name" $( [ -d "$here/seeds/${name%_fuzz}" ] && echo "$here/seeds/${name%_fuzz}" ) \
    > "$out/$name.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!pids[@]}"; do
  if ! wait "${pids[$i]}"; then
    status=1
  fi
done
for name in multipart_fuzz json_fuzz; do
  echo "-- $name"; tail -n 12 "$out/$name.log"
done
exit $status
