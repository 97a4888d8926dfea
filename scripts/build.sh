#!/usr/bin/env bash
# Configures and builds every deliverable into ${NATIVE_BUILD_DIR:-build}.
# Extra arguments go to the cmake configure step (for example -DSANITIZE=ON).
# Prints one short line per step and one per target rebuilt, with how many
# are done (scripts/build-progress.js); the compiler's output goes to
# $dir.log and is shown only when the build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${NATIVE_BUILD_DIR:-build}"
start=$SECONDS
progress() { echo "build: $* ($((SECONDS - start)) s)"; }

progress "checking tools and dev dependencies"
bash scripts/setup.sh
progress "configuring $dir/"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
progress "compiling into $dir/ with $(nproc) jobs (compiler output: $dir.log)"
: >"$dir.log"
cmake --build "$dir" -j "$(nproc)" 2>&1 | node scripts/build-progress.js build "$dir" "$dir.log" "$((SECONDS - start))" \
  || { cat "$dir.log" >&2; exit 1; }
progress "done: $dir/anchorfile.node, proclineage.node, lockscout, keyfetch, keyvet"
