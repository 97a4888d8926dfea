# Node-API add-ons link no library: the napi_* symbols resolve from the host
# process when it loads the add-on. Headers come from the installed node,
# or from the node-api-headers package when node ships none.
execute_process(
  COMMAND node -p "require('path').resolve(process.execPath, '..', '..', 'include', 'node')"
  OUTPUT_VARIABLE NODE_INCLUDE_GUESS
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET)
find_path(NODE_API_INCLUDE_DIR node_api.h
  HINTS ${NODE_INCLUDE_GUESS}
        ${CMAKE_SOURCE_DIR}/node_modules/node-api-headers/include
  NO_DEFAULT_PATH)
if(NOT NODE_API_INCLUDE_DIR)
  message(FATAL_ERROR "node_api.h not found: install node's headers or run 'npm install node-api-headers'")
endif()

function(add_napi_addon target)
  add_library(${target} MODULE ${ARGN})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".node"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${NODE_API_INCLUDE_DIR})
  target_compile_definitions(${target} PRIVATE NAPI_VERSION=8)
  if(APPLE)
    # Only node's two entry points leave the add-on: the C++ library's
    # inline functions and type information are exported weak definitions
    # otherwise, which the loader merges across every image in the process.
    target_link_options(${target} PRIVATE -undefined dynamic_lookup
      -Wl,-exported_symbols_list,${CMAKE_SOURCE_DIR}/cmake/napi-exports.txt)
  endif()
endfunction()
