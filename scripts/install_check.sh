#!/usr/bin/env bash
# The installed system: installs a build tree into a temporary prefix, checks
# the files it holds (exactly the expected set, no build or source path in any
# text file, only $ORIGIN-relative run-time search paths), serves the
# demonstration model with the installed brindlecast from another directory
# with no LD_LIBRARY_PATH, and builds tensor_demo.c out of tree against the
# prefix with pkg-config and with find_package(kestrune-rt), and runs it.
#   scripts/install_check.sh <build tree> <demo.kfm>
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd -P)
build=$(cd "$1" && pwd -P)
model=$(cd "$(dirname "$2")" && pwd -P)/$(basename "$2")
[ -f "$model" ] || { echo "install_check: no model $model" >&2; exit 1; }

work=$(mktemp -d /tmp/kestrune-install.XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "install_check: $*" >&2; exit 1; }

# Installed in one place and used from another: nothing may depend on where
# the prefix was when it was installed.
timeout 120 cmake --install "$build" --prefix "$work/installed" > "$work/install.log"
prefix=$work/prefix
mv "$work/installed" "$prefix"

# Exactly these files and links, nothing else (no test stand-in, no static library).
expected="bin/brindlecast
include/brindlecast/http.h
include/brindlecast/nn_plugin.h
include/kestrune/kfm_schema.h
include/kestrune/nn.h
include/kestrune/nn_engine_plugin.h
lib/cmake/kestrune-rt/kestrune-rt-config-version.cmake
lib/cmake/kestrune-rt/kestrune-rt-config.cmake
lib/cmake/kestrune-rt/kestrune-rt-targets-release.cmake
lib/cmake/kestrune-rt/kestrune-rt-targets.cmake
lib/libbrindlecast-rt.so
lib/libkestrune-rt.so
lib/libkestrune-rt.so.2
lib/libkestrune-rt.so.2.4.25
lib/pkgconfig/kestrune-rt.pc"
# A tree built with ONNX Runtime (setup.sh) installs its plug-in and the
# library beside the others.
if [ -e "$build/lib/libbrindlecast-onnx.so" ]; then
  expected=$(printf '%s\n' "$expected" lib/libbrindlecast-onnx.so lib/libonnxruntime.so.1 \
    lib/libonnxruntime.so.1.21.0 | LC_ALL=C sort)
fi
actual=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  fail "installed files differ from the expected set (< expected, > installed)"
fi
[ "$(readlink "$prefix/lib/libkestrune-rt.so")" = libkestrune-rt.so.2 ] || fail "libkestrune-rt.so is not a link to .so.2"
[ "$(readlink "$prefix/lib/libkestrune-rt.so.2")" = libkestrune-rt.so.2.4.25 ] || fail "libkestrune-rt.so.2 is not a link to .so.2.4.25"
if [ -e "$build/lib/libbrindlecast-onnx.so" ]; then
  [ "$(readlink "$prefix/lib/libonnxruntime.so.1")" = libonnxruntime.so.1.21.0 ] ||
    fail "libonnxruntime.so.1 is not a link to .so.1.21.0"
fi
readelf -d "$prefix/lib/libkestrune-rt.so.2.4.25" | grep -q 'SONAME.*\[libkestrune-rt\.so\.2\]' || fail "SONAME is not libkestrune-rt.so.2"

# No build or source path in any installed text file.
while IFS= read -r f; do
  if grep -Iq . "$f" && grep -Fq -e "$build" -e "$src" "$f"; then
    fail "$f names the build or source directory"
  fi
done < <(find "$prefix" -type f)

# Run-time search paths: none, or relative to $ORIGIN only.
for f in "$prefix"/bin/* "$prefix"/lib/*.so*; do
  [ -L "$f" ] && continue
  readelf -d "$f" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p' | tr ':' '\n' | while IFS= read -r p; do
    case "$p" in
      '$ORIGIN'|'$ORIGIN/'*) ;;
      *) echo "install_check: $f searches $p" >&2; exit 1 ;;
    esac
  done
done
echo "install_check: files, paths and run-time search paths as expected"

# The installed server with its default engine, from another directory.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir "$work/run"
(cd "$work/run" && exec env LD_LIBRARY_PATH= "$prefix/bin/brindlecast" -e rt -l -H "$port" -m "$model") \
  > "$work/server.out" 2> "$work/server.err" &
pid=$!
up=0
for _ in $(seq 100); do
  if curl -s -m 2 -o /dev/null "127.0.0.1:$port/"; then up=1; break; fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
[ "$up" = 1 ] || { cat "$work/server.err" >&2; fail "installed brindlecast did not start"; }
curl -s -m 10 "127.0.0.1:$port/" > "$work/root.json"
grep -q '"engine":"kestrunert"' "$work/root.json" || { cat "$work/root.json" >&2; fail "/ does not name the engine kestrunert"; }
picture=$(dirname "$model")/green.ppm
answer=$(curl -s -m 10 -H 'Content-Type: image/x-portable-pixmap' -H 'Accept: text/plain' \
  --data-binary @"$picture" "127.0.0.1:$port/v1/infer?run=1")
[ "$answer" = green ] || fail "green.ppm answered '$answer'"
curl -s -m 10 -o /dev/null "127.0.0.1:$port/shutdown" || true
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$pid" 2>/dev/null; then fail "installed brindlecast did not stop after /shutdown"; fi
wait "$pid" || fail "installed brindlecast exited with status $?"
pid=""
echo "install_check: installed brindlecast served the demonstration model"

# tensor_demo.c against the prefix, with pkg-config and with find_package.
expect='dequantized [[] 3 4 []]: -3.7500 '
demo=$src/runtime/examples/tensor_demo.c
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion kestrune-rt)" = 2.4.25 ] || fail "pkg-config version is not 2.4.25"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror -o "$work/demo-pc" "$demo" $(pkg-config --cflags --libs kestrune-rt) \
  -Wl,-rpath,"$prefix/lib"
(cd "$work/run" && env LD_LIBRARY_PATH= timeout 30 "$work/demo-pc") > "$work/demo-pc.out"
grep -q "$expect" "$work/demo-pc.out" || { cat "$work/demo-pc.out" >&2; fail "pkg-config build of tensor_demo printed no '$expect'"; }

# The installed headers on their own, as a plug-in author includes them.
cat > "$work/headers.c" <<'EOF'
#include <brindlecast/nn_plugin.h>
#include <kestrune/kfm_schema.h>
#include <kestrune/nn_engine_plugin.h>
int main(void) { return (int)sizeof(nn_plugin) == 0; }
EOF
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror -o "$work/headers" "$work/headers.c" $(pkg-config --cflags kestrune-rt) \
  || fail "the installed headers do not compile"

mkdir "$work/app"
cat > "$work/app/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.20)
project(tensor_demo_installed LANGUAGES C)
find_package(kestrune-rt 2.4 REQUIRED CONFIG)
add_executable(tensor_demo "$demo")
target_link_libraries(tensor_demo PRIVATE kestrune::rt)
EOF
timeout 120 cmake -S "$work/app" -B "$work/app/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-Wall -Werror" > "$work/app.log"
timeout 120 cmake --build "$work/app/build" >> "$work/app.log"
(cd "$work/run" && env LD_LIBRARY_PATH= timeout 30 "$work/app/build/tensor_demo") > "$work/demo-cmake.out"
grep -q "$expect" "$work/demo-cmake.out" || { cat "$work/demo-cmake.out" >&2; fail "find_package build of tensor_demo printed no '$expect'"; }
echo "install_check: tensor_demo built against the prefix with pkg-config and find_package"
echo "install_check: passed"
