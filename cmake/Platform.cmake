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
