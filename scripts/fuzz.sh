#!/usr/bin/env bash
# Builds every libFuzzer harness of the network- and file-facing parsers with
# clang, AddressSanitizer and UBSan, and runs them side by side for a bounded
# time each.
#   scripts/fuzz.sh [seconds per harness, default 30] [build dir, default build-fuzz]
# The model harness starts from the demonstration models, written by the
# rt_models program of a test build (KESTRUNE_MODEL_SEEDER, default the
# sanitizer tree's), and from every model the suites of that tree write
# (KESTRUNE_SEED_TREE, default build-asan), when they are there.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
out=${2:-build-fuzz}
seeder=${KESTRUNE_MODEL_SEEDER:-build-asan/plugins/rt/tests/rt_models}
seed_tree=${KESTRUNE_SEED_TREE:-build-asan}
# A fixed mutation seed (KESTRUNE_FUZZ_SEED) and one OpenMP thread make a run
# repeatable from the same corpus.
seed=${KESTRUNE_FUZZ_SEED:-1}
export OMP_NUM_THREADS=1
mkdir -p "$out/stb-include"
[ -e "$out/stb-include/stb" ] || ln -s /usr/include/stb "$out/stb-include/stb"

# The runtime library, instrumented, for the model harness (the bundled stb
# code without UBSan, as in the CMake build).
rt_flags=(-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
  -fno-sanitize-recover=all -fopenmp=libgomp -ffp-contract=off -std=gnu++17 -fno-exceptions -fno-rtti -DKESTRUNE_BUILDING
  -Iruntime/include -Iruntime/src -Iserver/platform -I"$out/stb-include")
rm -rf "$out/rt-objs" && mkdir -p "$out/rt-objs"
# The kernels of a wider instruction set take their own target flags from
# the table the CMake build reads (GCC's warning choices left out); the
# library chooses among them at run time.
wide_kernels=()
while IFS='|' read -r file isa options; do
  [ "$(echo $isa)" = x86_64 ] || continue
  flags=()
  for o in $options; do case $o in -W*) ;; *) flags+=("$o") ;; esac; done
  wide_kernels+=("runtime/src/kernels/$(echo $file)|${flags[*]}")
done < <(grep -v '^#' runtime/src/kernels/target_flags.txt)
wide_names=()
for row in "${wide_kernels[@]}"; do wide_names+=(! -path "${row%%|*}"); done
{ find runtime/src -name '*.cpp' ! -name stb_impl.cpp "${wide_names[@]}"; echo server/platform/platform.cpp; } |
  while read -r src; do echo "$src"; done |
  xargs -P "$(nproc)" -I{} sh -c 'clang++ "$@" -c -o "$0/$(echo "{}" | tr / _).o" "{}"' \
    "$out/rt-objs" "${rt_flags[@]}"
for row in "${wide_kernels[@]}"; do
  src=${row%%|*}
  read -r -a march <<<"${row#*|}"
  clang++ "${rt_flags[@]}" "${march[@]}" -c -o "$out/rt-objs/$(echo "$src" | tr / _).o" "$src"
done
clang++ "${rt_flags[@]}" -fno-sanitize=undefined -c -o "$out/rt-objs/stb_impl.o" runtime/src/stb_impl.cpp
rm -rf "$out/seeds-model" "$out/models" "$out/seeds-rt-http" && mkdir -p "$out/seeds-model" "$out/models" "$out/seeds-rt-http"
if [ -x "$seeder" ]; then
  "$seeder" "$out/models" > /dev/null
  cp "$out/models"/*.kfm "$out/seeds-model"/
  export KESTRUNE_FUZZ_MODEL="$out/models/demo.kfm"
fi
if [ -f "$seed_tree/CTestTestfile.cmake" ]; then
  # The suites' own fixtures (their results were judged when they ran).
  KESTRUNE_KFM_DUMP_DIR="$(cd "$out/seeds-model" && pwd)" ctest --test-dir "$seed_tree" -j "$(nproc)" \
    > "$out/seed-suites.log" 2>&1 || true
  find "$out/seeds-model" -name '*.kfm' -size +64k -delete
fi
# Requests to the runtime plug-in: byte 0 the method (0 GET, 1 PUT, 2 POST),
# then the target, Content-Type and Accept lines, then the body.
seeds=$out/seeds-rt-http
printf '\000/v1/model\n\n\n' > "$seeds/get"
{ printf '\002/v1/model?output=conv&run=2\napplication/vnd.kestrune.tensor\napplication/json\n'
  head -c 768 /dev/zero; } > "$seeds/tensor"
if [ -f "$out/models/red.ppm" ]; then
  { printf '\002/v1/model\nimage/x-portable-pixmap\ntext/plain\n'; cat "$out/models/red.ppm"; } > "$seeds/image"
  { printf '\002/v1/model\nmultipart/form-data; boundary=XyZ\napplication/json\n--XyZ\r\n'
    printf 'Content-Disposition: form-data; name="input"; filename="red.ppm"\r\n'
    printf 'Content-Type: image/x-portable-pixmap\r\n\r\n'; cat "$out/models/red.ppm"; printf '\r\n--XyZ--\r\n'; } > "$seeds/pixmap"
fi
{ printf '\002/v1/model?imgproc=normalize\nmultipart/form-data; boundary=XyZ\napplication/json\n--XyZ\r\n'
  printf 'Content-Disposition: form-data; name="input"; filename="1,8,8,3"\r\n'
  printf 'Content-Type: application/vnd.kestrune.tensor.float32\r\n\r\n'; head -c 768 /dev/zero
  printf '\r\n--XyZ--\r\n'; } > "$seeds/float32"
printf '\001/v1/model\nmultipart/form-data; boundary=XyZ\n\n--XyZ\r\nContent-Disposition: form-data; name="block_count"\r\n\r\n2\r\n--XyZ--\r\n' > "$seeds/put"

# Pictures: one small picture of every format the image loader is offered,
# written by the picture harness's own seed writer.
rm -rf "$out/seeds-image" && mkdir -p "$out/seeds-image"
clang++ -std=gnu++17 -O1 -Wall -Wextra -DKESTRUNE_IMAGE_SEEDS -Iruntime/include -I"$out/stb-include" \
  -o "$out/image_seeds" runtime/tests/fuzz/image_fuzz.cpp
"$out/image_seeds" "$out/seeds-image"
# Datagrams to the runtime plug-in's RPC: the 24-byte little-endian request
# header (command, flags, frame width and height, crop width, height, x and
# y, FourCC, frame address), then the payload.  One seed for each command.
u16() { printf "$(printf '\\%03o\\%03o' $(($1 & 255)) $((($1 >> 8) & 255)))"; }
u32() { u16 $(($1 & 65535)); u16 $((($1 >> 16) & 65535)); }
rpc_header() { # command flags [frame w h, crop w h x y, fourcc, address]
  u16 "$1"; u16 "$2"; for v in "${3:-0}" "${4:-0}" "${5:-0}" "${6:-0}" "${7:-0}" "${8:-0}"; do u16 "$v"; done
  u32 "${9:-0}"; u32 "${10:-0}"
}
seeds=$out/seeds-rpc
rm -rf "$seeds" && mkdir -p "$seeds"
{ rpc_header 1 0; printf 'memory'; } > "$seeds/load_memory"
rpc_header 2 0 > "$seeds/unload_memory"
{ rpc_header 3 0; printf 'model.kfm'; } > "$seeds/load_model"
rpc_header 4 0 > "$seeds/unload_model"
{ rpc_header 5 0x0100; printf 'input'; } > "$seeds/set_input"
{ rpc_header 6 0x0070; printf 'output'; } > "$seeds/set_output"
rpc_header 7 0x00f0 > "$seeds/run"
{ rpc_header 7 0x0111; head -c 768 /dev/zero; } > "$seeds/run_load"
[ -f "$out/models/red.ppm" ] && { rpc_header 7 0x1032; cat "$out/models/red.ppm"; } > "$seeds/run_decode"
rpc_header 7 0x200e 640 480 320 240 16 8 0x33424752 0x10000000 > "$seeds/run_frame"
printf '\007\000\020' > "$seeds/short"

common=plugins/common
# name | harness | include dirs | sources | seed folder | extra runner options
# (later options win: the whole-runtime harnesses allow a slow input, a model
# or picture at its size limits, more time)
harnesses=(
  "http_parse_fuzz|server/tests/fuzz/http_parse_fuzz.cpp|server/http|server/http/http.cpp|server/tests/fuzz/seeds|-max_len=65536 -close_fd_mask=3"
  "http_read_fuzz|server/tests/fuzz/http_read_fuzz.cpp|server/http|server/http/http.cpp|server/tests/fuzz/seeds|-max_len=65536 -close_fd_mask=3"
  "multipart_fuzz|$common/fuzz/multipart_fuzz.cpp|$common $out/stb-include|$common/multipart.cpp $common/json_write.cpp $common/json_fixed.cpp $common/json_parse.cpp $common/stb_sprintf_impl.cpp|$common/fuzz/seeds/multipart|"
  "json_fuzz|$common/fuzz/json_fuzz.cpp|$common $out/stb-include|$common/multipart.cpp $common/json_write.cpp $common/json_fixed.cpp $common/json_parse.cpp $common/stb_sprintf_impl.cpp||"
  "model_fuzz|runtime/tests/fuzz/model_fuzz.cpp|runtime/include|$out/rt-objs/*.o -lgomp -ldl -lpthread|$out/seeds-model|-close_fd_mask=3 -timeout=60"
  "rt_http_fuzz|plugins/rt/tests/fuzz/rt_http_fuzz.cpp|plugins/rt $common server/include server/http server/platform runtime/include runtime/src runtime/src/core $out/stb-include|plugins/rt/*.cpp $common/*.cpp server/http/http.cpp $out/rt-objs/*.o -lgomp -ldl -lpthread|$out/seeds-rt-http|-close_fd_mask=3 -timeout=60"
  "image_fuzz|runtime/tests/fuzz/image_fuzz.cpp|runtime/include|$out/rt-objs/*.o -lgomp -ldl -lpthread|$out/seeds-image|-close_fd_mask=3 -max_len=65536 -timeout=30"
  "rpc_fuzz|plugins/rt/tests/fuzz/rpc_fuzz.cpp|plugins/rt $common server/include server/http server/platform runtime/include runtime/src runtime/src/core $out/stb-include|plugins/rt/*.cpp $common/*.cpp server/http/http.cpp $out/rt-objs/*.o -lgomp -ldl -lpthread|$out/seeds-rpc|-max_len=65536 -close_fd_mask=3 -timeout=60"
)

flags=(-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Wall -Wextra)
names=()
pids=()
for row in "${harnesses[@]}"; do
  IFS='|' read -r name harness includes sources seeds options <<<"$row"
  incs=()
  for d in $includes; do incs+=(-I"$d"); done
  # shellcheck disable=SC2086
  clang++ -std=gnu++17 "${flags[@]}" "${incs[@]}" -o "$out/$name" "$harness" $sources -lm
  corpus="$out/corpus-$name"
  mkdir -p "$corpus"
  [ -n "$seeds" ] && [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  # What earlier long runs reached (minimised with -merge=1) starts every run.
  kept="$(dirname "$harness")/corpus/${name%_fuzz}"
  [ -d "$kept" ] && cp -n "$kept"/* "$corpus"/ 2>/dev/null || true
  # shellcheck disable=SC2086
  "$out/$name" -max_total_time="$seconds" -seed="$seed" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/$name-" $options "$corpus" > "$out/$name.log" 2>&1 &
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
