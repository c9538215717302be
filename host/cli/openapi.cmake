# tpk_cli_openapi: the OpenAPI document of the modules' HTTP-served functions, built from their
# export tables (openapi.h).
add_library(tpk_cli_openapi STATIC ${CMAKE_CURRENT_LIST_DIR}/openapi.cpp)
target_include_directories(tpk_cli_openapi PUBLIC ${PROJECT_SOURCE_DIR}/host)
target_link_libraries(tpk_cli_openapi PUBLIC tpk_host tpk_codec)
