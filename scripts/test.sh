#!/usr/bin/env bash
# Builds and runs every test suite twice: natively under AddressSanitizer and
# UndefinedBehaviorSanitizer, then installed into a temporary prefix and tried
# there (scripts/install_check.sh), then cross-built for aarch64 and run under
# qemu-user, once as a Cortex-A53 and once with every feature qemu has; last,
# every parser fuzz harness runs for a bounded time under clang.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== native build with sanitizers =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON -DKESTRUNE_BENCH=OFF
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" --timeout 300

echo "== installed system (Release, no tests) =="
cmake -S . -B build-install -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_TESTS=OFF -DKESTRUNE_BENCH=OFF
cmake --build build-install -j "$jobs"
timeout 300 scripts/install_check.sh build-install build-asan/models/demo.kfm

echo "== aarch64 build under qemu =="
cmake -S . -B build-aarch64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DKESTRUNE_BENCH=OFF
cmake --build build-aarch64 -j "$jobs"
# Twice: an ARMv8.0 core (the kernels' baseline paths) and every feature qemu
# models (dot product and the other ARMv8.2 paths); qemu-user reads QEMU_CPU.
# ONNX Runtime's aarch64 library needs ARMv8.2 (half-precision instructions
# as it starts): its suites run only on the second.
echo "-- qemu-aarch64 -cpu cortex-a53 --"
QEMU_CPU=cortex-a53 ctest --test-dir build-aarch64 --output-on-failure -j "$jobs" --timeout 600 -LE onnxruntime
echo "-- qemu-aarch64 -cpu max --"
QEMU_CPU=max ctest --test-dir build-aarch64 --output-on-failure -j "$jobs" --timeout 600
echo "== fuzzing the parsers (libFuzzer, ASan) =="
scripts/fuzz.sh 60
echo "all test trees passed"
