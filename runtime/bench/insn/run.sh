#!/usr/bin/env bash
# Cross-builds insn_bench for aarch64 (Release) and runs it under qemu-aarch64
# for each CPU model (default: cortex-a53, ARMv8.0, and neoverse-n1, ARMv8.2
# with dot product), counting executed instructions with the insn_count
# plug-in.  One thread.  Usage: runtime/bench/insn/run.sh [cpu ...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
build="${KESTRUNE_INSN_BUILD:-$root/build-insn}"
jobs="${JOBS:-3}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DKESTRUNE_BENCH=ON >/dev/null
cmake --build "$build" -j "$jobs" --target insn_bench >/dev/null
cc -O2 -Wall -Wextra -shared -fPIC -o "$build/libinsn_count.so" "$here/insn_count.c"

counts="$(mktemp)"
trap 'rm -f "$counts"' EXIT
cpus=("$@")
[ ${#cpus[@]} -gt 0 ] || cpus=(cortex-a53 neoverse-n1)
for cpu in "${cpus[@]}"; do
  echo "== qemu-aarch64 -cpu $cpu =="
  OMP_NUM_THREADS=1 KESTRUNE_INSN_COUNTS="$counts" \
    qemu-aarch64 -L /usr/aarch64-linux-gnu -cpu "$cpu" \
    -plugin "$build/libinsn_count.so,out=$counts" "$build/runtime/bench/insn/insn_bench"
done
