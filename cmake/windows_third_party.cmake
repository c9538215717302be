# Windows cross builds: what Debian packages for Linux only. libyaml is built from Debian's own
# source package, which scripts/deps.sh unpacks under build/sources: its eight C files as a
# static library `yaml`, the name it has on Linux, with the version its own build would write
# to config.h (read from its CMakeLists.txt; its project is not added, so that neither its
# tests nor its install rules join ours). RapidJSON's headers are Debian's, reached through a folder
# of the build tree that holds only them, since the cross compilers must not see /usr/include.
# Included before the project's warning flags: the third-party code is not ours to keep
# warning-free.
set(TPK_LIBYAML_SOURCE ${CMAKE_SOURCE_DIR}/build/sources/libyaml)
if(NOT EXISTS ${TPK_LIBYAML_SOURCE}/src/api.c)
  message(FATAL_ERROR "libyaml's source is missing from ${TPK_LIBYAML_SOURCE}: run scripts/deps.sh")
endif()
file(READ ${TPK_LIBYAML_SOURCE}/CMakeLists.txt tpk_libyaml_project)
set(tpk_libyaml_definitions)
foreach(part MAJOR MINOR PATCH)
  if(NOT tpk_libyaml_project MATCHES "set \\(YAML_VERSION_${part} ([0-9]+)\\)")
    message(FATAL_ERROR "no YAML_VERSION_${part} in ${TPK_LIBYAML_SOURCE}/CMakeLists.txt")
  endif()
  set(tpk_libyaml_${part} ${CMAKE_MATCH_1})
  list(APPEND tpk_libyaml_definitions YAML_VERSION_${part}=${CMAKE_MATCH_1})
endforeach()
list(APPEND tpk_libyaml_definitions
     YAML_VERSION_STRING="${tpk_libyaml_MAJOR}.${tpk_libyaml_MINOR}.${tpk_libyaml_PATCH}")
add_library(yaml STATIC)
# Its files share private type definitions: each is compiled on its own.
set_target_properties(yaml PROPERTIES UNITY_BUILD OFF)
foreach(file api dumper emitter loader parser reader scanner writer)
  target_sources(yaml PRIVATE ${TPK_LIBYAML_SOURCE}/src/${file}.c)
endforeach()
target_include_directories(yaml SYSTEM PUBLIC ${TPK_LIBYAML_SOURCE}/include)
target_compile_definitions(yaml PUBLIC YAML_DECLARE_STATIC PRIVATE ${tpk_libyaml_definitions})

if(NOT EXISTS /usr/include/rapidjson/rapidjson.h)
  message(FATAL_ERROR "RapidJSON's headers are missing from /usr/include/rapidjson: run scripts/deps.sh")
endif()
set(TPK_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third-party-include)
file(MAKE_DIRECTORY ${TPK_THIRD_PARTY_INCLUDE})
file(CREATE_LINK /usr/include/rapidjson ${TPK_THIRD_PARTY_INCLUDE}/rapidjson SYMBOLIC)
include_directories(SYSTEM ${TPK_THIRD_PARTY_INCLUDE})
