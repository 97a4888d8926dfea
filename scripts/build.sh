#!/usr/bin/env bash
# Configures and builds every deliverable into ${NATIVE_BUILD_DIR:-build}.
# Extra arguments go to the cmake configure step (for example -DSANITIZE=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir="${NATIVE_BUILD_DIR:-build}"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)" >"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
