# The product sources are written against macOS. On macOS they compile
# against the system headers and frameworks; elsewhere the headers under
# platform/linux stand in for what the system lacks; a macOS build without
# the SDK's frameworks takes their declarations and link stubs from
# platform/darwin_without_sdk. Each product source unit includes exactly
# one platform header by name, and the include path chosen here decides
# which one it gets.
if(APPLE)
  set(PLATFORM_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/platform/darwin)
else()
  set(PLATFORM_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/platform/linux)
endif()

# File operations: renameatx_np and the macOS answers of open/openat.
add_library(platform_fileops INTERFACE)
target_include_directories(platform_fileops INTERFACE ${PLATFORM_INCLUDE_DIR})
if(NOT APPLE)
  add_library(platform_fileops_linux STATIC ${CMAKE_SOURCE_DIR}/platform/linux/fileops.cc)
  target_include_directories(platform_fileops_linux PUBLIC ${PLATFORM_INCLUDE_DIR})
  target_link_libraries(platform_fileops INTERFACE platform_fileops_linux)
endif()

# Keychain services: the Security framework and CoreFoundation on macOS, the
# keychain stand-in under platform/linux elsewhere. The file-based keychain
# calls are marked deprecated in the macOS SDK; they are the ones the
# programs are written against, so that warning is not an error there.
add_library(platform_security INTERFACE)
if(APPLE AND NOT MACOS_SDK_FRAMEWORKS)
  # A macOS build where the SDK's frameworks are absent (the cross-build):
  # the programs compile against the frameworks' declarations and link
  # against the text stubs of platform/darwin_without_sdk, which carry the
  # frameworks' install names, so the programs load the real frameworks on
  # a Mac.
  set(DARWIN_WITHOUT_SDK_DIR ${CMAKE_SOURCE_DIR}/platform/darwin_without_sdk)
  target_include_directories(platform_security INTERFACE ${DARWIN_WITHOUT_SDK_DIR})
  target_link_options(platform_security INTERFACE "-F${DARWIN_WITHOUT_SDK_DIR}/Frameworks")
else()
  target_include_directories(platform_security INTERFACE ${PLATFORM_INCLUDE_DIR})
endif()
if(APPLE)
  # -dead_strip_dylibs: a program names only the frameworks it calls
  # (keyfetch: Security alone), so its load commands say what it depends on
  # and the file checks catch a dependency that creeps in.
  target_link_libraries(platform_security INTERFACE "-framework Security" "-framework CoreFoundation")
  target_link_options(platform_security INTERFACE -Wl,-dead_strip_dylibs)
  target_compile_options(platform_security INTERFACE -Wno-deprecated-declarations)
else()
  add_library(platform_security_linux STATIC
    ${CMAKE_SOURCE_DIR}/platform/linux/security/cf_objects.cc
    ${CMAKE_SOURCE_DIR}/platform/linux/security/keychain_store.cc
    ${CMAKE_SOURCE_DIR}/platform/linux/security/keychain_api.cc)
  target_include_directories(platform_security_linux PUBLIC ${PLATFORM_INCLUDE_DIR})
  target_link_libraries(platform_security INTERFACE platform_security_linux)

  # The security command-line tool of macOS, for the verbs that tests, the
  # tour and users need to set up keychains on this platform.
  add_executable(security ${CMAKE_SOURCE_DIR}/platform/linux/security/security_tool.cc)
  target_link_libraries(security PRIVATE platform_security)
endif()

# Process information: proc_pidinfo, proc_listallpids and KERN_PROCARGS2.
# On macOS these are in the system library that every program links.
add_library(platform_procinfo INTERFACE)
target_include_directories(platform_procinfo INTERFACE ${PLATFORM_INCLUDE_DIR})
if(NOT APPLE)
  add_library(platform_procinfo_linux STATIC ${CMAKE_SOURCE_DIR}/platform/linux/procinfo.cc)
  target_include_directories(platform_procinfo_linux PUBLIC ${PLATFORM_INCLUDE_DIR})
  set_target_properties(platform_procinfo_linux PROPERTIES CXX_VISIBILITY_PRESET hidden)
  target_link_libraries(platform_procinfo INTERFACE platform_procinfo_linux)
endif()

# The macOS numbers the product is written against (open flags, errors,
# record sizes, sysctl names), checked against the system headers at compile
# time so a changed SDK or a mistyped constant stops the build. The keychain
# numbers (result codes, status bits, CoreFoundation constants) are checked
# only where the SDK's frameworks are, on a Mac.
if(APPLE)
  add_library(macos_facts_check OBJECT ${CMAKE_SOURCE_DIR}/platform/darwin/macos_facts_check.cc)
  target_include_directories(macos_facts_check PRIVATE ${PLATFORM_INCLUDE_DIR})
  if(MACOS_SDK_FRAMEWORKS)
    add_library(macos_framework_facts_check OBJECT
      ${CMAKE_SOURCE_DIR}/platform/darwin/macos_framework_facts_check.cc)
    target_link_libraries(macos_framework_facts_check PRIVATE platform_security)
  endif()
endif()
