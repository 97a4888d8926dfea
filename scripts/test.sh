#!/usr/bin/env bash
# Builds everything and runs every test: the C++ units under CTest, then the
# script-level suites under node's test runner. The plain pass also
# cross-builds the macOS product (x86-64 and Apple silicon) before the node
# suites, which check its files. In CI the whole suite runs a second time
# with the add-ons and programs built under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

run_suite() {
  local dir="$1"; shift
  NATIVE_BUILD_DIR="$dir" bash scripts/build.sh "$@"
  # Full CTest output in $dir/ctest.log; on screen one line per test, without the dotted leaders.
  (cd "$dir" && ctest --output-on-failure -j 2 --output-log ctest.log | sed -E '/^ +Start +[0-9]+:/d; s/ \.{3,} */  /')
  if [ "$dir" = build ]; then
    echo "== macOS cross-build into build-macos/ and build-macos-arm64/ =="
    bash scripts/build-macos.sh
    # From here on the macOS file checks fail, not skip, on a missing file.
    export MACOS_CROSS_BUILT=1
  fi
  NATIVE_BUILD_DIR="$dir" node scripts/node-tests.js
}

run_suite build
if [ "${CI:-}" = "true" ] || [ "${RUN_SANITIZERS:-}" = "1" ]; then
  echo "== again under AddressSanitizer and UndefinedBehaviorSanitizer =="
  asan="$(g++ -print-file-name=libasan.so)"
  ubsan="$(g++ -print-file-name=libubsan.so)"
  # node itself is not built with the sanitizers: preload their runtime so
  # the add-ons can load, and leave leak detection off for node's own heap.
  SANITIZER_PRELOAD="$asan:$ubsan" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    run_suite build-asan -DSANITIZE=ON
fi
