# The product sources are written against macOS. On macOS they compile
# against the system headers and frameworks; elsewhere the headers under
# platform/linux stand in for what the system lacks. Each product source
# unit includes exactly one platform header by name, and the include path
# chosen here decides which one it gets.
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
if(APPLE AND NOT MACOS_FRAMEWORKS)
  # Cross-build without the frameworks' headers: the stand-in header carries
  # the frameworks' own signatures, so the programs compile for macOS against
  # them and everything below the framework is checked; nothing links.
  target_include_directories(platform_security INTERFACE ${CMAKE_SOURCE_DIR}/platform/linux/security_only)
else()
  target_include_directories(platform_security INTERFACE ${PLATFORM_INCLUDE_DIR})
endif()
if(APPLE)
  target_link_libraries(platform_security INTERFACE "-framework Security" "-framework CoreFoundation")
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
# time so a changed SDK or a mistyped constant stops the build.
if(APPLE)
  add_library(macos_facts_check OBJECT ${CMAKE_SOURCE_DIR}/platform/darwin/macos_facts_check.cc)
  target_include_directories(macos_facts_check PRIVATE ${PLATFORM_INCLUDE_DIR})
endif()
