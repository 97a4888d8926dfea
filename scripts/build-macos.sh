#!/usr/bin/env bash
# Cross-builds the macOS product from Linux with Zig's clang, for x86-64 into
# build-macos/ and for Apple silicon into build-macos-arm64/. Each build
# directory keeps Zig's cache (its C++ runtime for that target is built once
# and reused). lockscout and keyfetch link against the framework stubs in
# platform/darwin_without_sdk, since no SDK is present here.
# Prints a line per step and per target rebuilt (scripts/build-progress.js),
# and one every half minute while a step runs long: the first build of each
# target spends minutes inside Zig building its C++ runtime, and a silent
# screen for that long reads as a hang. Full output in build-macos*.log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
start=$SECONDS

build_target() {
  local dir="$1" arch="$2" label="macos $2"
  export ZIG_GLOBAL_CACHE_DIR="$PWD/$dir/zig-cache" ZIG_LOCAL_CACHE_DIR="$PWD/$dir/zig-cache"
  local cold=""
  [ -d "$dir/zig-cache" ] || cold=" (first build: Zig builds its C and C++ runtimes for $arch, some minutes)"
  : >"$dir.log"
  echo "$label: configuring $dir/$cold ($((SECONDS - start)) s)"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/macos-cross.cmake \
    -DCMAKE_OSX_ARCHITECTURES="$arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=OFF 2>&1 | node scripts/build-progress.js "$label" "$dir" "$dir.log" "$((SECONDS - start))" \
    || { cat "$dir.log" >&2; exit 1; }
  echo "$label: compiling into $dir/ with $(nproc) jobs (output: $dir.log) ($((SECONDS - start)) s)"
  cmake --build "$dir" -j "$(nproc)" 2>&1 | node scripts/build-progress.js "$label" "$dir" "$dir.log" "$((SECONDS - start))" \
    || { cat "$dir.log" >&2; exit 1; }
}

build_target build-macos x86_64
build_target build-macos-arm64 arm64
echo "macos: done: build-macos/ and build-macos-arm64/ ($((SECONDS - start)) s)"
