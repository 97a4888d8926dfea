# Toolchain for building the macOS product (the APPLE branch of this
# project) on Linux with Zig's clang, which ships Apple's libc headers and
# links Mach-O. The architecture and minimum OS come from CMakeLists.txt;
# pass -DCMAKE_OSX_ARCHITECTURES=arm64 for Apple silicon.
#
# The Security and CoreFoundation frameworks are not available off a Mac:
# with MACOS_SDK_FRAMEWORKS OFF the keychain programs compile against the
# frameworks' declarations and link against the text stubs in
# platform/darwin_without_sdk.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/c++)
find_program(CMAKE_AR llvm-ar REQUIRED)
find_program(CMAKE_RANLIB llvm-ranlib REQUIRED)
# No SDK directory: Zig brings the headers and libraries itself.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(MACOS_SDK_FRAMEWORKS OFF CACHE BOOL "" FORCE)
set(NODE_API_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR}/../node_modules/node-api-headers/include
    CACHE PATH "" FORCE)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
