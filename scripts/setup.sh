#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine, and
# nothing when it is all there already.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v setpriv >/dev/null || need+=(util-linux)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}" >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi

# Node-API headers: node's own include directory, else the npm package.
node_include="$(node -p "require('path').resolve(process.execPath, '..', '..', 'include', 'node')")"
if [ ! -f "$node_include/node_api.h" ] && [ ! -f node_modules/node-api-headers/include/node_api.h ]; then
  echo "setup: installing node-api-headers" >&2
  npm install --no-save --no-audit --no-fund node-api-headers >/dev/null
fi

# The packages load their add-ons through node-gyp-build, and the type
# check needs typescript: install the locked dev dependencies when
# node_modules is missing or older than the lock file.
if [ ! -d node_modules/node-gyp-build ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  echo "setup: installing the locked dev dependencies" >&2
  npm ci --no-audit --no-fund --prefer-offline >/dev/null
fi
