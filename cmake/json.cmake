# nlohmann::json is header-only. A native build finds Debian's package file;
# a cross build cannot (its package files live outside the target's root),
# so the header is then found on this machine and exposed through a private
# include folder that holds nothing else, never the whole /usr/include.
find_package(nlohmann_json 3.2 QUIET)
if(NOT nlohmann_json_FOUND)
  find_path(TAVRINE_JSON_HEADERS nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  if(NOT TAVRINE_JSON_HEADERS)
    message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev")
  endif()
  set(json_include ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${json_include})
  file(CREATE_LINK ${TAVRINE_JSON_HEADERS}/nlohmann ${json_include}/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${json_include})
endif()
