# The version is the build machine's package's.
include(/usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake OPTIONAL RESULT_VARIABLE _kv_json_version)
if(NOT _kv_json_version)
  set(PACKAGE_VERSION "0")
  set(PACKAGE_VERSION_UNSUITABLE TRUE)
endif()
