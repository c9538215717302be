# tpk_cli_curl: the HTTP client that carries the modules' remote requests (curl_transport.h).
add_library(tpk_cli_curl STATIC ${CMAKE_CURRENT_LIST_DIR}/curl_transport.cpp)
target_include_directories(tpk_cli_curl PUBLIC ${PROJECT_SOURCE_DIR}/host)
target_link_libraries(tpk_cli_curl PUBLIC tpk_host PRIVATE CURL::libcurl)
