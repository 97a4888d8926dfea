#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine, and
# nothing when it is all there already.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v setpriv >/dev/null || need+=(util-linux)
# The keychain memory search stops keyfetch at its exit under gdb (with its Python).
command -v gdb >/dev/null || need+=(gdb)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
# The macOS cross-build: LLVM's archiver and Mach-O tools, and its Mach-O
# linker for the add-ons.
for tool in llvm-nm llvm-objdump llvm-ar llvm-ranlib; do
  command -v "$tool" >/dev/null || { need+=(llvm); break; }
done
# Debian names it by LLVM version only (ld64.lld-14).
[ -n "$(compgen -c ld64.lld)" ] || need+=(lld)
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}" >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi

# The locked dev dependencies: typescript for the type check;
# node-api-headers when node ships no headers, and for the macOS
# cross-build with Zig. Installed when node_modules is missing or older
# than the lock file.
if [ ! -f node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  echo "setup: installing the locked dev dependencies" >&2
  npm ci --no-audit --no-fund --prefer-offline >/dev/null
fi

# The add-on loader and the worker pool behind the promise forms have one
# source each; each package that ships them carries a copy, since each
# tarball installs alone.
for pkg in anchorfile-native proclineage-native; do
  for file in load-addon.js worker-pool.js; do
    cmp -s "packages/shared/$file" "packages/$pkg/$file" || cp "packages/shared/$file" "packages/$pkg/$file"
  done
done
