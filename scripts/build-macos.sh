#!/usr/bin/env bash
# Cross-builds the macOS product from Linux with Zig's clang, for x86-64 into
# build-macos/ and for Apple silicon into build-macos-arm64/. Each build
# directory keeps Zig's cache (its C++ runtime for that target is built once
# and reused). lockscout and keyfetch link against the framework stubs in
# platform/darwin_without_sdk, since no SDK is present here.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build_target() {
  local dir="$1" arch="$2"
  export ZIG_GLOBAL_CACHE_DIR="$PWD/$dir/zig-cache" ZIG_LOCAL_CACHE_DIR="$PWD/$dir/zig-cache"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/macos-cross.cmake \
    -DCMAKE_OSX_ARCHITECTURES="$arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=OFF >"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
  cmake --build "$dir" -j "$(nproc)" >>"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
}

build_target build-macos x86_64
build_target build-macos-arm64 arm64
