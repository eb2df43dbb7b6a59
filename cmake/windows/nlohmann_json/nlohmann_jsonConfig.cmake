# nlohmann-json for the Windows cross build. The library is headers only: the build machine's package
# (nlohmann-json3-dev) serves, reached through a folder of the build that holds nothing but a link to its
# headers, so that /usr/include itself never reaches the Windows compiler.
set(_kv_json_headers /usr/include/nlohmann)
if(NOT EXISTS ${_kv_json_headers}/json.hpp)
  set(nlohmann_json_FOUND FALSE)
  set(nlohmann_json_NOT_FOUND_MESSAGE "no ${_kv_json_headers}/json.hpp (apt-get install nlohmann-json3-dev)")
  return()
endif()
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(_kv_json_dir ${CMAKE_BINARY_DIR}/nlohmann-json-include)
  file(MAKE_DIRECTORY ${_kv_json_dir})
  file(CREATE_LINK ${_kv_json_headers} ${_kv_json_dir}/nlohmann SYMBOLIC)
  # Imported include folders are system folders: the library's own code meets none of the warning flags.
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_kv_json_dir})
endif()
